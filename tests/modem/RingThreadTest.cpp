// The dialling thread against the simulated GSM modem on a pseudo-terminal, with the test's
// thread in the window's place.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "serial/COMUtils.h"
#include "ModemPersonality.h"
#include "RingTestSupport.h"
#include "serial/RingThread.h"
#include "SerialTestSupport.h"

namespace lintaro {
namespace {

using namespace testing_support;
using devsim::InstrumentPersonality;
using devsim::ModemPersonality;
using devsim::ModemSimulator;
using Reply = ModemPersonality::Reply;
using Dial = ModemPersonality::DialOutcome;

// The thread's own messages, in the 8-bit code page.
const std::string PortOpened = "\xCF\xEE\xF0\xF2 \xF3\xF1\xEF\xE5\xF8\xED\xEE \xEE\xF2\xEA\xF0\xFB\xF2";
const std::string ModemInit =
    "\xC8\xED\xE8\xF6\xE8\xE0\xEB\xE8\xE7\xE0\xF6\xE8\xFF \xEC\xEE\xE4\xE5\xEC\xE0";
const std::string OpenFailed =
    "\xCE\xF8\xE8\xE1\xEA\xE0 \xEE\xF2\xEA\xF0\xFB\xF2\xE8\xFF \xEF\xEE\xF0\xF2\xE0";

// The log with the stamps taken off and the lines of one modem answer joined by "|":
// {"<< AT", ">> AT||OK"} for the command "AT" and its answer "AT\r\r\nOK\r\n".
std::vector<std::string> Condensed(const std::vector<std::string>& lines) {
    std::vector<std::string> entries;
    bool inAnswer = false;
    for (const std::string& line : lines) {
        EXPECT_TRUE(line.starts_with("S:")) << line;
        const std::string entry = line.substr(2);
        if (entry.starts_with(">> ") && inAnswer) {
            entries.back() += "|" + entry.substr(3);
        } else {
            entries.push_back(entry);
        }
        inAnswer = entry.starts_with(">> ");
    }
    return entries;
}

std::string Joined(const std::vector<std::string>& entries) {
    std::string text;
    for (const std::string& entry : entries) text += "\n  [" + entry + "]";
    return text;
}

// Answers (">>" entries) are matched by their beginning: how much of a modem's answer
// arrived by the time the awaited word did is the modem's business.
void ExpectLog(const std::vector<std::string>& log, const std::vector<std::string>& expected) {
    const std::vector<std::string> entries = Condensed(log);
    ASSERT_EQ(entries.size(), expected.size()) << Joined(entries);
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (expected[i].starts_with(">>")) {
            EXPECT_TRUE(entries[i].starts_with(expected[i])) << i << Joined(entries);
        } else {
            EXPECT_EQ(entries[i], expected[i]) << i << Joined(entries);
        }
    }
}

// Whether a condensed answer begins with the echo of `command` (and not of a longer one).
bool AnswerTo(const std::string& command, const std::string& entry) {
    return entry == ">> " + command || entry.starts_with(">> " + command + "|");
}

// Every awaited answer begins with the echo of its own command: no wait judged what an
// earlier command left behind.
void ExpectEachWaitSawItsOwnCommand(const std::vector<std::string>& log) {
    const std::vector<std::string> entries = Condensed(log);
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (!entries[i].starts_with("<< ")) continue;
        const std::string command = entries[i].substr(3);
        if (command == "ATZ" || command == "ATH") continue;
        ASSERT_LT(i + 1, entries.size()) << Joined(entries);
        EXPECT_TRUE(AnswerTo(command, entries[i + 1])) << i << Joined(entries);
    }
}

std::vector<std::string> Tail(const std::vector<std::string>& all, std::size_t count) {
    return {all.end() - static_cast<std::ptrdiff_t>(std::min(count, all.size())), all.end()};
}

std::size_t Polls(const std::vector<std::string>& commands) {
    return static_cast<std::size_t>(std::count(commands.begin(), commands.end(), "AT+CREG?"));
}

