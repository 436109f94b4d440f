// What a simulated device does with the bytes it receives. The pseudo-terminal plumbing
// (DeviceSimulator) is the same for every kind of device; a personality decides the answers.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

namespace lintaro::devsim {

// The device's way back to the host, handed to a personality while it handles bytes.
class DeviceLink {
public:
    // Queues bytes for the host, at once or `after` from now. Bytes due at the same time
    // leave in the order they were queued.
    virtual void send(std::string bytes, std::chrono::milliseconds after = {}) = 0;

protected:
    ~DeviceLink() = default;
};

class DevicePersonality {
public:
    virtual ~DevicePersonality() = default;

    // Bytes the host wrote, in the pieces the pseudo-terminal delivered them; a request may
    // be split over several calls. Called on the simulator's worker thread, one call at a time.
    virtual void onReceived(std::string_view bytes, DeviceLink& link) = 0;

    // The device was unplugged: whatever it had half received is lost.
    virtual void onReset() {}

    // Called once the host has been silent for quietTime() after the last bytes it sent,
    // on the worker thread like onReceived: bytes held back to see what follows go now.
    // A zero quiet time never calls it.
    virtual std::chrono::milliseconds quietTime() const { return {}; }
    virtual void onQuiet(DeviceLink& /*link*/) {}
};

}  // namespace lintaro::devsim
