#include "DeviceSimulator.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <system_error>
#include <utility>

namespace lintaro::devsim {

namespace {

[[noreturn]] void ThrowSystemError(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

void CloseFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

void MakeRaw(int fd) {
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0) ThrowSystemError("tcgetattr");
    ::cfmakeraw(&tio);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (::tcsetattr(fd, TCSANOW, &tio) != 0) ThrowSystemError("tcsetattr");
}

}  // namespace

// The personality's way back to the host; used on the worker thread with the lock held.
class DeviceSimulator::Link final : public DeviceLink {
public:
    explicit Link(DeviceSimulator& simulator) : simulator_(simulator) {}

    void send(std::string bytes, std::chrono::milliseconds after) override {
        if (after <= std::chrono::milliseconds::zero()) {
            simulator_.outbox_ += bytes;
        } else {
            simulator_.scheduled_.emplace(Clock::now() + after, std::move(bytes));
        }
    }

private:
    DeviceSimulator& simulator_;
};

DeviceSimulator::DeviceSimulator(std::string dir, std::string name,
                                 std::shared_ptr<DevicePersonality> personality)
    : dir_(std::move(dir)),
      name_(std::move(name)),
      link_(dir_ + "/" + name_),
      personality_(std::move(personality)) {}

DeviceSimulator::~DeviceSimulator() {
    stop();
}

void DeviceSimulator::start() {
    {
        std::lock_guard lock(mutex_);
        if (running_) return;
    }
    int wake[2];
    if (::pipe2(wake, O_NONBLOCK | O_CLOEXEC) != 0) ThrowSystemError("pipe2");
    wakeRead_ = wake[0];
    wakeWrite_ = wake[1];
    try {
        std::lock_guard lock(mutex_);
        if (!present_) openTerminal();
        stopping_ = false;
        running_ = true;
    } catch (...) {
        CloseFd(wakeRead_);
        CloseFd(wakeWrite_);
        throw;
    }
    worker_ = std::thread(&DeviceSimulator::run, this);
}

void DeviceSimulator::stop() {
    bool wasRunning = false;
    {
        std::lock_guard lock(mutex_);
        wasRunning = running_;
        stopping_ = true;
    }
    if (wasRunning) {
        wake();
        worker_.join();
    }
    std::lock_guard lock(mutex_);
    closeTerminal();
    CloseFd(wakeRead_);
    CloseFd(wakeWrite_);
    running_ = false;
    commands_.clear();
    commandsDone_ = commandsAsked_;
    changed_.notify_all();
}

std::string DeviceSimulator::slavePath() const {
    std::lock_guard lock(mutex_);
    return slavePath_;
}

bool DeviceSimulator::present() const {
    std::lock_guard lock(mutex_);
    return present_;
}

void DeviceSimulator::send(std::string bytes) {
    {
        std::lock_guard lock(mutex_);
        if (!present_) return;
        outbox_ += bytes;
    }
    wake();
}

void DeviceSimulator::setReading(bool reading) {
    {
        std::lock_guard lock(mutex_);
        reading_ = reading;
    }
    wake();
}

void DeviceSimulator::vanish() {
    runCommand(Command::Vanish);
}

void DeviceSimulator::reappear() {
    runCommand(Command::Reappear);
}

std::string DeviceSimulator::received() const {
    std::lock_guard lock(mutex_);
    return received_;
}

std::vector<std::string> DeviceSimulator::receivedChunks() const {
    std::lock_guard lock(mutex_);
    return chunks_;
}

void DeviceSimulator::clearReceived() {
    std::lock_guard lock(mutex_);
    received_.clear();
    chunks_.clear();
}

bool DeviceSimulator::waitForReceived(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return received_.size() >= count; });
}

bool DeviceSimulator::waitForSent(std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return outbox_.empty(); });
}

// The descriptors belong to the worker thread while it runs, so plugging and unplugging
// are carried out there and the caller waits for the result.
void DeviceSimulator::runCommand(Command command) {
    std::unique_lock lock(mutex_);
    if (!running_) {
        perform(command);
        return;
    }
    commands_.push_back(command);
    const std::size_t ticket = ++commandsAsked_;
    lock.unlock();
    wake();
    lock.lock();
    changed_.wait(lock, [&] { return commandsDone_ >= ticket; });
    if (commandError_) std::rethrow_exception(std::exchange(commandError_, nullptr));
}

void DeviceSimulator::perform(Command command) {
    switch (command) {
        case Command::Vanish:
            if (!present_) return;
            closeTerminal();
            outbox_.clear();
            scheduled_.clear();
            personality_->onReset();
            return;
        case Command::Reappear:
            if (present_) return;
            openTerminal();
            return;
    }
}

