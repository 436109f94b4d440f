// The client side of the simulator's control channel (tools/devicesim/ControlChannel.h):
// drives a lintaro-devsim that runs in another process, from POSIX or from Windows.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace lintaro::testing_support {

class RemoteDevice {
public:
    // Connects to 127.0.0.1:`port`. Throws std::runtime_error.
    explicit RemoteDevice(std::uint16_t port);
    ~RemoteDevice();
    RemoteDevice(const RemoteDevice&) = delete;
    RemoteDevice& operator=(const RemoteDevice&) = delete;

    std::string portPath();
    void send(const std::string& bytes);
    std::string received();
    void clearReceived();
    bool waitForReceived(std::size_t count, std::chrono::milliseconds limit);
    void setReading(bool reading);
    void setMode(const std::string& mode);  // "echo" or "record"
    void setIdentification(const std::vector<std::string>& pieces, std::chrono::milliseconds gap);
    std::size_t identificationRequests();
    void vanish();
    void reappear();
    void reset();

    // One command line; returns what follows "ok" (without the blank). Throws
    // std::runtime_error for an "error" reply or a broken connection.
    std::string command(const std::string& line);

private:
    std::intptr_t FSocket;
    std::string FPending;
};

}  // namespace lintaro::testing_support
