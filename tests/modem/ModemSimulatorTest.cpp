// The simulated GSM modem as the host sees it through the serial layer, and the program's
// modem mode.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <thread>
#include <string>
#include <vector>

#include "serial/COMUtils.h"
#include "ModemPersonality.h"
#include "DevsimProcess.h"
#include "SerialTestSupport.h"

extern char** environ;

namespace lintaro {
namespace {

using namespace testing_support;
using devsim::InstrumentPersonality;
using devsim::ModemPersonality;
using devsim::ModemSimulator;
using Reply = ModemPersonality::Reply;
using Dial = ModemPersonality::DialOutcome;
using State = ModemPersonality::State;

class ModemSimulatorTest : public testing::Test {
protected:
    void SetUp() override {
        modem.simulator().start();
        ASSERT_TRUE(OpenCOMPort(modem.portPath(), 19200, handle));
    }
    void TearDown() override { CloseCOMPort(handle); }

    ModemPersonality& personality() { return modem.modem(); }

    void write(const std::string& bytes) {
        ASSERT_EQ(WriteCOMPortStr(handle, bytes), static_cast<int>(bytes.size()));
    }
    std::string exchange(const std::string& bytes, const std::string& until) {
        write(bytes);
        return ReadFromPortUntil(handle, until);
    }
    void connect() {
        ASSERT_EQ(exchange("ATD1\r\n", "CONNECT 9600\r\n"), "ATD1\r\r\nCONNECT 9600\r\n");
        ASSERT_EQ(personality().state(), State::Data);
    }