class RingThreadTest : public testing::Test {
protected:
    void SetUp() override { modem.simulator().start(); }

    ModemPersonality& personality() { return modem.modem(); }

    bool modemReceived(const std::string& command) {
        const std::vector<std::string> commands = personality().commands();
        return std::find(commands.begin(), commands.end(), command) != commands.end();
    }

    // A dialogue that brought the call up: the stages, the log, what the modem got, and the
    // port handed over inside the end notification carrying the device.
    void runConnectedDialogue(const RingTimings& timings) {
        const std::string phone = "8 912 345 67 89";
        Attempt attempt(host, modem.portPath(), phone, timings);
        std::string identification;
        attempt.onConnected = [&](TRingThread& thread, COMHandle& port) {
            // Event loops nested in the notification serve the thread's calls again.
            host.serveRequests();
            thread.ServeSynchronizedCalls();
            thread.WaitFor();
            EXPECT_FALSE(thread.Finished());
            EXPECT_EQ(attempt.ends, 1);
            WriteCOMPortStr(port, std::string(InstrumentPersonality::IdentificationRequest));
            identification = ReadFromPortUntil(port, "OK\r\n");
        };
        ASSERT_TRUE(attempt.serveUntilFinished(std::chrono::seconds(60)));

        EXPECT_EQ(attempt.code, 0u);
        EXPECT_EQ(attempt.ends, 1);
        EXPECT_NE(attempt.takenPort, InvalidCOMHandle);
        EXPECT_EQ(attempt.thread->hCOM(), InvalidCOMHandle);
        EXPECT_TRUE(identification.ends_with(InstrumentPersonality::DefaultIdentification))
            << identification;
        EXPECT_EQ(host.stages(), (std::vector<int>{1, 2, 3}));
        EXPECT_EQ(personality().commands(),
                  (std::vector<std::string>{"ATZ", "ATZ", "AT", "AT+CBST=7,0,1", "AT+CREG?",
                                            "ATD" + phone}));
        EXPECT_EQ(personality().dialled(), std::vector<std::string>{phone});
        ExpectLog(attempt.log, {" " + PortOpened, ">> ", " " + ModemInit, "<< ATZ", "<< ATZ",
                                "<< AT", ">> AT||OK", "<< AT+CBST=7,0,1",
                                ">> AT+CBST=7,0,1||OK", "<< AT+CREG?", ">> AT+CREG?||+CREG: 0,1",
                                "<< ATD" + phone, ">> ATD" + phone + "||CONNECT"});
        EXPECT_EQ(Condensed(attempt.log)[1], ">> ");  // the modem said nothing on its own
    }

    PortFolder folder;
    ModemSimulator modem{folder.path(), "modem0"};
    TestHost host;
};

TEST_F(RingThreadTest, a_registered_modem_dials_the_number_with_its_blanks_and_hands_over_the_call) {
    runConnectedDialogue(FastTimings());
}

TEST_F(RingThreadTest, the_full_dialogue_runs_with_the_production_timings) {
    runConnectedDialogue(RingTimings{});
}

TEST_F(RingThreadTest, a_port_that_cannot_be_opened_gives_code_1_one_line_and_no_stage) {
    Attempt attempt(host, folder / "absent", "123");
    ASSERT_TRUE(attempt.serveUntilFinished());
    EXPECT_EQ(attempt.code, 1u);
    EXPECT_EQ(attempt.takenPort, InvalidCOMHandle);
    EXPECT_EQ(attempt.log, std::vector<std::string>{"S: " + OpenFailed});
    EXPECT_TRUE(host.stages().empty());
}

struct Outcome {
    const char* name;
    std::function<void(ModemPersonality&)> setUp;
    std::uint32_t code;
    std::vector<int> stages;
    std::size_t polls;
    std::vector<std::string> lastCommands;
};

void PrintTo(const Outcome& outcome, std::ostream* out) {
    *out << outcome.name;
}

