// Windows: the process that owns the other end of a loopback TCP connection is found in
// the system's TCP table (GetExtendedTcpTable with owning process ids); its token's user
// must be the user of this process. A process id may be given to another process once
// its owner has ended: the process is opened once, its user taken from that handle, and
// the table read again to confirm that the connection is still owned by that very id,
// which no other process can take while the handle is held.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "bridge/PeerAddress.h"
#include "bridge/PeerCheck.h"
#include "bridge/ProcessFacts_win.h"

namespace lintaro {

namespace {

// One end of a connection; a v4-mapped IPv6 end is taken as the IPv4 end it is.
struct Endpoint {
    int family = AF_UNSPEC;
    BYTE address[16] = {};  // IPv4 in the first four bytes, network order
    u_short port = 0;       // network order
};

bool SocketEnd(SOCKET socket, bool peer, Endpoint& end) {
    sockaddr_storage address{};
    int length = sizeof address;
    auto* generic = reinterpret_cast<sockaddr*>(&address);
    if ((peer ? getpeername(socket, generic, &length) : getsockname(socket, generic, &length)) != 0)
        return false;
    if (address.ss_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
        end.family = AF_INET;
        std::memcpy(end.address, &v4.sin_addr, 4);
        end.port = v4.sin_port;
        return true;
    }
    if (address.ss_family != AF_INET6) return false;
    const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
    end.port = v6.sin6_port;
    end.family = StoreV6Address(v6.sin6_addr.s6_addr, end.address) ? AF_INET : AF_INET6;
    return true;
}

// The table of one address family's connections with their owning process ids.
bool ReadTable(ULONG family, std::vector<BYTE>& buffer) {
    ULONG size = 0;
    GetExtendedTcpTable(nullptr, &size, FALSE, family, TCP_TABLE_OWNER_PID_CONNECTIONS, 0);
    for (int attempt = 0; attempt < 3; ++attempt) {
        buffer.assign(size + 1024, 0);
        size = static_cast<ULONG>(buffer.size());
        const DWORD result = GetExtendedTcpTable(buffer.data(), &size, FALSE, family,
                                                 TCP_TABLE_OWNER_PID_CONNECTIONS, 0);
        if (result == NO_ERROR) return true;
        if (result != ERROR_INSUFFICIENT_BUFFER) return false;
    }
    return false;
}

// The process id owning the socket whose local end is `source` and whose remote end is
// `target`; 0 when there is none. An IPv4 end is looked for among the IPv6 connections
// too, v4-mapped, where a dual-stack socket lists it.
DWORD OwnerOfConnection(const Endpoint& source, const Endpoint& target) {
    std::vector<BYTE> buffer;
    if (source.family == AF_INET && ReadTable(AF_INET, buffer)) {
        const auto* table = reinterpret_cast<const MIB_TCPTABLE_OWNER_PID*>(buffer.data());
        for (DWORD i = 0; i < table->dwNumEntries; ++i) {
            const MIB_TCPROW_OWNER_PID& row = table->table[i];
            // Addresses and ports are in network byte order (ports in the low 16 bits).
            if (std::memcmp(&row.dwLocalAddr, source.address, 4) == 0 &&
                static_cast<u_short>(row.dwLocalPort) == source.port &&
                std::memcmp(&row.dwRemoteAddr, target.address, 4) == 0 &&
                static_cast<u_short>(row.dwRemotePort) == target.port) {
                return row.dwOwningPid;
            }
        }
    }
    if (!ReadTable(AF_INET6, buffer)) return 0;
    const auto asV6 = [](const Endpoint& end, BYTE out[16]) {
        if (end.family == AF_INET6) {
            std::memcpy(out, end.address, 16);
            return;
        }
        std::memset(out, 0, 16);
        out[10] = out[11] = 0xff;
        std::memcpy(out + 12, end.address, 4);
    };
    BYTE sourceAddress[16], targetAddress[16];
    asV6(source, sourceAddress);
    asV6(target, targetAddress);
    const auto* table = reinterpret_cast<const MIB_TCP6TABLE_OWNER_PID*>(buffer.data());
    for (DWORD i = 0; i < table->dwNumEntries; ++i) {
        const MIB_TCP6ROW_OWNER_PID& row = table->table[i];
        if (std::memcmp(row.ucLocalAddr, sourceAddress, 16) == 0 &&
            static_cast<u_short>(row.dwLocalPort) == source.port &&
            std::memcmp(row.ucRemoteAddr, targetAddress, 16) == 0 &&
            static_cast<u_short>(row.dwRemotePort) == target.port) {
            return row.dwOwningPid;
        }
    }
    return 0;
}

}  // namespace

PeerUser PeerUserOf(std::intptr_t descriptor, std::uint32_t* ownerId) {
    const auto socket = static_cast<SOCKET>(descriptor);
    Endpoint local, peer;
    if (!SocketEnd(socket, false, local) || !SocketEnd(socket, true, peer) ||
        local.family != peer.family) {
        return PeerUser::Other;
    }
    const DWORD pid = OwnerOfConnection(peer, local);
    // Wine finds a connection's owner among the processes that have its socket at hand,
    // which a process that connected but has not sent or read yet may not have.
    if (pid == 0) return PeerUser::NotYetKnown;
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    // A process this user may not even query is not this user's.
    if (process == nullptr) return PeerUser::Other;
    std::vector<BYTE> theirs, ours;
    DWORD exitCode = 0;
    // The handle pins the id: if the connection is still owned by it now, and the process
    // still runs, the handle is the connection's owner and not a newcomer under an old id.
    const bool owner = GetProcessId(process) == pid && GetExitCodeProcess(process, &exitCode) &&
                       exitCode == STILL_ACTIVE && OwnerOfConnection(peer, local) == pid;
    const bool known = owner && ProcessUser(process, theirs);
    CloseHandle(process);
    if (!known || !ProcessUser(GetCurrentProcess(), ours)) return PeerUser::Other;
    if (EqualSid(reinterpret_cast<PSID>(theirs.data()), reinterpret_cast<PSID>(ours.data())) == FALSE)
        return PeerUser::Other;
    if (ownerId != nullptr) *ownerId = pid;
    return PeerUser::Same;
}

// Windows keeps no mark a process could carry unseen, so a process counts as started here
// when the started program is among its parents. The answer is only written to the log.
PeerProgram DescribePeer(std::uint32_t pid, std::uint32_t started) {
    PeerProgram program;
    if (pid == 0) return program;
    if (HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid)) {
        program.name = ProcessImageName(process);
        CloseHandle(process);
    }
    if (started == 0) return program;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return program;
    std::vector<std::pair<DWORD, DWORD>> parents;  // process, parent
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        parents.emplace_back(entry.th32ProcessID, entry.th32ParentProcessID);
    }
    CloseHandle(snapshot);
    DWORD at = pid;
    for (int depth = 0; depth < 32 && at != 0; ++depth) {
        if (at == started) {
            program.startedHere = true;
            break;
        }
        const auto it = std::find_if(parents.begin(), parents.end(),
                                     [&](const auto& p) { return p.first == at; });
        at = it == parents.end() || it->second == at ? 0 : it->second;
    }
    return program;
}

}  // namespace lintaro
