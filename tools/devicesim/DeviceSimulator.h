// A simulated serial device on a pseudo-terminal, for tests and manual runs without
// hardware. The host opens the link <dir>/<name>, which points at the terminal's slave
// side; the simulator serves the master side on a worker thread of its own and hands the
// bytes it receives to a personality (by default the cable instrument).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "DevicePersonality.h"
#include "InstrumentPersonality.h"

namespace lintaro::devsim {

class DeviceSimulator {
public:
    DeviceSimulator(
        std::string dir, std::string name,
        std::shared_ptr<DevicePersonality> personality = std::make_shared<InstrumentPersonality>());
    ~DeviceSimulator();

    DeviceSimulator(const DeviceSimulator&) = delete;
    DeviceSimulator& operator=(const DeviceSimulator&) = delete;

    // Creates the terminal and the link and starts serving. Throws std::system_error.
    void start();
    // Stops serving, closes the terminal and removes the link. Safe to call twice.
    void stop();

    // The port name the host opens: <dir>/<name>.
    const std::string& portPath() const { return link_; }
    // The terminal's own device path; empty while the device is unplugged.
    std::string slavePath() const;
    bool present() const;

    // Device to host. Dropped while the device is unplugged.
    void send(std::string bytes);
    // Waits until what was sent is in the terminal (the host may not have read it yet);
    // false when the time ran out.
    bool waitForSent(std::chrono::milliseconds timeout) const;

    // Stops or resumes taking bytes from the host, so that the host's writes stall once
    // the terminal's buffers are full.
    void setReading(bool reading);

    // Unplugs the device: the host's open port hangs up and the link disappears. Bytes
    // not yet sent are lost.
    void vanish();
    // Plugs it in again: a new terminal behind the same link. Throws std::system_error.
    void reappear();

    // Every byte received from the host, and the pieces in which the master side read them.
    std::string received() const;
    std::vector<std::string> receivedChunks() const;
    void clearReceived();
    // Waits until at least `count` bytes were received in all; false when the time ran out.
    bool waitForReceived(std::size_t count, std::chrono::milliseconds timeout) const;

private:
    using Clock = std::chrono::steady_clock;
    enum class Command { Vanish, Reappear };
    class Link;

    void run();
    void perform(Command command);
    void openTerminal();
    void closeTerminal();
    void wake();
    void handleInput();
    void handleOutput();
    void runCommand(Command command);

    const std::string dir_;
    const std::string name_;
    const std::string link_;
    const std::shared_ptr<DevicePersonality> personality_;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    bool running_ = false;
    bool stopping_ = false;
    bool reading_ = true;
    bool present_ = false;
    std::deque<Command> commands_;
    std::size_t commandsDone_ = 0;
    std::size_t commandsAsked_ = 0;
    std::exception_ptr commandError_;
    std::string outbox_;
    std::multimap<Clock::time_point, std::string> scheduled_;
    std::optional<Clock::time_point> quietDue_;  // when the personality hears of silence
    std::string received_;
    std::vector<std::string> chunks_;
    std::string slavePath_;

    // Descriptors: opened and closed by the worker thread while it runs (under the lock),
    // used without the lock by the worker only.
    int master_ = -1;
    int slaveHold_ = -1;  // keeps the terminal from hanging up between the host's opens
    int wakeRead_ = -1;
    int wakeWrite_ = -1;
    std::thread worker_;
};

}  // namespace lintaro::devsim