class RingOutcomeTest : public RingThreadTest, public testing::WithParamInterface<Outcome> {};

TEST_P(RingOutcomeTest, ends_with_its_code_after_the_commands_it_needed) {
    const Outcome& outcome = GetParam();
    // ATZ's answer comes after a pause the thread waits out, which a loaded machine can
    // outlast: these rows are about what follows.
    personality().setReply("ATZ", Reply::Silent);
    outcome.setUp(personality());
    Attempt attempt(host, modem.portPath(), "123");
    // Ten polls that wait their time out each.
    ASSERT_TRUE(attempt.serveUntilFinished(std::chrono::seconds(60)));

    EXPECT_EQ(attempt.code, outcome.code);
    EXPECT_EQ(attempt.thread->CallUp(), outcome.code == 0);
    EXPECT_EQ(attempt.ends, 1);
    EXPECT_EQ(host.stages(), outcome.stages);
    // The port was handed over, and only once.
    EXPECT_NE(attempt.takenPort, InvalidCOMHandle);
    EXPECT_EQ(attempt.thread->hCOM(), InvalidCOMHandle);

    // The simulated modem may read the last commands after the thread has ended.
    WaitUntil([&] { return Polls(personality().commands()) >= outcome.polls; });
    EXPECT_EQ(Polls(personality().commands()), outcome.polls);
    if (outcome.lastCommands.back() == "ATH") {
        ASSERT_TRUE(WaitUntil([&] { return modemReceived("ATH"); }));
    }
    EXPECT_EQ(Tail(personality().commands(), outcome.lastCommands.size()), outcome.lastCommands);
    const bool hungUp = outcome.code >= 4 && outcome.code <= 7;
    EXPECT_EQ(Condensed(attempt.log).back() == "<< ATH", hungUp) << Joined(Condensed(attempt.log));
    ExpectEachWaitSawItsOwnCommand(attempt.log);
}

const std::vector<std::string> DialTail = {"AT+CREG?", "ATD123", "ATH"};

INSTANTIATE_TEST_SUITE_P(
    Modem, RingOutcomeTest,
    testing::Values(
        Outcome{"AT_unanswered", [](ModemPersonality& m) { m.setReply("AT", Reply::Silent); }, 2,
                {1}, 0, {"ATZ", "ATZ", "AT"}},
        Outcome{"AT_refused", [](ModemPersonality& m) { m.setReply("AT", Reply::Error); }, 2, {1},
                0, {"ATZ", "AT"}},
        // An ERROR is no error word: the wait for OK runs out.
        Outcome{"bearer_refused",
                [](ModemPersonality& m) { m.setReply("AT+CBST=7,0,1", Reply::Error); }, 2, {1}, 0,
                {"AT", "AT+CBST=7,0,1"}},
        Outcome{"bearer_refused_with_late_answers",
                [](ModemPersonality& m) {
                    m.setReply("AT+CBST=7,0,1", Reply::Error);
                    m.setAnswerDelay(std::chrono::milliseconds(10), std::chrono::milliseconds(30));
                },
                2, {1}, 0, {"AT", "AT+CBST=7,0,1"}},
        Outcome{"never_registered", [](ModemPersonality& m) { m.setRegistration({"0,2"}); }, 3,
                {1, 2}, 10, {"AT+CREG?", "AT+CREG?"}},
        Outcome{"roaming_counts_as_not_registered",
                [](ModemPersonality& m) { m.setRegistration({"0,5"}); }, 3, {1, 2}, 10,
                {"AT+CREG?", "AT+CREG?"}},
        Outcome{"registered_at_the_third_poll",
                [](ModemPersonality& m) { m.setRegistration({"0,2", "0,5", "0,1"}); }, 0,
                {1, 2, 3}, 3, {"AT+CREG?", "ATD123"}},
        // The outcome is the final answer: a stray result word while polling does not
        // outlive the CONNECT.
        Outcome{"stray_result_word_while_registering",
                [](ModemPersonality& m) { m.setRegistration({"0,2\r\n\r\nNO CARRIER", "0,1"}); },
                0, {1, 2, 3}, 2, {"AT+CREG?", "AT+CREG?", "ATD123"}},
        Outcome{"connected_with_late_answers",
                [](ModemPersonality& m) {
                    m.setAnswerDelay(std::chrono::milliseconds(10), std::chrono::milliseconds(30));
                    m.setDial(Dial::Connect, std::chrono::milliseconds(30));
                },
                0, {1, 2, 3}, 1, {"AT+CBST=7,0,1", "AT+CREG?", "ATD123"}},
        Outcome{"busy", [](ModemPersonality& m) { m.setDial(Dial::Busy); }, 4, {1, 2, 3}, 1,
                DialTail},
        Outcome{"no_carrier", [](ModemPersonality& m) { m.setDial(Dial::NoCarrier); }, 5,
                {1, 2, 3}, 1, DialTail},
        Outcome{"no_dialtone", [](ModemPersonality& m) { m.setDial(Dial::NoDialtone); }, 6,
                {1, 2, 3}, 1, DialTail},
        Outcome{"no_answer", [](ModemPersonality& m) { m.setDial(Dial::NoAnswer); }, 7,
                {1, 2, 3}, 1, DialTail},
        Outcome{"silence_after_dialling", [](ModemPersonality& m) { m.setDial(Dial::Silent); },
                7, {1, 2, 3}, 1, DialTail},
        Outcome{"busy_with_late_answers",
                [](ModemPersonality& m) {
                    m.setAnswerDelay(std::chrono::milliseconds(10), std::chrono::milliseconds(30));
                    m.setDial(Dial::Busy, std::chrono::milliseconds(20));
                },
                4, {1, 2, 3}, 1, DialTail}),
    [](const testing::TestParamInfo<Outcome>& info) { return std::string(info.param.name); });

