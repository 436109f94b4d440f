#include "TestDevice.h"

#include <cstdlib>
#include <stdexcept>

#include "RemoteDevice.h"

#ifdef _WIN32
#include <windows.h>

#include <optional>

#include "PortDevice_win.h"
#else
#include "DeviceSimulator.h"
#include "InstrumentPersonality.h"
#include "SerialTestSupport.h"
#endif

namespace lintaro::testing_support {

namespace {

class RemoteTestDevice : public TestDevice {
public:
    RemoteTestDevice(std::string comPort, int controlPort)
        : FPort(std::move(comPort)), FRemote(static_cast<std::uint16_t>(controlPort)) {
        FRemote.reset();
#ifdef _WIN32
        FPresence.emplace(FPort);
#endif
    }

    std::string port() const override {
        return FPort;
    }
    std::string terminalPath() override {
        return {};
    }
    void send(const std::string& bytes) override {
        FRemote.send(bytes);
    }
    std::string received() override {
        return FRemote.received();
    }
    void clearReceived() override {
        FRemote.clearReceived();
    }
    bool waitForReceived(std::size_t count, std::chrono::milliseconds limit) override {
        return FRemote.waitForReceived(count, limit);
    }
    void setReading(bool reading) override {
        FRemote.setReading(reading);
    }
    void setMode(Mode mode) override {
        FRemote.setMode(mode == Mode::Echo ? "echo" : "record");
    }
    void setIdentification(const std::vector<std::string>& pieces,
                           std::chrono::milliseconds gap) override {
        FRemote.setIdentification(pieces, gap);
    }
    std::size_t identificationRequests() override {
        return FRemote.identificationRequests();
    }

    void vanish() override {
        FRemote.vanish();
#ifdef _WIN32
        FPresence.reset();
#endif
    }
    void dropDeviceRecord() override {
#ifdef _WIN32
        FPresence.reset();
#endif
    }
    void reappear() override {
        FRemote.reappear();
#ifdef _WIN32
        if (!FPresence) FPresence.emplace(FPort);
#endif
    }

private:
    std::string FPort;
    RemoteDevice FRemote;
#ifdef _WIN32
    // Wine has no Plug and Play for a pseudo-terminal: the port device is registered
    // while the device is plugged in.
    std::optional<RegisteredPortDevice> FPresence;
#endif
};

#ifndef _WIN32
// The simulator in this process, in a port folder of its own (which the port list shows).
class LocalTestDevice : public TestDevice {
public:
    LocalTestDevice() : FSimulator(FFolder.path(), "sim0", FDevice) { FSimulator.start(); }

    std::string port() const override { return FSimulator.portPath(); }
    std::string terminalPath() override { return FSimulator.slavePath(); }
    void send(const std::string& bytes) override { FSimulator.send(bytes); }
    std::string received() override { return FSimulator.received(); }
    void clearReceived() override { FSimulator.clearReceived(); }
    bool waitForReceived(std::size_t count, std::chrono::milliseconds limit) override {
        return FSimulator.waitForReceived(count, limit);
    }
    void setReading(bool reading) override { FSimulator.setReading(reading); }
    void setMode(Mode mode) override {
        FDevice->setMode(mode == Mode::Echo ? devsim::InstrumentPersonality::Mode::Echo
                                            : devsim::InstrumentPersonality::Mode::Record);
    }
    void setIdentification(const std::vector<std::string>& pieces,
                           std::chrono::milliseconds gap) override {
        FDevice->setIdentification(pieces, gap);
    }
    std::size_t identificationRequests() override { return FDevice->identificationRequests(); }
    void vanish() override { FSimulator.vanish(); }
    void reappear() override { FSimulator.reappear(); }

private:
    PortFolder FFolder;
    std::shared_ptr<devsim::InstrumentPersonality> FDevice =
        std::make_shared<devsim::InstrumentPersonality>();
    devsim::DeviceSimulator FSimulator;
};
#endif

}  // namespace

std::unique_ptr<TestDevice> OpenRemoteDevice(const std::string& comPort, int controlPort) {
    return std::make_unique<RemoteTestDevice>(comPort, controlPort);
}

std::unique_ptr<TestDevice> OpenTestDevice() {
    const char* control = std::getenv("LINTARO_TEST_DEVSIM");
    const char* comPort = std::getenv("LINTARO_TEST_COMPORT");
    if (control != nullptr && *control != '\0' && comPort != nullptr && *comPort != '\0') {
        return OpenRemoteDevice(comPort, std::atoi(control));
    }
#ifdef _WIN32
    throw std::runtime_error(
        "no simulated device: set LINTARO_TEST_DEVSIM and LINTARO_TEST_COMPORT "
        "(scripts/wine-tests.sh does)");
#else
    return std::make_unique<LocalTestDevice>();
#endif
}

bool RunningUnderWine() {
#ifdef _WIN32
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
    return false;
#endif
}

}  // namespace lintaro::testing_support
