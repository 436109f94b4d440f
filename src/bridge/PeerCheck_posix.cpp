// Linux: SO_PEERCRED answers only for local (Unix) sockets, so the owner of a loopback TCP
// connection's other end is read from the kernel's socket table: the peer's socket is the
// row of /proc/net/tcp whose local end is our remote end and whose remote end is our local
// end, and that row names the uid that owns it.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "bridge/PeerCheck.h"

namespace lintaro {

namespace {

struct Endpoint {
    std::uint32_t address = 0;  // as the kernel prints it: the network-order bytes
    unsigned port = 0;          // host order
};

bool ParseEndpoint(const std::string& text, Endpoint& endpoint) {
    const std::size_t colon = text.find(':');
    if (colon != 8 || text.size() != 13) return false;  // IPv4 rows only: AAAAAAAA:PPPP
    const std::string address = text.substr(0, 8);
    const std::string port = text.substr(9);
    char* end = nullptr;
    endpoint.address = static_cast<std::uint32_t>(std::strtoul(address.c_str(), &end, 16));
    if (*end != '\0') return false;
    endpoint.port = static_cast<unsigned>(std::strtoul(port.c_str(), &end, 16));
    return *end == '\0';
}

bool SocketEnd(int fd, bool peer, Endpoint& endpoint) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    auto* generic = reinterpret_cast<sockaddr*>(&address);
    if ((peer ? ::getpeername(fd, generic, &length) : ::getsockname(fd, generic, &length)) != 0 ||
        address.sin_family != AF_INET) {
        return false;
    }
    endpoint.address = address.sin_addr.s_addr;
    endpoint.port = ntohs(address.sin_port);
    return true;
}

}  // namespace

bool PeerIsSameUser(std::intptr_t descriptor) {
    const int fd = static_cast<int>(descriptor);
    Endpoint local, remote;
    if (!SocketEnd(fd, false, local) || !SocketEnd(fd, true, remote)) return false;
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line);  // the heading
    while (std::getline(table, line)) {
        // sl local_address rem_address st tx:rx tr:when retrnsmt uid ...
        std::istringstream fields(line);
        std::string slot, localText, remoteText, state, queues, timer, retransmits;
        long uid = -1;
        if (!(fields >> slot >> localText >> remoteText >> state >> queues >> timer >> retransmits >> uid)) {
            continue;
        }
        Endpoint rowLocal, rowRemote;
        if (!ParseEndpoint(localText, rowLocal) || !ParseEndpoint(remoteText, rowRemote)) continue;
        if (rowLocal.address == remote.address && rowLocal.port == remote.port &&
            rowRemote.address == local.address && rowRemote.port == local.port) {
            return uid >= 0 && static_cast<uid_t>(uid) == ::geteuid();
        }
    }
    return false;
}

}  // namespace lintaro