TEST_F(RingThreadTest, a_cancel_during_the_wake_up_stops_at_once_with_code_255) {
    Attempt attempt(host, modem.portPath(), "123", RingTimings{});
    ASSERT_TRUE(host.serveUntil([&] { return !host.stages().empty(); }));
    attempt.cancel();

    EXPECT_TRUE(attempt.thread->Finished());
    EXPECT_EQ(attempt.ends, 1);
    EXPECT_EQ(attempt.code, 255u);
    EXPECT_TRUE(personality().commands().empty());
    EXPECT_EQ(Condensed(attempt.log), std::vector<std::string>{" " + PortOpened});
}

TEST_F(RingThreadTest, a_cancel_while_waiting_for_OK_ends_with_code_2) {
    personality().setReply("AT", Reply::Silent);
    RingTimings timings = FastTimings();
    timings.okTimeout = RingTimings{}.okTimeout;
    Attempt attempt(host, modem.portPath(), "123", timings);
    ASSERT_TRUE(host.serveUntil([&] { return modemReceived("AT"); }));
    attempt.cancel();

    EXPECT_EQ(attempt.ends, 1);
    EXPECT_EQ(attempt.code, 2u);
    EXPECT_EQ(host.stages(), std::vector<int>{1});
    // What the wait had collected when the cancel cut it short.
    const std::vector<std::string> entries = Condensed(attempt.log);
    ASSERT_GE(entries.size(), 2u);
    EXPECT_EQ(entries[entries.size() - 2], "<< AT");
    EXPECT_TRUE(entries.back().starts_with(">> ")) << Joined(entries);
}

TEST_F(RingThreadTest, a_cancel_while_waiting_for_CONNECT_keeps_255_and_still_hangs_up) {
    personality().setDial(Dial::Silent);
    RingTimings timings = FastTimings();
    timings.connectTimeout = RingTimings{}.connectTimeout;
    Attempt attempt(host, modem.portPath(), "123", timings);
    ASSERT_TRUE(host.serveUntil([&] { return !personality().dialled().empty(); }));
    attempt.cancel();

    EXPECT_EQ(attempt.ends, 1);
    EXPECT_EQ(attempt.code, 255u);
    EXPECT_EQ(Condensed(attempt.log).back(), "<< ATH");
    EXPECT_TRUE(WaitUntil([&] { return modemReceived("ATH"); }));
}

