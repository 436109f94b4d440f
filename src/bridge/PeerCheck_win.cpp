// Windows: the process that owns the other end of a loopback TCP connection is found in
// the system's TCP table (GetExtendedTcpTable with owning process ids); its token's user
// must be the user of this process.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>

#include <memory>
#include <vector>

#include "bridge/PeerCheck.h"

namespace lintaro {

namespace {

bool SocketEnd(SOCKET socket, bool peer, sockaddr_in& address) {
    int length = sizeof address;
    auto* generic = reinterpret_cast<sockaddr*>(&address);
    const int result = peer ? getpeername(socket, generic, &length) : getsockname(socket, generic, &length);
    return result == 0 && address.sin_family == AF_INET;
}

// The user SID of a process's token, copied into `sid`.
bool ProcessUser(HANDLE process, std::vector<BYTE>& sid) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(process, TOKEN_QUERY, &token)) return false;
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<BYTE> buffer(size);
    const bool ok = size > 0 && GetTokenInformation(token, TokenUser, buffer.data(), size, &size);
    CloseHandle(token);
    if (!ok) return false;
    PSID user = reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid;
    if (!IsValidSid(user)) return false;
    sid.assign(static_cast<BYTE*>(user), static_cast<BYTE*>(user) + GetLengthSid(user));
    return true;
}

DWORD OwnerOfConnection(const sockaddr_in& peer, const sockaddr_in& local) {
    ULONG size = 0;
    GetExtendedTcpTable(nullptr, &size, FALSE, AF_INET, TCP_TABLE_OWNER_PID_CONNECTIONS, 0);
    for (int attempt = 0; attempt < 3; ++attempt) {
        std::vector<BYTE> buffer(size + 1024);
        size = static_cast<ULONG>(buffer.size());
        const DWORD result = GetExtendedTcpTable(buffer.data(), &size, FALSE, AF_INET,
                                                 TCP_TABLE_OWNER_PID_CONNECTIONS, 0);
        if (result == ERROR_INSUFFICIENT_BUFFER) continue;
        if (result != NO_ERROR) return 0;
        const auto* table = reinterpret_cast<const MIB_TCPTABLE_OWNER_PID*>(buffer.data());
        for (DWORD i = 0; i < table->dwNumEntries; ++i) {
            const MIB_TCPROW_OWNER_PID& row = table->table[i];
            // Addresses and ports are in network byte order (ports in the low 16 bits).
            if (row.dwLocalAddr == peer.sin_addr.s_addr &&
                static_cast<u_short>(row.dwLocalPort) == peer.sin_port &&
                row.dwRemoteAddr == local.sin_addr.s_addr &&
                static_cast<u_short>(row.dwRemotePort) == local.sin_port) {
                return row.dwOwningPid;
            }
        }
        return 0;
    }
    return 0;
}

}  // namespace

bool PeerIsSameUser(std::intptr_t descriptor) {
    const auto socket = static_cast<SOCKET>(descriptor);
    sockaddr_in local{}, peer{};
    if (!SocketEnd(socket, false, local) || !SocketEnd(socket, true, peer)) return false;
    const DWORD pid = OwnerOfConnection(peer, local);
    if (pid == 0) return false;
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    // A process this user may not even query is not this user's.
    if (process == nullptr) return false;
    std::vector<BYTE> theirs, ours;
    const bool known = ProcessUser(process, theirs);
    CloseHandle(process);
    if (!known || !ProcessUser(GetCurrentProcess(), ours)) return false;
    return EqualSid(reinterpret_cast<PSID>(theirs.data()), reinterpret_cast<PSID>(ours.data())) != FALSE;
}

}  // namespace lintaro
