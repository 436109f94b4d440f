// Windows: the connections are waited on as events (WSAEventSelect), the port through an
// overlapped WaitCommEvent, both together with a wake-up event in one
// WaitForMultipleObjects, so that nothing wakes the thread while nothing moves. A finished
// port wait only says "look": ClearCommError tells what the port holds and has room for,
// and a port whose state cannot be asked any more (a device that left ends the wait) has
// hung up. Where waits end at once without news (Wine ends them so on a pseudo-terminal
// whenever its descriptor stirs), the port is looked at on a timer instead: every few
// milliseconds while bytes move, backing off to once per 50 ms while the line is quiet.
#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <map>

#include "bridge/RelayThread.h"
#include "serial/OverlappedIO_win.h"

namespace lintaro::relay_platform {

namespace {

constexpr DWORD kBusyPollMs = 5;
constexpr DWORD kQuietPollMs = 50;

HANDLE PortOf(COMHandle port) { return reinterpret_cast<HANDLE>(port); }
SOCKET SocketOf(Socket socket) { return static_cast<SOCKET>(socket); }

// What an event told about a connection and the loop has not acted on yet: network events
// are told once and come again only after the call that re-enables them.
struct Connection {
    WSAEVENT event = WSA_INVALID_EVENT;
    bool readable = true;
    bool writable = true;
    bool closed = false;
};

// The overlapped wait for the port's events. Its OVERLAPPED must stay put until the wait
// has ended, so a wait is always brought to its end before another starts.
struct PortWatch {
    HANDLE port = INVALID_HANDLE_VALUE;
    OVERLAPPED overlapped{};
    DWORD events = 0;
    DWORD mask = 0;
    bool pending = false;
    bool polled = false;  // waits end without news here: looked at on a timer
    DWORD poll = kBusyPollMs;

    // Brings a pending wait to its end (a closed handle has ended it already).
    void EndWait() {
        if (!pending) return;
        CancelIoEx(port, &overlapped);
        DWORD ignored = 0;
        GetOverlappedResult(port, &overlapped, &ignored, TRUE);
        pending = false;
    }

    void Disarm() {
        EndWait();
        port = INVALID_HANDLE_VALUE;
        mask = 0;
        polled = false;
        poll = kBusyPollMs;
    }

    // Makes sure a wait for `wanted` runs on `handle`. False when it ended at once, with
    // `failed` set when it could not start.
    bool Arm(HANDLE handle, DWORD wanted, bool& failed) {
        failed = false;
        if (handle != port) Disarm();
        port = handle;
        if (polled) return true;
        if (wanted != mask) {
            EndWait();
            SetCommMask(port, wanted);
            mask = wanted;
        }
        if (pending) return true;
        ResetEvent(overlapped.hEvent);
        if (WaitCommEvent(port, &events, &overlapped) != FALSE) return false;
        pending = GetLastError() == ERROR_IO_PENDING;
        failed = !pending;
        return pending;
    }

    // After the wait for objects: whether the port's wait ended, and whether it failed.
    bool Ended(bool& failed) {
        failed = false;
        if (!pending || WaitForSingleObject(overlapped.hEvent, 0) != WAIT_OBJECT_0) return false;
        DWORD ignored = 0;
        failed = GetOverlappedResult(port, &overlapped, &ignored, FALSE) == FALSE;
        pending = false;
        return true;
    }
};

}  // namespace

struct Waiter::Private {
    HANDLE wake = nullptr;
    std::map<Socket, Connection> connections;
    PortWatch portWatch;
};

Waiter::Waiter() : d(std::make_unique<Private>()) {
    d->wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    d->portWatch.overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

Waiter::~Waiter() {
    d->portWatch.Disarm();
    CloseHandle(d->portWatch.overlapped.hEvent);
    for (auto& [socket, connection] : d->connections) WSACloseEvent(connection.event);
    CloseHandle(d->wake);
}

void Waiter::Wake() { SetEvent(d->wake); }

void Waiter::Forget(Socket socket) {
    const auto it = d->connections.find(socket);
    if (it == d->connections.end()) return;
    WSACloseEvent(it->second.event);
    d->connections.erase(it);
}

void Waiter::ForgetPort() { d->portWatch.Disarm(); }

void Waiter::Wait(COMHandle port, Interest portWant, Readiness& portReady,
                  const std::vector<Socket>& sockets, const std::vector<Interest>& want,
                  std::vector<Readiness>& ready, int timeoutMs) {
    ready.assign(sockets.size(), Readiness{});
    portReady = {};
    std::vector<HANDLE> handles{d->wake};
    bool told = false;
    for (std::size_t i = 0; i < sockets.size(); ++i) {
        Connection& c = d->connections[sockets[i]];
        if (c.event == WSA_INVALID_EVENT) {
            c.event = WSACreateEvent();
            WSAEventSelect(SocketOf(sockets[i]), c.event, FD_READ | FD_WRITE | FD_CLOSE);
        }
        if ((want[i].read && (c.readable || c.closed)) || (want[i].write && c.writable)) told = true;
        if ((want[i].read || want[i].write) && handles.size() < MAXIMUM_WAIT_OBJECTS - 1) {
            handles.push_back(c.event);
        }
    }
    PortWatch& watch = d->portWatch;
    const bool havePort = port != InvalidCOMHandle;
    const auto lookAtPort = [&] {
        COMSTAT status{};
        DWORD errors = 0;
        if (ClearCommError(PortOf(port), &errors, &status) == 0) {
            portReady.gone = true;
            return true;
        }
        portReady.read = portWant.read && status.cbInQue > 0;
        portReady.write = portWant.write && status.cbOutQue < COMQueueSize;
        return portReady.read || portReady.write;
    };
    if (havePort) {
        // Armed before the look, so that nothing that comes between is missed. A port that
        // leaves ends the wait whatever it waits for.
        const DWORD wanted =
            EV_ERR | (portWant.read ? EV_RXCHAR : 0) | (portWant.write ? EV_TXEMPTY : 0);
        bool failed = false;
        if (!watch.Arm(PortOf(port), wanted, failed)) told = true;
        if (lookAtPort()) {
            told = true;
        } else if (failed) {
            watch.polled = true;
        }
        if (watch.pending) handles.push_back(watch.overlapped.hEvent);
    } else if (watch.port != INVALID_HANDLE_VALUE) {
        watch.Disarm();
    }

    DWORD wait = told ? 0 : (timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs));
    if (havePort && watch.polled) wait = std::min(wait, watch.poll);
    WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), FALSE, wait);

    for (std::size_t i = 0; i < sockets.size(); ++i) {
        Connection& c = d->connections[sockets[i]];
        WSANETWORKEVENTS events{};
        if (WSAEnumNetworkEvents(SocketOf(sockets[i]), c.event, &events) == 0) {
            if ((events.lNetworkEvents & FD_READ) != 0) c.readable = true;
            if ((events.lNetworkEvents & FD_WRITE) != 0) c.writable = true;
            if ((events.lNetworkEvents & FD_CLOSE) != 0) c.closed = true;
        } else {
            c.closed = true;
        }
        // Told once: the receive or send that follows re-enables the event when more comes.
        if (want[i].read && (c.readable || c.closed)) {
            ready[i].read = true;
            c.readable = false;
        }
        if (want[i].write && c.writable) {
            ready[i].write = true;
            c.writable = false;
        }
    }
    if (havePort) {
        bool failed = false;
        const bool ended = watch.Ended(failed);
        const bool moved = lookAtPort();
        if (ended && failed && !moved) watch.polled = true;
        if (watch.polled) watch.poll = moved ? kBusyPollMs : std::min(watch.poll * 2, kQuietPollMs);
    }
}

