// Windows: the system's TCP table of listeners (GetExtendedTcpTable) names each one's
// owning process; its token's user and its image name tell who it is.
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>
// clang-format on

#include <cstring>
#include <set>
#include <vector>

#include "bridge/PortHolder.h"
#include "bridge/ProcessFacts_win.h"
#include "serial/ForeignText.h"
#include "serial/WinText.h"

namespace lintaro {

namespace {

// The owning process ids of one address family's listeners on `port` (host order) at an
// address that keeps the server from the loopback address: any, or the loopback itself.
void Listeners(ULONG family, std::uint16_t port, std::set<DWORD>& owners) {
    std::vector<BYTE> buffer;
    ULONG size = 0;
    GetExtendedTcpTable(nullptr, &size, FALSE, family, TCP_TABLE_OWNER_PID_LISTENER, 0);
    DWORD result = ERROR_INSUFFICIENT_BUFFER;
    for (int attempt = 0; attempt < 3 && result == ERROR_INSUFFICIENT_BUFFER; ++attempt) {
        buffer.assign(size + 1024, 0);
        size = static_cast<ULONG>(buffer.size());
        result = GetExtendedTcpTable(buffer.data(), &size, FALSE, family,
                                     TCP_TABLE_OWNER_PID_LISTENER, 0);
    }
    if (result != NO_ERROR) return;
    const u_short wanted = htons(port);
    if (family == AF_INET) {
        const auto* table = reinterpret_cast<const MIB_TCPTABLE_OWNER_PID*>(buffer.data());
        for (DWORD i = 0; i < table->dwNumEntries; ++i) {
            const DWORD address = table->table[i].dwLocalAddr;
            if (static_cast<u_short>(table->table[i].dwLocalPort) == wanted &&
                (address == INADDR_ANY || address == htonl(INADDR_LOOPBACK))) {
                owners.insert(table->table[i].dwOwningPid);
            }
        }
    } else {
        const auto* table = reinterpret_cast<const MIB_TCP6TABLE_OWNER_PID*>(buffer.data());
        for (DWORD i = 0; i < table->dwNumEntries; ++i) {
            in6_addr address;
            std::memcpy(&address, table->table[i].ucLocalAddr, sizeof address);
            if (static_cast<u_short>(table->table[i].dwLocalPort) == wanted &&
                (IN6_IS_ADDR_UNSPECIFIED(&address) || IN6_IS_ADDR_LOOPBACK(&address))) {
                owners.insert(table->table[i].dwOwningPid);
            }
        }
    }
}

}  // namespace

std::string TCPPortHolder(std::uint16_t port) {
    std::set<DWORD> owners;
    Listeners(AF_INET, port, owners);
    Listeners(AF_INET6, port, owners);
    std::vector<BYTE> ours;
    if (owners.empty() || !ProcessUser(GetCurrentProcess(), ours)) return {};
    std::string holders;
    bool others = false;
    for (const DWORD pid : owners) {
        // A process this user may not even query is not this user's (the system's own
        // included).
        HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
        std::vector<BYTE> theirs;
        const bool own = process != nullptr && ProcessUser(process, theirs) &&
                         EqualSid(reinterpret_cast<PSID>(theirs.data()),
                                  reinterpret_cast<PSID>(ours.data())) != FALSE;
        const std::string name = own ? ProcessImageName(process) : std::string();
        if (process != nullptr) CloseHandle(process);
        if (!own) {
            others = true;
            continue;
        }
        holders += (holders.empty() ? "" : ", ") +
                   (name.empty() ? std::string("?") : ShownForeignText(name)) +
                   " (PID " + std::to_string(pid) + ")";
    }
    if (others) holders += holders.empty() ? "другой пользователь" : ", другой пользователь";
    return holders;
}

}  // namespace lintaro