void DeviceSimulator::openTerminal() {
    int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0) ThrowSystemError("posix_openpt");
    int slave = -1;
    try {
        char path[128];
        if (::grantpt(master) != 0) ThrowSystemError("grantpt");
        if (::unlockpt(master) != 0) ThrowSystemError("unlockpt");
        if (::ptsname_r(master, path, sizeof path) != 0) ThrowSystemError("ptsname_r");
        if (::fcntl(master, F_SETFL, O_NONBLOCK) != 0) ThrowSystemError("fcntl");
        slave = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (slave < 0) ThrowSystemError(path);
        MakeRaw(slave);

        // Built under a hidden name and renamed into place, so the link never points nowhere
        // and a stale link of an earlier run is replaced.
        const std::string building = dir_ + "/." + name_ + ".new";
        ::unlink(building.c_str());
        if (::symlink(path, building.c_str()) != 0) ThrowSystemError(building);
        if (::rename(building.c_str(), link_.c_str()) != 0) {
            const int error = errno;
            ::unlink(building.c_str());
            errno = error;
            ThrowSystemError(link_);
        }
        slavePath_ = path;
    } catch (...) {
        CloseFd(slave);
        CloseFd(master);
        throw;
    }
    master_ = master;
    slaveHold_ = slave;
    present_ = true;
}

void DeviceSimulator::closeTerminal() {
    if (!present_) return;
    ::unlink(link_.c_str());
    // Closing the master hangs up every open of the slave: the host sees an unplugged port.
    CloseFd(master_);
    CloseFd(slaveHold_);
    slavePath_.clear();
    present_ = false;
}

void DeviceSimulator::wake() {
    const char signal = 1;
    // A full pipe already holds a wake-up.
    [[maybe_unused]] const ssize_t ignored = ::write(wakeWrite_, &signal, 1);
}

void DeviceSimulator::run() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        while (!commands_.empty()) {
            const Command command = commands_.front();
            commands_.pop_front();
            try {
                perform(command);
            } catch (...) {
                commandError_ = std::current_exception();
            }
            ++commandsDone_;
            changed_.notify_all();
        }

        const auto now = Clock::now();
        if (quietDue_ && *quietDue_ <= now) {
            quietDue_.reset();
            Link link(*this);
            personality_->onQuiet(link);
        }
        while (!scheduled_.empty() && scheduled_.begin()->first <= now) {
            outbox_ += scheduled_.begin()->second;
            scheduled_.erase(scheduled_.begin());
        }
        std::optional<Clock::time_point> due = quietDue_;
        if (!scheduled_.empty() && (!due || scheduled_.begin()->first < *due))
            due = scheduled_.begin()->first;
        int timeout = -1;
        if (due) {
            const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*due - now);
            timeout = static_cast<int>(std::clamp<long long>(wait.count(), 1, INT_MAX));
        }
        short masterEvents = 0;
        if (reading_) masterEvents |= POLLIN;
        if (!outbox_.empty()) masterEvents |= POLLOUT;
        // A negative descriptor (device unplugged) is skipped by poll.
        pollfd fds[2] = {{wakeRead_, POLLIN, 0}, {master_, masterEvents, 0}};
        lock.unlock();

        if (::poll(fds, 2, timeout) > 0) {
            if (fds[0].revents != 0) {
                char drain[64];
                while (::read(wakeRead_, drain, sizeof drain) > 0) {
                }
            }
            // Hang-up and error are taken as input too: the read tells what happened.
            if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) handleInput();
            if (fds[1].revents & POLLOUT) handleOutput();
        }
        lock.lock();
    }
}

void DeviceSimulator::handleInput() {
    char buffer[4096];
    const ssize_t n = ::read(master_, buffer, sizeof buffer);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    std::lock_guard lock(mutex_);
    if (n <= 0) {
        // The terminal broke down (it cannot hang up while the slave is held open): act
        // as if the device were unplugged rather than spin on it.
        perform(Command::Vanish);
        return;
    }
    received_.append(buffer, static_cast<std::size_t>(n));
    chunks_.emplace_back(buffer, static_cast<std::size_t>(n));
    Link link(*this);
    personality_->onReceived(std::string_view(buffer, static_cast<std::size_t>(n)), link);
    if (const auto quiet = personality_->quietTime(); quiet > std::chrono::milliseconds::zero())
        quietDue_ = Clock::now() + quiet;
    changed_.notify_all();
}

void DeviceSimulator::handleOutput() {
    std::string piece;
    {
        std::lock_guard lock(mutex_);
        piece = outbox_.substr(0, 4096);
    }
    if (piece.empty() || master_ < 0) return;
    const ssize_t n = ::write(master_, piece.data(), piece.size());
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    std::lock_guard lock(mutex_);
    if (n < 0) {
        outbox_.clear();
    } else {
        outbox_.erase(0, static_cast<std::size_t>(n));
    }
    changed_.notify_all();
}

}  // namespace lintaro::devsim
