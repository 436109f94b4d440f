// The kernel's tables of TCP sockets (/proc/net/tcp, /proc/net/tcp6) name a listener's
// owner and socket; the user's own processes that hold the socket are found by it.
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

#include "bridge/PortHolder.h"
#include "serial/COMUtils_linux.h"

namespace lintaro {

namespace {

constexpr const char* kListening = "0A";

// The local addresses (as the tables write them) whose listeners keep the server from its
// loopback addresses: any address, 127.0.0.1, ::1 and the IPv4 loopback mapped to IPv6.
bool Conflicts(const std::string& address) {
    return address.find_first_not_of('0') == std::string::npos || address == "0100007F" ||
           address == "00000000000000000000000001000000" ||
           address == "0000000000000000FFFF00000100007F";
}

}  // namespace

std::string TCPPortHolder(std::uint16_t port) {
    std::vector<std::string> ownSockets;
    bool others = false;
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::ifstream in(table);
        std::string line;
        std::getline(in, line);  // the heading
        while (std::getline(in, line)) {
            // sl local_address rem_address st tx:rx tr:when retrnsmt uid timeout inode
            std::istringstream fields(line);
            std::string slot, local, remote, state, queues, timer, retransmits, inode;
            unsigned long uid = 0;
            unsigned long timeout = 0;
            if (!(fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >>
                  uid >> timeout >> inode) ||
                state != kListening) {
                continue;
            }
            const std::size_t colon = local.rfind(':');
            if (colon == std::string::npos || !Conflicts(local.substr(0, colon)) ||
                std::strtoul(local.c_str() + colon + 1, nullptr, 16) != port) {
                continue;
            }
            if (uid == ::getuid()) {
                ownSockets.push_back("socket:[" + inode + "]");
            } else {
                others = true;
            }
        }
    }
    std::string holders =
        ownSockets.empty() ? std::string() : posix::OwnProcessesHolding(ownSockets);
    if (others) holders += holders.empty() ? "другой пользователь" : ", другой пользователь";
    return holders;
}

}  // namespace lintaro