TEST_F(RingThreadTest, a_modem_port_that_vanishes_while_dialling_times_out_with_code_7) {
    personality().setDial(Dial::Silent);
    Attempt attempt(host, modem.portPath(), "123");
    ASSERT_TRUE(host.serveUntil([&] { return !personality().dialled().empty(); }));
    modem.simulator().vanish();
    ASSERT_TRUE(attempt.serveUntilFinished());

    EXPECT_EQ(attempt.code, 7u);
    EXPECT_EQ(Condensed(attempt.log).back(), "<< ATH");
    EXPECT_NE(attempt.takenPort, InvalidCOMHandle);
}

TEST_F(RingThreadTest, a_thread_destroyed_while_dialling_stops_and_releases_its_port) {
    personality().setDial(Dial::Silent);
    RingTimings timings = FastTimings();
    timings.connectTimeout = RingTimings{}.connectTimeout;
    Attempt attempt(host, modem.portPath(), "123", timings);
    ASSERT_TRUE(host.serveUntil([&] { return !personality().dialled().empty(); }));
    attempt.destroy();

    // The end notification was removed first; the port is free for the next opener.
    EXPECT_EQ(attempt.ends, 0);
    COMHandle port = InvalidCOMHandle;
    EXPECT_TRUE(OpenCOMPort(modem.portPath(), 19200, port));
    CloseCOMPort(port);
}

TEST_F(RingThreadTest, the_end_notification_may_destroy_its_own_thread) {
    const std::size_t threadsBefore = CountEntries("/proc/self/task");
    auto attempt = std::make_unique<Attempt>(host, modem.portPath(), "123");
    attempt->onConnected = [&](TRingThread&, COMHandle&) { attempt->destroy(); };
    ASSERT_TRUE(host.serveUntil([&] { return attempt->ends == 1; }));
    EXPECT_EQ(attempt->code, 0u);
    EXPECT_FALSE(attempt->thread);
    EXPECT_TRUE(WaitUntil([&] { return CountEntries("/proc/self/task") == threadsBefore; }));
}

TEST_F(RingThreadTest, many_dialling_attempts_leave_no_thread_and_no_descriptor_behind) {
    const std::size_t descriptorsBefore = CountEntries("/proc/self/fd");
    const std::size_t threadsBefore = CountEntries("/proc/self/task");
    personality().setDial(Dial::Connect, std::chrono::milliseconds(100));
    for (int round = 0; round < 15; ++round) {
        SCOPED_TRACE(round);
        TestHost host;
        Attempt attempt(host, modem.portPath(), "123");
        switch (round % 5) {
            case 0:  // at once
                attempt.cancel();
                break;
            case 1:  // during the wait for OK
                ASSERT_TRUE(host.serveUntil([&] { return modemReceived("AT"); }));
                attempt.cancel();
                break;
            case 2:  // while dialling
                ASSERT_TRUE(host.serveUntil([&] { return !personality().dialled().empty(); }));
                attempt.cancel();
                break;
            case 3:  // destroyed without a wait, its end notification never run
                ASSERT_TRUE(host.serveUntil([&] { return host.stages().size() >= 2; }));
                break;
            case 4:  // connected, then released by the window
                ASSERT_TRUE(attempt.serveUntilFinished());
                EXPECT_EQ(attempt.code, 0u);
                break;
        }
        attempt.destroy();
        personality().dropCall();
        personality().clearRecord();
    }
    EXPECT_TRUE(WaitUntil([&] { return CountEntries("/proc/self/task") == threadsBefore; }));
    EXPECT_EQ(CountEntries("/proc/self/fd"), descriptorsBefore);
}

}  // namespace
}  // namespace lintaro
