// The hang-up against the simulated modem, which takes "+++" only when the guard time
// frames it: what the modem received, and when, and whether the call is down.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <ostream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "ModemPersonality.h"
#include "RingTestSupport.h"
#include "SerialTestSupport.h"
#include "serial/COMUtils.h"
#include "serial/ModemHangUp.h"

namespace lintaro {
namespace {

using namespace testing_support;
using devsim::ModemPersonality;
using devsim::ModemSimulator;
using std::chrono::milliseconds;
using State = ModemPersonality::State;
using Step = HangUpStep;

struct HangUpCase {
    const char* name;
    milliseconds modemGuard;  // the modem's S12
    bool callUp;              // else the network dropped the call before
    ModemLine line;
    HangUpTimings timings;
    bool confirmed;
    std::vector<Step> steps;
    State after;
    std::size_t hangUps;
};

void PrintTo(const HangUpCase& c, std::ostream* os) { *os << c.name; }

class ModemHangUpTest : public testing::TestWithParam<HangUpCase> {
protected:
    void SetUp() override {
        modem.simulator().start();
        ASSERT_TRUE(OpenCOMPort(modem.portPath(), 19200, handle));
    }
    void TearDown() override { CloseCOMPort(handle); }

    PortFolder folder;
    ModemSimulator modem{folder.path(), "modem0"};
    COMHandle handle = InvalidCOMHandle;
};

TEST_P(ModemHangUpTest, the_call_ends_as_the_modem_allows) {
    const HangUpCase& c = GetParam();
    ModemPersonality& personality = modem.modem();
    personality.setEscapeGuard(c.modemGuard);
    WriteCOMPortStr(handle, "ATD1\r\n");
    ASSERT_NE(ReadFromPortUntil(handle, "CONNECT"), "");
    // The device is talking when the hang-up begins.
    WriteCOMPortStr(handle, "data");
    ASSERT_EQ(ReadFromPortUntil(handle, "data"), "data");
    if (!c.callUp) {
        personality.dropCall();
        ASSERT_NE(ReadFromPortUntil(handle, "NO CARRIER\r\n"), "");
    }
    personality.clearRecord();

    std::vector<Step> steps;
    const auto start = std::chrono::steady_clock::now();
    const bool confirmed = HangUpModem(handle, c.line, c.timings,
                                       [&](Step step, const std::string&) { steps.push_back(step); });
    const auto took = std::chrono::steady_clock::now() - start;

    EXPECT_EQ(confirmed, c.confirmed);
    EXPECT_EQ(steps, c.steps);
    EXPECT_EQ(personality.state(), c.after);
    EXPECT_EQ(personality.hangUps(), c.hangUps);
    std::string received;
    for (const auto& piece : personality.pieces()) received += piece.bytes;
    EXPECT_EQ(received, c.line == ModemLine::Command ? "ATH\r\n" : (c.hangUps > 0 ? "+++ATH\r\n" : "+++"));
    const auto pieces = personality.pieces();
    ASSERT_FALSE(pieces.empty());
    if (c.line != ModemLine::Command) {
        // Silence for the guard time before the pluses, and "ATH" only after the modem's
        // own guard time after them.
        EXPECT_GE(pieces.front().at - start, c.timings.guard);
        if (c.hangUps > 0) {
            EXPECT_EQ(pieces.back().bytes, "ATH\r\n");
            EXPECT_GE(pieces.back().at - pieces.front().at, c.modemGuard);
        }
    }
    // Bounded even when the modem keeps silent.
    EXPECT_LT(took, c.timings.guard + c.timings.escapeAnswer + c.timings.commandAnswer +
                        c.timings.dtrDrop + milliseconds(1000));
    std::printf("[ hang-up ] %s: %lld ms\n", c.name,
                static_cast<long long>(std::chrono::duration_cast<milliseconds>(took).count()));
}

const std::vector<Step> Answered = {Step::Sent, Step::Answer, Step::Sent, Step::Answer};

INSTANTIATE_TEST_SUITE_P(
    Modem, ModemHangUpTest,
    testing::Values(
        HangUpCase{"escape_framed_by_the_guard_time", milliseconds(150), true, ModemLine::Data,
                   FastHangUp(), true, Answered, State::Command, 1},
        // A modem whose guard time is longer than the wait: no "ATH" into the call; DTR is
        // dropped, which a pseudo-terminal cannot carry, so the simulated call stays up.
        HangUpCase{"modem_that_does_not_answer_the_escape", milliseconds(5000), true,
                   ModemLine::Data, FastHangUp(), false,
                   {Step::Sent, Step::Answer, Step::NoAnswer, Step::DTRRefused}, State::Data, 0},
        HangUpCase{"call_already_lost", milliseconds(150), false, ModemLine::Command,
                   FastHangUp(), true, {Step::Sent, Step::Answer}, State::Command, 1},
        // A result word with no carrier line to ask: the escape goes unanswered by a modem
        // that takes commands, and "ATH" follows all the same.
        HangUpCase{"call_lost_or_not_unknown", milliseconds(150), false, ModemLine::Unknown,
                   FastHangUp(), true, Answered, State::Command, 1},
        HangUpCase{"production_timings_against_the_default_guard_time", milliseconds(1000), true,
                   ModemLine::Data, HangUpTimings{}, true, Answered, State::Command, 1}),
    [](const testing::TestParamInfo<HangUpCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace lintaro
