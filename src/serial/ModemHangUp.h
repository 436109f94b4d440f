// Ending a modem call: the escape from data to commands that a Hayes/GSM modem obeys
// (silence for the guard time, "+++", its "OK"), the hang-up command and its answer, and
// DTR dropped for a moment when the modem does not answer. The sequence takes seconds, so
// it runs on a thread of its own, which also closes the port once the call is down.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "serial/COMUtils.h"

namespace lintaro {

// The waits of the hang-up. The defaults are the production values; tests pass shorter
// ones.
struct HangUpTimings {
    // Silence before "+++". A modem takes "+++" as an escape only when it is framed by its
    // guard time (register S12, 1 s by default); the margin covers bytes still leaving the
    // port's output queue.
    std::chrono::milliseconds guard{1200};
    // For the "OK" to "+++", which the modem sends after the guard time after it.
    std::chrono::milliseconds escapeAnswer{2000};
    // For the answer to "ATH"; a GSM modem answers once the network released the call.
    std::chrono::milliseconds commandAnswer{3000};
    // How long DTR stays down when the modem did not answer.
    std::chrono::milliseconds dtrDrop{500};
    std::chrono::milliseconds poll{20};
};

// What the modem's line is in when the hang-up starts.
enum class ModemLine {
    Data,     // the call carries the device: the escape comes first
    Command,  // the modem already takes commands (it reported the call lost)
    Unknown,  // a result word came, maybe as the device's data: the escape first, and
              // "ATH" also when the escape goes unanswered (a modem taking commands)
};

// One step of the hang-up, as reported while it runs.
enum class HangUpStep {
    Sent,          // bytes went to the modem ("+++", "ATH")
    Answer,        // bytes the modem answered (or what came meanwhile)
    NoAnswer,      // the modem did not answer the escape or the hang-up command
    DTRDropped,    // DTR was dropped for a moment
    DTRRefused,    // the port has no DTR line to drop
};

// Runs the whole sequence on `port` and returns whether the modem confirmed the hang-up
// (false: DTR was dropped or could not be). Blocks for seconds; for a thread of its own.
// `report` is called on the calling thread with each step and its bytes.
bool HangUpModem(COMHandle port, ModemLine line, const HangUpTimings& timings,
                 const std::function<void(HangUpStep step, const std::string& bytes)>& report);

// HangUpModem on a thread of its own, which then closes the port.
class TModemHangUp {
public:
    using Report = std::function<void(HangUpStep step, const std::string& bytes)>;

    // Takes `port` over. `report` and `finished` are called on the hang-up's thread;
    // `finished` last, once the port is closed.
    TModemHangUp(COMHandle port, ModemLine line, const HangUpTimings& timings, Report report,
                 std::function<void()> finished);
    // Waits for the sequence to end (it is bounded by its timings).
    ~TModemHangUp();

    TModemHangUp(const TModemHangUp&) = delete;
    TModemHangUp& operator=(const TModemHangUp&) = delete;

    bool Finished() const { return FFinished.load(); }

private:
    std::atomic<bool> FFinished{false};
    std::thread FThread;
};

}  // namespace lintaro
