#include "ModemPersonality.h"

#include <algorithm>
#include <utility>

namespace lintaro::devsim {

namespace {

std::string UpperCase(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return text;
}

std::string ResultText(std::string_view word) {
    return "\r\n" + std::string(word) + "\r\n";
}

std::string DialResultText(ModemPersonality::DialOutcome outcome) {
    using Outcome = ModemPersonality::DialOutcome;
    switch (outcome) {
        case Outcome::Connect:
            return ResultText(ModemPersonality::ConnectText);
        case Outcome::Busy:
            return ResultText("BUSY");
        case Outcome::NoCarrier:
            return ResultText("NO CARRIER");
        case Outcome::NoDialtone:
            return ResultText("NO DIALTONE");
        case Outcome::NoAnswer:
            return ResultText("NO ANSWER");
        case Outcome::Silent:
            break;
    }
    return {};
}

}  // namespace

ModemPersonality::ModemPersonality(std::shared_ptr<InstrumentPersonality> device)
    : device_(std::move(device)),
      replies_{{"ATZ", Reply::Ok}, {"AT", Reply::Ok}, {"AT+CBST=7,0,1", Reply::Ok}} {
    timer_ = std::thread(&ModemPersonality::runTimer, this);
}

ModemPersonality::~ModemPersonality() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    timerChanged_.notify_all();
    timer_.join();
}

void ModemPersonality::setOutput(std::function<void(std::string)> output) {
    std::lock_guard lock(outputMutex_);
    output_ = std::move(output);
}

void ModemPersonality::setReply(std::string_view command, Reply reply) {
    std::lock_guard lock(mutex_);
    replies_[UpperCase(std::string(command))] = reply;
}

void ModemPersonality::setRegistration(std::vector<std::string> states) {
    std::lock_guard lock(mutex_);
    registration_ = std::move(states);
    registrationPolls_ = 0;
}

void ModemPersonality::setDial(DialOutcome outcome, std::chrono::milliseconds delay) {
    std::lock_guard lock(mutex_);
    dialOutcome_ = outcome;
    dialDelay_ = delay;
}

void ModemPersonality::setAnswerDelay(std::chrono::milliseconds least,
                                      std::chrono::milliseconds most) {
    std::lock_guard lock(mutex_);
    leastDelay_ = least;
    mostDelay_ = std::max(least, most);
}

void ModemPersonality::setEcho(bool echo) {
    std::lock_guard lock(mutex_);
    echo_ = echo;
}

void ModemPersonality::setEscapeGuard(std::chrono::milliseconds guard) {
    std::lock_guard lock(mutex_);
    escapeGuard_ = guard;
}

void ModemPersonality::dropCall(std::chrono::milliseconds split) {
    const std::string word = ResultText("NO CARRIER");
    const std::size_t cut = split > std::chrono::milliseconds::zero() ? 8 : word.size();
    {
        std::lock_guard lock(mutex_);
        if (state_ == State::Command) return;
        endCall();
        if (cut < word.size()) {
            schedule(Clock::now() + split, [rest = word.substr(cut)] { return rest; });
        }
    }
    emit(word.substr(0, cut));
}

ModemPersonality::State ModemPersonality::state() const {
    std::lock_guard lock(mutex_);
    return state_;
}

std::vector<std::string> ModemPersonality::commands() const {
    std::lock_guard lock(mutex_);
    return commands_;
}

std::vector<std::string> ModemPersonality::dialled() const {
    std::lock_guard lock(mutex_);
    return dialled_;
}

std::vector<ModemPersonality::Piece> ModemPersonality::pieces() const {
    std::lock_guard lock(mutex_);
    return pieces_;
}

std::size_t ModemPersonality::hangUps() const {
    std::lock_guard lock(mutex_);
    return hangUps_;
}

void ModemPersonality::clearRecord() {
    std::lock_guard lock(mutex_);
    commands_.clear();
    dialled_.clear();
    pieces_.clear();
    hangUps_ = 0;
}

