// A TCP port for a test's server on 127.0.0.1 and [::1], kept from everyone else for as
// long as the object lives (POSIX). Sockets bound there with SO_REUSEADDR but not
// listening hold it: the system hands the port to no other bind or connection, while a
// server that reuses addresses (Qt's does on Unix) may still listen on it, again and again.
// In the test program's private network the program's default port is used; elsewhere one
// the system picks.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QtGlobal>
#include <cerrno>
#include <stdexcept>

#include "PrivateNetwork.h"

namespace lintaro::test {

inline constexpr quint16 PrivateNetworkPort = 53462;

class HeldPort {
public:
    HeldPort() {
        for (int attempt = 0; attempt < 50 && FPort == 0; ++attempt) {
            Release();
            const quint16 wanted = HasPrivateNetwork() ? PrivateNetworkPort : 0;
            sockaddr_in v4{};
            v4.sin_family = AF_INET;
            v4.sin_port = htons(wanted);
            v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            FV4 = Bound(AF_INET, reinterpret_cast<sockaddr*>(&v4), sizeof v4);
            socklen_t length = sizeof v4;
            if (FV4 < 0 || ::getsockname(FV4, reinterpret_cast<sockaddr*>(&v4), &length) != 0) continue;
            // The same number on [::1]; where that one is taken, another pair is tried.
            sockaddr_in6 v6{};
            v6.sin6_family = AF_INET6;
            v6.sin6_port = v4.sin_port;
            v6.sin6_addr = in6addr_loopback;
            FV6 = Bound(AF_INET6, reinterpret_cast<sockaddr*>(&v6), sizeof v6);
            if (FV6 >= 0 || errno == EAFNOSUPPORT || errno == EADDRNOTAVAIL) FPort = ntohs(v4.sin_port);
        }
        if (FPort == 0) throw std::runtime_error("no port could be held for the test's server");
    }
    HeldPort(const HeldPort&) = delete;
    HeldPort& operator=(const HeldPort&) = delete;
    ~HeldPort() { Release(); }

    quint16 Number() const { return FPort; }

private:
    static int Bound(int family, const sockaddr* address, socklen_t length) {
        const int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return -1;
        const int on = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (family == AF_INET6) ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
        if (::bind(fd, address, length) == 0) return fd;
        const int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }

    void Release() {
        for (int* fd : {&FV4, &FV6}) {
            if (*fd >= 0) ::close(*fd);
            *fd = -1;
        }
    }

    int FV4 = -1;
    int FV6 = -1;
    quint16 FPort = 0;
};

}  // namespace lintaro::test
