// A field device on a cable: it answers the identification request and otherwise echoes
// (or silently takes) what it receives.
#pragma once

#include <chrono>
#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "DevicePersonality.h"

namespace lintaro::devsim {

class InstrumentPersonality : public DevicePersonality {
public:
    enum class Mode { Echo, Record };

    static constexpr std::string_view IdentificationRequest = "+VER_INFO=?\r\n";
    // The model key of this reply is DEMO1.
    static constexpr std::string_view DefaultIdentification = "VER_INFO,DEMO1.2.3,SN0001\r\nOK\r\n";

    // The setters may be called from any thread, also while the simulator runs.
    void setMode(Mode mode);
    // The answer to the identification request, sent as these pieces with `gap` between
    // them. No pieces: the device keeps silent.
    void setIdentification(std::vector<std::string> pieces, std::chrono::milliseconds gap = {});
    void setIdentification(std::string reply);
    // Number of identification requests received so far.
    std::size_t identificationRequests() const;

    // The request is taken whole, also when it comes in pieces, and is not echoed. Bytes
    // that could still begin a request are held back until the next bytes decide, or until
    // the host has been quiet for QuietTime (a host writes a request at once).
    static constexpr std::chrono::milliseconds QuietTime{200};
    void onReceived(std::string_view bytes, DeviceLink& link) override;
    void onReset() override;
    std::chrono::milliseconds quietTime() const override { return QuietTime; }
    void onQuiet(DeviceLink& link) override;

private:
    mutable std::mutex mutex_;
    Mode mode_ = Mode::Echo;
    std::vector<std::string> reply_{std::string(DefaultIdentification)};
    std::chrono::milliseconds gap_{0};
    std::string held_;
    std::size_t requests_ = 0;
};

}  // namespace lintaro::devsim
