// A Ports-class device node registered through SetupAPI for the lifetime of the object,
// so that the presence test sees a port device that no driver created (under Wine no
// driver creates any). The instance is ROOT\PORTS\<port name>.
#pragma once

#include <optional>
#include <string>

namespace lintaro::testing_support {

class RegisteredPortDevice {
public:
    // With the friendly name "Simulated port (<port name>)". Throws std::runtime_error.
    explicit RegisteredPortDevice(const std::string& portName);
    // std::nullopt registers the device without a friendly name.
    RegisteredPortDevice(const std::string& portName, std::optional<std::string> friendlyName);
    ~RegisteredPortDevice();
    RegisteredPortDevice(const RegisteredPortDevice&) = delete;
    RegisteredPortDevice& operator=(const RegisteredPortDevice&) = delete;

private:
    std::wstring FInstanceId;
};

}  // namespace lintaro::testing_support
