#include "serial/ModemHangUp.h"

#include <algorithm>
#include <initializer_list>
#include <string_view>
#include <utility>

#include "serial/ModemWords.h"

namespace lintaro {

namespace {

using Clock = std::chrono::steady_clock;

// Reads until one of `words` came after the last write or the time is up. Only the end of
// the bytes is kept, enough for the longest word, since the device may still be talking.
bool AwaitWord(COMHandle port, std::initializer_list<std::string_view> words,
               std::chrono::milliseconds timeout, std::chrono::milliseconds poll,
               std::string& got) {
    const auto deadline = Clock::now() + timeout;
    std::string window;
    for (;;) {
        std::string chunk;
        ReadCOMPortStr(port, chunk);
        got += chunk;
        window += AsciiUpperCase(chunk);
        for (std::string_view word : words) {
            if (window.find(word) != std::string::npos) return true;
        }
        if (window.size() > 64) window.erase(0, window.size() - 64);
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(poll);
    }
}

}  // namespace

bool HangUpModem(COMHandle port, ModemLine line, const HangUpTimings& timings,
                 const std::function<void(HangUpStep step, const std::string& bytes)>& report) {
    const auto tell = [&](HangUpStep step, const std::string& bytes) {
        if (report) report(step, bytes);
    };
    bool commands = line == ModemLine::Command;
    std::string got;
    if (!commands) {
        // Nothing is written during the guard time; what the device still sends is dropped.
        const auto quietUntil = Clock::now() + timings.guard;
        while (Clock::now() < quietUntil) {
            std::string dropped;
            ReadCOMPortStr(port, dropped);
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                quietUntil - Clock::now());
            std::this_thread::sleep_for(std::min(timings.poll, left));
        }
        // Three one-byte writes back to back: the pluses must follow each other well within
        // the guard time.
        for (int i = 0; i < 3; ++i) WriteCOMPortStr(port, "+");
        tell(HangUpStep::Sent, "+++");
        // A call that dropped meanwhile leaves the modem taking commands as well.
        commands = AwaitWord(port, {"OK\r\n", "NO CARRIER"}, timings.escapeAnswer, timings.poll, got);
        tell(HangUpStep::Answer, got);
        // A modem in command mode takes "+++" for the start of a line and answers nothing;
        // should the call be up after all, "ATH" reaches the device and DTR still ends it.
        if (line == ModemLine::Unknown) commands = true;
    }
    bool hungUp = false;
    if (commands) {
        got.clear();
        WriteCOMPortStr(port, HangUpLine());
        tell(HangUpStep::Sent, std::string(HangUpCommand));
        hungUp = AwaitWord(port, {"OK\r\n", "NO CARRIER"}, timings.commandAnswer, timings.poll, got);
        tell(HangUpStep::Answer, got);
    }
    if (hungUp) return true;
    tell(HangUpStep::NoAnswer, {});
    // A modem hangs up when DTR drops (AT&D2, the usual setting); the drop is what counts,
    // so the line is raised again afterwards.
    if (!SetCOMPortDTR(port, false)) {
        tell(HangUpStep::DTRRefused, {});
        return false;
    }
    std::this_thread::sleep_for(timings.dtrDrop);
    SetCOMPortDTR(port, true);
    tell(HangUpStep::DTRDropped, {});
    return false;
}

TModemHangUp::TModemHangUp(COMHandle port, ModemLine line, const HangUpTimings& timings,
                           Report report, std::function<void()> finished) {
    FThread = std::thread([this, port, line, timings, report = std::move(report),
                           finished = std::move(finished)]() mutable {
        try {
            HangUpModem(port, line, timings, report);
        } catch (...) {
            // A failing report ends the sequence; the port is closed all the same.
        }
        CloseCOMPort(port);
        FFinished = true;
        if (finished) finished();
    });
}

TModemHangUp::~TModemHangUp() {
    if (FThread.joinable()) FThread.join();
}

}  // namespace lintaro
