#include "ControlChannel.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <exception>
#include <sstream>
#include <system_error>
#include <utility>

namespace lintaro::devsim {

namespace {

[[noreturn]] void ThrowSystemError(const char* what) {
    throw std::system_error(errno, std::generic_category(), what);
}

bool SendAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace



ControlChannel::ControlChannel(DeviceSimulator& simulator, InstrumentPersonality& device,
                               Defaults defaults)
    : simulator_(simulator), device_(device), defaults_(std::move(defaults)) {}

ControlChannel::~ControlChannel() {
    stop();
}

void ControlChannel::start(std::uint16_t port) {
    int wake[2];
    if (::pipe2(wake, O_NONBLOCK | O_CLOEXEC) != 0) ThrowSystemError("pipe2");
    wakeRead_ = wake[0];
    wakeWrite_ = wake[1];
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener_ < 0) ThrowSystemError("socket");
    const int on = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);  // never reachable from elsewhere
    address.sin_port = htons(port);
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ThrowSystemError("bind");
    }
    if (::listen(listener_, 4) != 0) ThrowSystemError("listen");
    socklen_t length = sizeof address;
    if (::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ThrowSystemError("getsockname");
    }
    port_ = ntohs(address.sin_port);
    worker_ = std::thread(&ControlChannel::run, this);
}

void ControlChannel::stop() {
    if (worker_.joinable()) {
        const char signal = 1;
        [[maybe_unused]] const ssize_t ignored = ::write(wakeWrite_, &signal, 1);
        worker_.join();
    }
    for (int* fd : {&listener_, &wakeRead_, &wakeWrite_}) {
        if (*fd >= 0) ::close(*fd);
        *fd = -1;
    }
}

void ControlChannel::run() {
    for (;;) {
        pollfd fds[2] = {{wakeRead_, POLLIN, 0}, {listener_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[0].revents != 0) return;
        if (fds[1].revents & POLLIN) {
            const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0) continue;
            const int on = 1;
            ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            serve(client);
            ::close(client);
        }
    }
}

void ControlChannel::serve(int client) {
    std::string pending;
    char buffer[65536];
    for (;;) {
        pollfd fds[2] = {{wakeRead_, POLLIN, 0}, {client, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[0].revents != 0) return;
        const ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        pending.append(buffer, static_cast<std::size_t>(n));
        std::size_t end;
        while ((end = pending.find('\n')) != std::string::npos) {
            std::string line = pending.substr(0, end);
            pending.erase(0, end + 1);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (!SendAll(client, handle(line) + "\n")) return;
        }
    }
}

std::string ControlChannel::handle(const std::string& line) {
    std::istringstream in(line);
    std::string command;
    in >> command;
    try {
        if (command == "port") return "ok " + simulator_.portPath();
        if (command == "send") {
            std::string hex, bytes;
            in >> hex;
            if (!FromHex(hex, bytes)) return "error bad hex";
            simulator_.send(std::move(bytes));
            return "ok";
        }
        if (command == "received") return "ok " + ToHex(simulator_.received());
        if (command == "clear") {
            simulator_.clearReceived();
            return "ok";
        }
        if (command == "wait") {
            std::size_t count = 0;
            long long ms = 0;
            if (!(in >> count >> ms) || ms < 0) return "error usage: wait <count> <ms>";
            return simulator_.waitForReceived(count, std::chrono::milliseconds(ms)) ? "ok 1"
                                                                                    : "ok 0";
        }
        if (command == "reading") {
            int on = 0;
            if (!(in >> on)) return "error usage: reading 0|1";
            simulator_.setReading(on != 0);
            return "ok";
        }
        if (command == "mode") {
            std::string mode;
            in >> mode;
            if (mode == "echo") {
                device_.setMode(InstrumentPersonality::Mode::Echo);
            } else if (mode == "record") {
                device_.setMode(InstrumentPersonality::Mode::Record);
            } else {
                return "error unknown mode";
            }
            return "ok";
        }
        if (command == "identification") {
            long long gap = 0;
            if (!(in >> gap) || gap < 0) return "error usage: identification <ms> [<hex>...]";
            std::vector<std::string> pieces;
            std::string hex, piece;
            while (in >> hex) {
                if (!FromHex(hex, piece)) return "error bad hex";
                pieces.push_back(piece);
            }
            device_.setIdentification(std::move(pieces), std::chrono::milliseconds(gap));
            return "ok";
        }
        if (command == "requests") return "ok " + std::to_string(device_.identificationRequests());
        if (command == "vanish") {
            simulator_.vanish();
            return "ok";
        }
        if (command == "reappear") {
            simulator_.reappear();
            return "ok";
        }
        if (command == "reset") {
            simulator_.reappear();
            simulator_.setReading(true);
            device_.setMode(defaults_.mode);
            device_.setIdentification(defaults_.identification, defaults_.gap);
            simulator_.clearReceived();
            return "ok";
        }
        return "error unknown command '" + command + "'";
    } catch (const std::exception& e) {
        return std::string("error ") + e.what();
    }
}

}  // namespace lintaro::devsim
