// Linux: SO_PEERCRED answers only for local (Unix) sockets, so the owner of a loopback TCP
// connection's other end is asked of the kernel's socket table: the peer's socket is the
// one whose local end is our remote end and whose remote end is our local end. The
// socket-diagnostics netlink interface looks exactly that socket up (as `ss` does) and
// names its uid; where netlink is not to be had (a kernel without it, a sandbox that
// forbids it), the rows of /proc/net/tcp and /proc/net/tcp6 are searched instead.
#include <arpa/inet.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include "bridge/PeerCheck.h"

namespace lintaro {

namespace {

// One end of a connection; a v4-mapped IPv6 end (::ffff:a.b.c.d) is taken as the IPv4 end
// it is: the kernel keeps such a socket among the IPv4 connections.
struct Endpoint {
    int family = AF_UNSPEC;
    std::uint32_t words[4] = {};  // the address as it travels (network order), IPv4 in words[0]
    std::uint16_t port = 0;       // network order
};

bool SocketEnd(int fd, bool peer, Endpoint& endpoint) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    auto* generic = reinterpret_cast<sockaddr*>(&address);
    if ((peer ? ::getpeername(fd, generic, &length) : ::getsockname(fd, generic, &length)) != 0)
        return false;
    if (address.ss_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
        endpoint.family = AF_INET;
        endpoint.words[0] = v4.sin_addr.s_addr;
        endpoint.port = v4.sin_port;
        return true;
    }
    if (address.ss_family != AF_INET6) return false;
    const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
    endpoint.port = v6.sin6_port;
    if (IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr)) {
        endpoint.family = AF_INET;
        std::memcpy(&endpoint.words[0], v6.sin6_addr.s6_addr + 12, 4);
        return true;
    }
    endpoint.family = AF_INET6;
    std::memcpy(endpoint.words, v6.sin6_addr.s6_addr, 16);
    return true;
}

// An address of a diagnostics reply; a dual-stack socket's IPv4 ends come v4-mapped.
bool SameAddress(const std::uint32_t* got, const Endpoint& end) {
    if (end.family == AF_INET6) return std::memcmp(got, end.words, sizeof end.words) == 0;
    return got[0] == end.words[0] ||
           (got[0] == 0 && got[1] == 0 && got[2] == htonl(0xffff) && got[3] == end.words[0]);
}

