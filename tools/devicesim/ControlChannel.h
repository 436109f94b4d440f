// Remote control of a running simulator, for tests whose serial side lives in another
// process (a Windows test program under Wine, which reaches the terminal as a COM port).
//
// One TCP connection at a time on 127.0.0.1; one command per line, one reply line each:
// "ok", "ok <value>" or "error <text>". Byte strings travel as hexadecimal digits.
//
//   port                      ok <the link the host opens>
//   send <hex>                device to host
//   received                  ok <hex of every byte received from the host>
//   clear                     forgets what was received
//   wait <count> <ms>         ok 1 once <count> bytes were received in all, ok 0 at the limit
//   reading 0|1               stops or resumes taking bytes from the host
//   mode echo|record          what the device does with bytes that are no request
//   identification <ms> [<hex>...]   the reply's pieces, <ms> apart; none: silent
//   requests                  ok <identification requests received>
//   vanish / reappear         unplugs the device / plugs it in again
//   reset                     plugged in, reading, the start-up mode and reply, nothing received
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "DeviceSimulator.h"
#include "HexText.h"
#include "InstrumentPersonality.h"

namespace lintaro::devsim {

class ControlChannel {
public:
    struct Defaults {
        InstrumentPersonality::Mode mode = InstrumentPersonality::Mode::Echo;
        std::vector<std::string> identification{
            std::string(InstrumentPersonality::DefaultIdentification)};
        std::chrono::milliseconds gap{0};
    };

    ControlChannel(DeviceSimulator& simulator, InstrumentPersonality& device, Defaults defaults);
    ~ControlChannel();
    ControlChannel(const ControlChannel&) = delete;
    ControlChannel& operator=(const ControlChannel&) = delete;

    // Listens on 127.0.0.1:`port` (0: a free port) and serves on a thread of its own.
    // Throws std::system_error.
    void start(std::uint16_t port);
    void stop();
    std::uint16_t port() const { return port_; }

    // One command line to its reply line (without line ends); the protocol above.
    std::string handle(const std::string& line);

private:
    void run();
    void serve(int client);

    DeviceSimulator& simulator_;
    InstrumentPersonality& device_;
    const Defaults defaults_;
    int listener_ = -1;
    int wakeRead_ = -1;
    int wakeWrite_ = -1;
    std::uint16_t port_ = 0;
    std::thread worker_;
};

}  // namespace lintaro::devsim