int PortRead(COMHandle port, std::uint8_t* buffer, std::size_t capacity) {
    COMSTAT status{};
    DWORD errors = 0;
    if (ClearCommError(PortOf(port), &errors, &status) == 0) return -1;
    // Only what waits is read, so the read ends at once; a read that ends with nothing is
    // silence, one that fails is the port's end.
    const DWORD wanted = static_cast<DWORD>(std::min<std::size_t>(status.cbInQue, capacity));
    if (wanted == 0) return 0;
    DWORD got = 0;
    const bool ok = RunToEnd(PortOf(port), got, [&](OVERLAPPED* overlapped) {
        return ReadFile(PortOf(port), buffer, wanted, nullptr, overlapped);
    });
    return ok ? static_cast<int>(got) : -1;
}

// A port that can no longer be asked fails its reads already.
bool PortAtEnd(COMHandle) { return false; }

int PortWrite(COMHandle port, const std::uint8_t* bytes, int count) {
    COMSTAT status{};
    DWORD errors = 0;
    if (ClearCommError(PortOf(port), &errors, &status) == 0) return -1;
    if (status.cbOutQue >= COMQueueSize) return 0;
    const int n = std::min<int>(count, static_cast<int>(COMQueueSize - status.cbOutQue));
    const int r = WriteCOMPort(port, bytes, n);
    return r > 0 ? r : -1;
}

int SocketRecv(Socket socket, char* buffer, int capacity) {
    const int n = recv(SocketOf(socket), buffer, capacity, 0);
    if (n > 0) return n;
    if (n == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK) return 0;
    return -1;
}

// Sends until all is taken or the connection would block, so that a short count always
// means the write event comes again once there is room.
int SocketSend(Socket socket, const char* bytes, int count) {
    int taken = 0;
    while (taken < count) {
        const int n = send(SocketOf(socket), bytes + taken, count - taken, 0);
        if (n > 0) {
            taken += n;
            continue;
        }
        if (n == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK) break;
        return taken > 0 ? taken : -1;
    }
    return taken;
}

void SocketClose(Socket socket) { closesocket(SocketOf(socket)); }

// Wine answers error 50 for a pseudo-terminal: no modem lines.
Carrier CarrierDetect(COMHandle port) {
    DWORD lines = 0;
    if (GetCommModemStatus(PortOf(port), &lines) == 0) return Carrier::Unknown;
    return (lines & MS_RLSD_ON) != 0 ? Carrier::Up : Carrier::Down;
}

void NameRelayThread() {}

Socket SocketTake(Socket socket) {
    WSAPROTOCOL_INFOW info{};
    if (WSADuplicateSocketW(SocketOf(socket), GetCurrentProcessId(), &info) != 0) return -1;
    const SOCKET own = WSASocketW(FROM_PROTOCOL_INFO, FROM_PROTOCOL_INFO, FROM_PROTOCOL_INFO, &info, 0,
                                  WSA_FLAG_OVERLAPPED);
    if (own == INVALID_SOCKET) return -1;
    u_long nonBlocking = 1;
    ioctlsocket(own, FIONBIO, &nonBlocking);
    return static_cast<Socket>(own);
}

}  // namespace lintaro::relay_platform
