#include "InstrumentPersonality.h"

#include <algorithm>
#include <utility>

namespace lintaro::devsim {

void InstrumentPersonality::setMode(Mode mode) {
    std::lock_guard lock(mutex_);
    mode_ = mode;
}

void InstrumentPersonality::setIdentification(std::vector<std::string> pieces,
                                              std::chrono::milliseconds gap) {
    std::lock_guard lock(mutex_);
    reply_ = std::move(pieces);
    gap_ = gap;
}

void InstrumentPersonality::setIdentification(std::string reply) {
    setIdentification(std::vector<std::string>{std::move(reply)});
}

std::size_t InstrumentPersonality::identificationRequests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

void InstrumentPersonality::onReceived(std::string_view bytes, DeviceLink& link) {
    std::lock_guard lock(mutex_);
    const bool echoing = mode_ == Mode::Echo;
    std::string echo;
    for (std::size_t at = 0; at < bytes.size();) {
        // With nothing held, the bytes up to the next one that could begin a request are
        // given up at once: a bulk transfer is not handled byte by byte.
        if (held_.empty()) {
            const std::size_t start =
                std::min(bytes.find(IdentificationRequest.front(), at), bytes.size());
            if (echoing) echo.append(bytes.substr(at, start - at));
            at = start;
            if (at == bytes.size()) break;
        }
        const char c = bytes[at++];
        held_.push_back(c);
        // Give up held bytes from the front until what is held could begin a request.
        while (!held_.empty() && !IdentificationRequest.starts_with(held_)) {
            if (echoing) echo.push_back(held_.front());
            held_.erase(0, 1);
        }
        if (held_ != IdentificationRequest) continue;
        held_.clear();
        ++requests_;
        if (echoing && !echo.empty()) link.send(std::exchange(echo, {}));
        for (std::size_t i = 0; i < reply_.size(); ++i) {
            link.send(reply_[i], gap_ * static_cast<long>(i));
        }
    }
    if (!echo.empty()) link.send(std::move(echo));
}

void InstrumentPersonality::onQuiet(DeviceLink& link) {
    std::lock_guard lock(mutex_);
    if (mode_ != Mode::Echo) return;
    if (!held_.empty()) link.send(std::exchange(held_, {}));
}

void InstrumentPersonality::onReset() {
    std::lock_guard lock(mutex_);
    held_.clear();
}

}  // namespace lintaro::devsim