// The uid of the socket whose local end is `source` and whose remote end is `target`,
// from the kernel; nullopt when netlink cannot be used, -1 when there is no such socket.
std::optional<long> OwnerByNetlink(const Endpoint& source, const Endpoint& target) {
    const int fd = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (fd < 0) return std::nullopt;
    // The kernel answers at once; a bound only so that a lost answer cannot hang the caller.
    const timeval bound{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
    struct Request {
        nlmsghdr header;
        inet_diag_req_v2 body;
    } request{};
    request.header.nlmsg_len = sizeof request;
    request.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    request.header.nlmsg_flags = NLM_F_REQUEST;  // one socket by its ends, not a dump
    request.header.nlmsg_seq = 1;
    request.body.sdiag_family = static_cast<std::uint8_t>(source.family);
    request.body.sdiag_protocol = IPPROTO_TCP;
    request.body.idiag_states = ~0U;
    request.body.id.idiag_sport = source.port;
    request.body.id.idiag_dport = target.port;
    std::memcpy(request.body.id.idiag_src, source.words, sizeof source.words);
    std::memcpy(request.body.id.idiag_dst, target.words, sizeof target.words);
    request.body.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    request.body.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    std::optional<long> owner;
    if (::sendto(fd, &request, sizeof request, 0, reinterpret_cast<sockaddr*>(&kernel),
                 sizeof kernel) == static_cast<ssize_t>(sizeof request)) {
        alignas(nlmsghdr) char reply[8192];
        ssize_t n;
        do {
            n = ::recv(fd, reply, sizeof reply, 0);
        } while (n < 0 && errno == EINTR);
        auto* message = reinterpret_cast<nlmsghdr*>(reply);
        int left = static_cast<int>(n);
        if (n > 0 && NLMSG_OK(message, left)) {
            if (message->nlmsg_type == NLMSG_ERROR) {
                const auto* error = static_cast<const nlmsgerr*>(NLMSG_DATA(message));
                // No such socket (the peer closed already); any other answer means that
                // this kernel cannot tell.
                if (error->error == -ENOENT) owner = -1;
            } else if (message->nlmsg_type == SOCK_DIAG_BY_FAMILY &&
                       message->nlmsg_len >= NLMSG_LENGTH(sizeof(inet_diag_msg))) {
                const auto* socket = static_cast<const inet_diag_msg*>(NLMSG_DATA(message));
                // The very socket asked for, and a connection of a process: not a
                // listener that the look-up may fall back to, nor what is left of a
                // closed one (those name no owner, uid 0).
                const unsigned state = socket->idiag_state;
                const bool connection = state >= TCP_ESTABLISHED && state <= TCP_CLOSING &&
                                        state != TCP_TIME_WAIT && state != TCP_LISTEN;
                const bool same = socket->id.idiag_sport == source.port &&
                                  socket->id.idiag_dport == target.port &&
                                  SameAddress(socket->id.idiag_src, source) &&
                                  SameAddress(socket->id.idiag_dst, target) && connection;
                owner = same ? static_cast<long>(socket->idiag_uid) : -1;
            }
        }
    }
    ::close(fd);
    return owner;
}

// An end as the kernel's tables print it: each 32-bit word of the address in hexadecimal
// as the machine holds it, a colon, the port.
std::string TableText(const Endpoint& end, bool mapped) {
    char text[64];
    if (end.family == AF_INET && !mapped) {
        std::snprintf(text, sizeof text, "%08X:%04X", end.words[0], ntohs(end.port));
    } else if (end.family == AF_INET) {
        std::snprintf(text, sizeof text, "0000000000000000%08X%08X:%04X", htonl(0xffff),
                      end.words[0], ntohs(end.port));
    } else {
        std::snprintf(text, sizeof text, "%08X%08X%08X%08X:%04X", end.words[0], end.words[1],
                      end.words[2], end.words[3], ntohs(end.port));
    }
    return text;
}

long OwnerInTable(const char* file, const std::string& local, const std::string& remote) {
    std::ifstream table(file);
    std::string line;
    std::getline(table, line);  // the heading
    while (std::getline(table, line)) {
        // sl local_address rem_address st tx:rx tr:when retrnsmt uid ...
        std::istringstream fields(line);
        std::string slot, localText, remoteText, state, queues, timer, retransmits;
        long uid = -1;
        if (fields >> slot >> localText >> remoteText >> state >> queues >> timer >> retransmits >>
                uid &&
            localText == local && remoteText == remote) {
            // What is left of a closed socket (TIME_WAIT, 06) names uid 0, no owner.
            return state == "06" ? -1 : uid;
        }
    }
    return -1;
}

// The same from the text tables: slow with many sockets, as every row is read.
long OwnerByTable(const Endpoint& source, const Endpoint& target) {
    if (source.family == AF_INET6)
        return OwnerInTable("/proc/net/tcp6", TableText(source, false), TableText(target, false));
    const long uid =
        OwnerInTable("/proc/net/tcp", TableText(source, false), TableText(target, false));
    if (uid >= 0) return uid;
    // A dual-stack socket connected to an IPv4 address is listed among the IPv6 ones.
    return OwnerInTable("/proc/net/tcp6", TableText(source, true), TableText(target, true));
}

}  // namespace

PeerUser PeerUserOf(std::intptr_t descriptor) {
    const int fd = static_cast<int>(descriptor);
    Endpoint local, remote;
    if (!SocketEnd(fd, false, local) || !SocketEnd(fd, true, remote) ||
        local.family != remote.family) {
        return PeerUser::Other;
    }
    std::optional<long> owner = OwnerByNetlink(remote, local);
    // A kernel without TCP diagnostics answers "no such socket" too: asked for this
    // process's own end, it has to know it.
    if (owner == -1 && OwnerByNetlink(local, remote) == -1) owner.reset();
    const long uid = owner ? *owner : OwnerByTable(remote, local);
    return uid >= 0 && static_cast<uid_t>(uid) == ::geteuid() ? PeerUser::Same : PeerUser::Other;
}

}  // namespace lintaro