    PortFolder folder;
    ModemSimulator modem{folder.path(), "modem0"};
    COMHandle handle = InvalidCOMHandle;
};

TEST_F(ModemSimulatorTest, the_echo_comes_at_once_and_late_answers_keep_their_order) {
    personality().setAnswerDelay(std::chrono::milliseconds(10), std::chrono::milliseconds(30));
    EXPECT_EQ(exchange("AT+CREG?\r\nAT\r\n", "OK\r\n\r\nOK\r\n"),
              "AT+CREG?\rAT\r\r\n+CREG: 0,1\r\n\r\nOK\r\n\r\nOK\r\n");
    EXPECT_EQ(personality().commands(), (std::vector<std::string>{"AT+CREG?", "AT"}));
}

TEST_F(ModemSimulatorTest, registration_reports_each_state_in_turn_and_keeps_the_last) {
    personality().setRegistration({"0,2", "0,5", "0,1"});
    for (const char* state : {"0,2", "0,5", "0,1", "0,1"}) {
        EXPECT_EQ(exchange("AT+CREG?\r\n", "OK\r\n"),
                  "AT+CREG?\r\r\n+CREG: " + std::string(state) + "\r\n\r\nOK\r\n");
    }
}

TEST_F(ModemSimulatorTest, set_up_commands_can_be_refused_or_left_unanswered) {
    personality().setReply("AT+CBST=7,0,1", Reply::Error);
    personality().setReply("ATZ", Reply::Silent);
    personality().setEcho(false);
    EXPECT_EQ(exchange("AT+CBST=7,0,1\r\n", "ERROR\r\n"), "\r\nERROR\r\n");
    EXPECT_EQ(exchange("ATZ\r\nAT\r\n", "OK\r\n"), "\r\nOK\r\n");
    EXPECT_EQ(exchange("AT+XYZ\r\n", "ERROR\r\n"), "\r\nERROR\r\n");
}

struct DialCase {
    Dial outcome;
    const char* word;
    State after;
};

class ModemDialTest : public ModemSimulatorTest, public testing::WithParamInterface<DialCase> {};

TEST_P(ModemDialTest, a_dial_ends_in_its_result_word_after_the_delay) {
    personality().setDial(GetParam().outcome, std::chrono::milliseconds(20));
    const std::string word = GetParam().word;
    EXPECT_EQ(exchange("ATD 8 912 34\r\n", word + "\r\n"), "ATD 8 912 34\r\r\n" + word + "\r\n");
    EXPECT_EQ(personality().dialled(), std::vector<std::string>{" 8 912 34"});
    EXPECT_EQ(personality().state(), GetParam().after);
}

INSTANTIATE_TEST_SUITE_P(Outcomes, ModemDialTest,
                         testing::Values(DialCase{Dial::Connect, "CONNECT 9600", State::Data},
                                         DialCase{Dial::Busy, "BUSY", State::Command},
                                         DialCase{Dial::NoCarrier, "NO CARRIER", State::Command},
                                         DialCase{Dial::NoDialtone, "NO DIALTONE", State::Command},
                                         DialCase{Dial::NoAnswer, "NO ANSWER", State::Command}));

TEST_F(ModemSimulatorTest, a_call_carries_the_device_until_the_escape_and_the_hang_up) {
    using std::chrono::milliseconds;
    const milliseconds guard(150);
    personality().setEscapeGuard(guard);
    connect();
    const std::string request(InstrumentPersonality::IdentificationRequest);
    const std::string reply(InstrumentPersonality::DefaultIdentification);
    EXPECT_EQ(exchange(request, "OK\r\n"), reply);

    // "+++" is an escape only with the guard's silence before and after it; the pauses
    // are the host's timing, played here.
    const auto pause = [](milliseconds time) { std::this_thread::sleep_for(time); };
    struct Framing {
        const char* name;
        std::function<void()> play;
        std::string device;  // what the device got meanwhile (it echoes)
    };
    const Framing data[] = {
        {"no pause after the pluses", [&] { write("a+++b"); }, "a+++b"},
        {"pluses right after data", [&] { write("c"); write("+++"); pause(guard * 2); write("d"); },
         "c+++d"},
        {"the hang-up command inside the guard time",
         [&] { pause(guard * 2); write("+"); write("+"); write("+"); pause(guard / 3); write("ATH\r\n"); },
         "+++ATH\r\n"},
    };
    for (const Framing& framing : data) {
        framing.play();
        EXPECT_EQ(ReadFromPortUntil(handle, framing.device), framing.device) << framing.name;
        EXPECT_EQ(personality().state(), State::Data) << framing.name;
    }
    EXPECT_EQ(personality().hangUps(), 0u);
    personality().clearRecord();

    pause(guard * 2);
    write("+");
    write("+");
    write("+");
    EXPECT_EQ(ReadFromPortUntil(handle, "OK\r\n"), "\r\nOK\r\n");
    EXPECT_EQ(personality().state(), State::OnlineCommand);
    EXPECT_EQ(exchange("ATH\r\n", "OK\r\n"), "ATH\r\r\nOK\r\n");
    EXPECT_EQ(personality().state(), State::Command);
    EXPECT_EQ(personality().hangUps(), 1u);

    // The hang-up command came as a piece of its own, a guard time after the pluses.
    const std::vector<ModemPersonality::Piece> pieces = personality().pieces();
    ASSERT_GE(pieces.size(), 2u);
    EXPECT_EQ(pieces.back().bytes, "ATH\r\n");
    EXPECT_GE(pieces.back().at - pieces.front().at, guard);
    std::string pluses;
    for (std::size_t i = 0; i + 1 < pieces.size(); ++i) pluses += pieces[i].bytes;
    EXPECT_EQ(pluses, "+++");
    EXPECT_EQ(exchange("AT\r\n", "OK\r\n"), "AT\r\r\nOK\r\n");
}

TEST_F(ModemSimulatorTest, hanging_up_while_dialling_cancels_the_pending_connect) {
    personality().setDial(Dial::Connect, std::chrono::milliseconds(300));
    write("ATD1\r\n");
    std::string got = exchange("ATH\r\n", "OK\r\n");
    // A busy line that answers later than the cancelled CONNECT was due.
    personality().setDial(Dial::Busy, std::chrono::milliseconds(600));
    got += exchange("ATD2\r\n", "BUSY\r\n");
    EXPECT_EQ(got, "ATD1\rATH\r\r\nOK\r\nATD2\r\r\nBUSY\r\n");
}

TEST_F(ModemSimulatorTest, the_network_can_drop_the_call) {
    connect();
    personality().dropCall();
    EXPECT_EQ(ReadFromPortUntil(handle, "NO CARRIER\r\n"), "\r\nNO CARRIER\r\n");
    EXPECT_EQ(personality().state(), State::Command);
    EXPECT_EQ(exchange("AT\r\n", "OK\r\n"), "AT\r\r\nOK\r\n");

    // A slow line delivers the word in two pieces.
    connect();
    personality().dropCall(std::chrono::milliseconds(100));
    EXPECT_EQ(ReadFromPortUntil(handle, "NO CAR"), "\r\nNO CAR");
    EXPECT_EQ(ReadFromPortUntil(handle, "RIER\r\n"), "RIER\r\n");
    EXPECT_EQ(personality().state(), State::Command);
}


TEST(DevsimProcessTest, the_modem_mode_takes_its_answers_from_the_options) {
    PortFolder folder;
    DevsimProcess program({"--dir", folder.path(), "--name", "gsm0", "--mode", "modem", "--cbst",
                          "error", "--creg", "0,2", "--creg", "0,5", "--dial", "no-dialtone",
                          "--dial-delay", "20", "--answer-delay", "10-20", "--no-echo"});
    const std::string port = program.readLine();
    ASSERT_EQ(port, folder / "gsm0");
    COMHandle handle = InvalidCOMHandle;
    ASSERT_TRUE(OpenCOMPort(port, 19200, handle));
    const auto exchange = [&](const std::string& command, const std::string& until) {
        WriteCOMPortStr(handle, command);
        return ReadFromPortUntil(handle, until);
    };
    EXPECT_EQ(exchange("AT\r\n", "OK\r\n"), "\r\nOK\r\n");
    EXPECT_EQ(exchange("AT+CBST=7,0,1\r\n", "ERROR\r\n"), "\r\nERROR\r\n");
    EXPECT_EQ(exchange("AT+CREG?\r\n", "OK\r\n"), "\r\n+CREG: 0,2\r\n\r\nOK\r\n");
    EXPECT_EQ(exchange("AT+CREG?\r\n", "OK\r\n"), "\r\n+CREG: 0,5\r\n\r\nOK\r\n");
    EXPECT_EQ(exchange("ATD1\r\n", "DIALTONE\r\n"), "\r\nNO DIALTONE\r\n");
    CloseCOMPort(handle);
}

TEST(DevsimProcessTest, SIGALRM_drops_the_call) {
    PortFolder folder;
    DevsimProcess program({"--dir", folder.path(), "--name", "gsm1", "--mode", "modem"});
    const std::string port = program.readLine();
    COMHandle handle = InvalidCOMHandle;
    ASSERT_TRUE(OpenCOMPort(port, 19200, handle));
    WriteCOMPortStr(handle, "ATD1\r\n");
    EXPECT_EQ(ReadFromPortUntil(handle, "9600\r\n"), "ATD1\r\r\nCONNECT 9600\r\n");
    program.signal(SIGALRM);
    EXPECT_EQ(ReadFromPortUntil(handle, "CARRIER\r\n"), "\r\nNO CARRIER\r\n");
    CloseCOMPort(handle);
}

}  // namespace
}  // namespace lintaro