void ModemPersonality::onReceived(std::string_view bytes, DeviceLink& link) {
    std::lock_guard lock(mutex_);
    pieces_.push_back({Clock::now(), std::string(bytes)});
    while (!bytes.empty()) {
        // Commands end with CR LF; the LF belongs to the command just carried out, also when
        // that command started a dial or the call meanwhile. It is not echoed, so the echo
        // never trails behind the answer.
        if (afterCommand_ && bytes.front() == '\n') {
            afterCommand_ = false;
            bytes.remove_prefix(1);
            continue;
        }
        afterCommand_ = false;
        switch (state_) {
            case State::Data:
                bytes = receiveData(bytes, link);
                break;
            case State::Dialling:
                // A real modem gives up dialling at the first character from the host.
                endCall();
                break;
            case State::Command:
            case State::OnlineCommand:
                bytes = receiveCommand(bytes, link);
                break;
        }
    }
}

void ModemPersonality::onReset() {
    std::lock_guard lock(mutex_);
    endCall();
    line_.clear();
    afterCommand_ = false;
    timers_.clear();
    device_->onReset();
}

std::string_view ModemPersonality::receiveCommand(std::string_view bytes, DeviceLink& link) {
    std::string echo;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const char c = bytes[i];
        if (std::exchange(afterCommand_, false) && c == '\n') continue;
        if (echo_) echo.push_back(c);
        if (c == '\n') continue;
        if (c != '\r') {
            line_.push_back(c);
            continue;
        }
        // The echo goes first, also when the answer is due at once.
        if (!echo.empty()) link.send(std::exchange(echo, {}));
        executeLine(std::exchange(line_, {}), link);
        afterCommand_ = true;
        if (state_ != State::Command && state_ != State::OnlineCommand) return bytes.substr(i + 1);
    }
    if (!echo.empty()) link.send(std::move(echo));
    return {};
}

// "+++" framed by the guard's silence on both sides leaves the data for commands; any
// other bytes, "++++" and pluses right after data included, are the device's.
std::string_view ModemPersonality::receiveData(std::string_view bytes, DeviceLink& link) {
    const std::uint64_t epoch = ++dataEpoch_;
    const Clock::time_point now = Clock::now();
    std::string data;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const char c = bytes[i];
        if (c == '+' && heldPluses_ < 3 && (heldPluses_ > 0 || now - lastDataAt_ >= escapeGuard_)) {
            ++heldPluses_;
            if (heldPluses_ == 3 && escapeGuard_ <= std::chrono::milliseconds::zero()) {
                if (!data.empty()) device_->onReceived(data, link);
                heldPluses_ = 0;
                state_ = State::OnlineCommand;
                answer(ResultText("OK"), link);
                return bytes.substr(i + 1);
            }
            continue;
        }
        data.append(static_cast<std::size_t>(heldPluses_), '+');
        heldPluses_ = 0;
        data.push_back(c);
        lastDataAt_ = now;
    }
    if (!data.empty()) device_->onReceived(data, link);
    if (heldPluses_ == 3) {
        schedule(Clock::now() + escapeGuard_, [this, epoch]() -> std::string {
            if (state_ != State::Data || dataEpoch_ != epoch || heldPluses_ != 3) return {};
            heldPluses_ = 0;
            state_ = State::OnlineCommand;
            return ResultText("OK");
        });
    }
    return {};
}

