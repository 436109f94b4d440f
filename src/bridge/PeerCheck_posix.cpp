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

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "bridge/PeerAddress.h"
#include "bridge/PeerCheck.h"
#include "serial/COMUtils_linux.h"

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
    auto* bytes = reinterpret_cast<unsigned char*>(endpoint.words);
    endpoint.family = StoreV6Address(v6.sin6_addr.s6_addr, bytes) ? AF_INET : AF_INET6;
    return true;
}

// An address of a diagnostics reply; a dual-stack socket's IPv4 ends come v4-mapped.
bool SameAddress(const std::uint32_t* got, const Endpoint& end) {
    if (end.family == AF_INET6) return std::memcmp(got, end.words, sizeof end.words) == 0;
    return got[0] == end.words[0] ||
           (IsV4Mapped(reinterpret_cast<const unsigned char*>(got)) && got[3] == end.words[0]);
}

// The uid of the socket whose local end is `source` and whose remote end is `target`,
// from the kernel; nullopt when netlink cannot be used, -1 when there is no such socket.
std::optional<long> OwnerByNetlink(const Endpoint& source, const Endpoint& target,
                                   unsigned long* inode = nullptr) {
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
                // A socket its process has closed already is held by nobody (no inode) and
                // names uid 0: root's, to a check that runs as root.
                owner = same && socket->idiag_inode != 0 ? static_cast<long>(socket->idiag_uid) : -1;
                if (same && inode != nullptr) *inode = socket->idiag_inode;
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

long OwnerInTable(const char* file, const std::string& local, const std::string& remote,
                  unsigned long* inode) {
    std::ifstream table(file);
    std::string line;
    std::getline(table, line);  // the heading
    while (std::getline(table, line)) {
        // sl local_address rem_address st tx:rx tr:when retrnsmt uid ...
        std::istringstream fields(line);
        std::string slot, localText, remoteText, state, queues, timer, retransmits;
        long uid = -1;
        unsigned long timeout = 0, node = 0;
        if (fields >> slot >> localText >> remoteText >> state >> queues >> timer >> retransmits >>
                uid >> timeout >> node &&
            localText == local && remoteText == remote) {
            // What is left of a closed socket (TIME_WAIT, 06, or one that nobody holds any
            // more) names uid 0, no owner.
            if (state == "06" || node == 0) return -1;
            if (inode != nullptr) *inode = node;
            return uid;
        }
    }
    return -1;
}

// The same from the text tables: slow with many sockets, as every row is read.
long OwnerByTable(const Endpoint& source, const Endpoint& target, unsigned long* inode) {
    if (source.family == AF_INET6)
        return OwnerInTable("/proc/net/tcp6", TableText(source, false), TableText(target, false), inode);
    const long uid =
        OwnerInTable("/proc/net/tcp", TableText(source, false), TableText(target, false), inode);
    if (uid >= 0) return uid;
    // A dual-stack socket connected to an IPv4 address is listed among the IPv6 ones.
    return OwnerInTable("/proc/net/tcp6", TableText(source, true), TableText(target, true), inode);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// The first process of this user's that holds the socket `inode`.
std::uint32_t HolderOfSocket(unsigned long inode) {
    if (inode == 0) return 0;
    const std::vector<pid_t> holders = posix::OwnProcessIdsHolding({"socket:[" + std::to_string(inode) + "]"});
    return holders.empty() ? 0 : static_cast<std::uint32_t>(holders.front());
}

// The run mark in a process's environment ("" when it carries none).
std::string RunMarkOf(std::uint32_t pid) {
    static const std::string kName = "LINTARO_RUN_MARK=";
    const std::string vars = ReadFile("/proc/" + std::to_string(pid) + "/environ");
    for (std::size_t at = 0; at < vars.size();) {
        const std::size_t end = std::min(vars.find('\0', at), vars.size());
        if (vars.compare(at, kName.size(), kName) == 0) return vars.substr(at, end - at);
        at = end + 1;
    }
    return {};
}

}  // namespace

PeerUser PeerUserOf(std::intptr_t descriptor, std::uint32_t* pid) {
    const int fd = static_cast<int>(descriptor);
    Endpoint local, remote;
    if (!SocketEnd(fd, false, local) || !SocketEnd(fd, true, remote) ||
        local.family != remote.family) {
        return PeerUser::Other;
    }
    unsigned long inode = 0;
    std::optional<long> owner = OwnerByNetlink(remote, local, &inode);
    // A kernel without TCP diagnostics answers "no such socket" too: asked for this
    // process's own end, it has to know it.
    if (owner == -1 && OwnerByNetlink(local, remote) == -1) owner.reset();
    const long uid = owner ? *owner : OwnerByTable(remote, local, &inode);
    const bool same = uid >= 0 && static_cast<uid_t>(uid) == ::geteuid();
    if (same && pid != nullptr) *pid = HolderOfSocket(inode);
    return same ? PeerUser::Same : PeerUser::Other;
}

// What the program started carries in its environment, everything it starts inherits,
// and nobody else knows.
PeerProgram DescribePeer(std::uint32_t pid, std::uint32_t started) {
    PeerProgram program;
    if (pid == 0) return program;
    program.name = ReadFile("/proc/" + std::to_string(pid) + "/comm");
    while (!program.name.empty() && program.name.back() == '\n') program.name.pop_back();
    const std::string mark = started != 0 ? RunMarkOf(started) : std::string();
    program.startedHere = pid == started || (!mark.empty() && RunMarkOf(pid) == mark);
    return program;
}

}  // namespace lintaro
