// POSIX: one poll over the port's descriptor, the connections and an eventfd (a pipe where
// there is none) that commands ring. A terminal that hangs up (an unplugged adapter, a
// closed pseudo-terminal master) reports POLLHUP or POLLERR, or reads as end of file or
// EIO.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/eventfd.h>
#endif

#include <cerrno>
#include <cstdint>

#include "bridge/RelayThread.h"

namespace lintaro::relay_platform {

namespace {

int FdOf(COMHandle port) { return static_cast<int>(port); }

}  // namespace

struct Waiter::Private {
    int wake[2] = {-1, -1};  // read end, write end (the same eventfd on Linux)
    std::vector<pollfd> fds;
};

Waiter::Waiter() : d(std::make_unique<Private>()) {
#if defined(__linux__)
    d->wake[0] = d->wake[1] = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
#else
    if (::pipe(d->wake) == 0) {
        for (int fd : d->wake) {
            ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
            ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        }
    }
#endif
}

Waiter::~Waiter() {
    if (d->wake[0] >= 0) ::close(d->wake[0]);
    if (d->wake[1] >= 0 && d->wake[1] != d->wake[0]) ::close(d->wake[1]);
}

void Waiter::Wake() {
    const std::uint64_t one = 1;
    // A full pipe or counter already wakes the loop.
    [[maybe_unused]] const ssize_t n = ::write(d->wake[1], &one, d->wake[0] == d->wake[1] ? 8 : 1);
}

void Waiter::Wait(COMHandle port, Interest portWant, Readiness& portReady,
                  const std::vector<Socket>& sockets, const std::vector<Interest>& want,
                  std::vector<Readiness>& ready, int timeoutMs) {
    auto& fds = d->fds;
    fds.clear();
    fds.push_back({d->wake[0], POLLIN, 0});
    const bool havePort = port != InvalidCOMHandle;
    // A port is always watched for its hang-up, even while neither direction wants it.
    if (havePort) {
        fds.push_back({FdOf(port),
                       static_cast<short>((portWant.read ? POLLIN : 0) | (portWant.write ? POLLOUT : 0)), 0});
    }
    const std::size_t first = fds.size();
    for (std::size_t i = 0; i < sockets.size(); ++i) {
        // A connection wanted for nothing is left out: its end would wake the poll at once,
        // again and again, while the other side is held back.
        const bool wanted = want[i].read || want[i].write;
        fds.push_back({wanted ? static_cast<int>(sockets[i]) : -1,
                       static_cast<short>((want[i].read ? POLLIN : 0) | (want[i].write ? POLLOUT : 0)), 0});
    }
    ready.assign(sockets.size(), Readiness{});
    portReady = {};
    if (::poll(fds.data(), fds.size(), timeoutMs) <= 0) return;
    if ((fds[0].revents & POLLIN) != 0) {
        std::uint64_t drained[8];
        while (::read(d->wake[0], drained, sizeof drained) > 0) {
        }
    }
    if (havePort) {
        const short r = fds[1].revents;
        portReady.read = (r & POLLIN) != 0;
        portReady.write = (r & POLLOUT) != 0;
        portReady.gone = (r & (POLLHUP | POLLERR | POLLNVAL)) != 0;
    }
    for (std::size_t i = 0; i < sockets.size(); ++i) {
        const short r = fds[first + i].revents;
        // An error or the peer's end shows as readable: the receive then tells it.
        ready[i].read = want[i].read && (r & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) != 0;
        ready[i].write = (r & (POLLOUT | POLLERR | POLLHUP)) != 0 && want[i].write;
    }
}

void Waiter::Forget(Socket) {}
void Waiter::ForgetPort() {}

// A raw terminal without a minimum count (VMIN 0) reads 0 bytes when nothing waits, so 0
// is silence here; a terminal that hung up fails with EIO or tells it by PortAtEnd.
int PortRead(COMHandle port, std::uint8_t* buffer, std::size_t capacity) {
    for (;;) {
        const ssize_t n = ::read(FdOf(port), buffer, capacity);
        if (n >= 0) return static_cast<int>(n);
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
        return -1;
    }
}

// Readable with nothing to read is end of file: the terminal has hung up.
bool PortAtEnd(COMHandle port) {
    pollfd p{FdOf(port), POLLIN, 0};
    if (::poll(&p, 1, 0) < 0) return true;
    if ((p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) return true;
    int waiting = 0;
    return (p.revents & POLLIN) != 0 && (::ioctl(FdOf(port), FIONREAD, &waiting) != 0 || waiting <= 0);
}

int PortWrite(COMHandle port, const std::uint8_t* bytes, int count) {
    for (;;) {
        const ssize_t n = ::write(FdOf(port), bytes, static_cast<std::size_t>(count));
        if (n >= 0) return static_cast<int>(n);
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
        return -1;
    }
}

int SocketRecv(Socket socket, char* buffer, int capacity) {
    for (;;) {
        const ssize_t n = ::recv(static_cast<int>(socket), buffer, static_cast<std::size_t>(capacity), 0);
        if (n > 0) return static_cast<int>(n);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
        return -1;
    }
}

int SocketSend(Socket socket, const char* bytes, int count) {
    for (;;) {
        const ssize_t n =
            ::send(static_cast<int>(socket), bytes, static_cast<std::size_t>(count), MSG_NOSIGNAL);
        if (n >= 0) return static_cast<int>(n);
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
        return -1;
    }
}

void SocketClose(Socket socket) { ::close(static_cast<int>(socket)); }

Carrier CarrierDetect(COMHandle port) {
    int lines = 0;
    if (::ioctl(FdOf(port), TIOCMGET, &lines) != 0) return Carrier::Unknown;
    return (lines & TIOCM_CD) != 0 ? Carrier::Up : Carrier::Down;
}

void NameRelayThread() {
#if defined(__linux__)
    ::pthread_setname_np(::pthread_self(), "lintaro-relay");
#endif
}

Socket SocketTake(Socket socket) {
    const int own = ::fcntl(static_cast<int>(socket), F_DUPFD_CLOEXEC, 0);
    if (own < 0) return -1;
    ::fcntl(own, F_SETFL, ::fcntl(own, F_GETFL) | O_NONBLOCK);
    return own;
}

}  // namespace lintaro::relay_platform