void ModemPersonality::executeLine(std::string line, DeviceLink& link) {
    commands_.push_back(line);
    const std::string upper = UpperCase(line);
    const std::size_t start = upper.find("AT");
    if (start == std::string::npos) return;  // noise on the line
    const std::string command = upper.substr(start);

    if (command == "AT+CREG?") {
        if (registration_.empty()) {
            answer(ResultText("ERROR"), link);
            return;
        }
        const std::size_t index = std::min(registrationPolls_++, registration_.size() - 1);
        answer(ResultText("+CREG: " + registration_[index]) + ResultText("OK"), link);
        return;
    }
    if (command.starts_with("ATD")) {
        if (state_ == State::OnlineCommand) {
            answer(ResultText("ERROR"), link);
            return;
        }
        dialled_.push_back(line.substr(start + 3));
        state_ = State::Dialling;
        const std::uint64_t call = ++callEpoch_;
        const DialOutcome outcome = dialOutcome_;
        if (outcome == DialOutcome::Silent) return;
        schedule(Clock::now() + dialDelay_, [this, call, outcome]() -> std::string {
            if (state_ != State::Dialling || callEpoch_ != call) return {};
            if (outcome == DialOutcome::Connect) {
                state_ = State::Data;
                heldPluses_ = 0;
                lastDataAt_ = Clock::now();
            } else {
                endCall();
            }
            return DialResultText(outcome);
        });
        return;
    }
    if (command == "ATH" || command == "ATH0") {
        ++hangUps_;
        if (state_ == State::OnlineCommand) endCall();
        answer(ResultText("OK"), link);
        return;
    }
    if (command == "ATE0" || command == "ATE1") {
        echo_ = command == "ATE1";
        answer(ResultText("OK"), link);
        return;
    }
    const auto reply = replies_.find(command);
    switch (reply == replies_.end() ? Reply::Error : reply->second) {
        case Reply::Ok:
            answer(ResultText("OK"), link);
            break;
        case Reply::Error:
            answer(ResultText("ERROR"), link);
            break;
        case Reply::Silent:
            break;
    }
}

// Answers keep their order also when their delays differ.
void ModemPersonality::answer(std::string bytes, DeviceLink& link) {
    const long long span = (mostDelay_ - leastDelay_).count();
    const long long extra = span > 0 ? static_cast<long long>(random_() % (span + 1)) : 0;
    const std::chrono::milliseconds delay = leastDelay_ + std::chrono::milliseconds(extra);
    const Clock::time_point now = Clock::now();
    if (delay <= std::chrono::milliseconds::zero() && lastAnswerDue_ <= now) {
        link.send(std::move(bytes));
        return;
    }
    lastAnswerDue_ = std::max(now + delay, lastAnswerDue_);
    schedule(lastAnswerDue_, [bytes = std::move(bytes)] { return bytes; });
}

void ModemPersonality::schedule(Clock::time_point due, Action action) {
    timers_.emplace(due, std::move(action));
    timerChanged_.notify_all();
}

void ModemPersonality::endCall() {
    state_ = State::Command;
    heldPluses_ = 0;
    ++callEpoch_;
}

void ModemPersonality::emit(const std::string& bytes) {
    std::lock_guard lock(outputMutex_);
    if (output_) output_(bytes);
}

void ModemPersonality::runTimer() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        if (timers_.empty()) {
            timerChanged_.wait(lock);
            continue;
        }
        const Clock::time_point due = timers_.begin()->first;
        if (Clock::now() < due) {
            timerChanged_.wait_until(lock, due);
            continue;
        }
        const Action action = std::move(timers_.begin()->second);
        timers_.erase(timers_.begin());
        const std::string bytes = action();
        if (bytes.empty()) continue;
        // The simulator calls this personality under its own lock: send without ours.
        lock.unlock();
        emit(bytes);
        lock.lock();
    }
}

ModemSimulator::ModemSimulator(std::string dir, std::string name,
                               std::shared_ptr<ModemPersonality> modem)
    : modem_(std::move(modem)), simulator_(std::move(dir), std::move(name), modem_) {
    modem_->setOutput([this](std::string bytes) { simulator_.send(std::move(bytes)); });
}

ModemSimulator::~ModemSimulator() {
    modem_->setOutput({});
    simulator_.stop();
}

}  // namespace lintaro::devsim
