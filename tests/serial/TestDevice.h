// The simulated device that a serial test talks to, whichever process plays it. On POSIX
// the simulator runs inside the test on a pseudo-terminal of its own. A Windows test
// program (under Wine) cannot serve a pseudo-terminal, so there the device is a
// lintaro-devsim in another process, reached through its control channel, and its
// terminal is a COM port of the Wine prefix. The environment names that set-up:
//   LINTARO_TEST_DEVSIM   the control channel's TCP port on 127.0.0.1
//   LINTARO_TEST_COMPORT  the port name the host opens (COM5)
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace lintaro::testing_support {

class TestDevice {
public:
    enum class Mode { Echo, Record };

    virtual ~TestDevice() = default;

    // The name OpenCOMPort takes.
    virtual std::string port() const = 0;
    // The terminal's own device path (POSIX, in this process only); empty elsewhere.
    virtual std::string terminalPath() = 0;

    virtual void send(const std::string& bytes) = 0;
    virtual std::string received() = 0;
    virtual void clearReceived() = 0;
    virtual bool waitForReceived(std::size_t count, std::chrono::milliseconds limit) = 0;
    virtual void setReading(bool reading) = 0;
    virtual void setMode(Mode mode) = 0;
    virtual void setIdentification(const std::vector<std::string>& pieces,
                                   std::chrono::milliseconds gap) = 0;
    virtual std::size_t identificationRequests() = 0;

    // Unplugs the device and plugs it in again, as far as the system can tell: on
    // Windows the port device also leaves and rejoins the present Ports-class devices,
    // which Plug and Play does for a real adapter.
    virtual void vanish() = 0;
    virtual void reappear() = 0;
    // Windows: the port stays, its Plug and Play record goes (as Wine's ports have none).
    virtual void dropDeviceRecord() {}
};

// The device for this test run, fresh (plugged in, reading, echo mode, the default
// identification reply, nothing received). Throws std::runtime_error when the run has
// no device (a Windows test program started without the set-up above).
std::unique_ptr<TestDevice> OpenTestDevice();

// A device in another process, whatever the platform: `comPort` is the name the host
// opens, `controlPort` the simulator's control channel.
std::unique_ptr<TestDevice> OpenRemoteDevice(const std::string& comPort, int controlPort);

// Whether this Windows program runs under Wine (false on POSIX).
bool RunningUnderWine();

}  // namespace lintaro::testing_support
