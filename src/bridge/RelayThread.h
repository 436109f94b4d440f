// The relay's data path on a thread of its own: the port and the configuration program's
// connections, bytes moved between them as soon as either side has them, each direction
// holding at most a bound of bytes before it stops taking from its source (a slow client
// holds the device back through the port's own queue, a slow device holds the clients back
// through TCP). The window's thread never waits for it and never touches its buffers: it
// gives commands (which take effect before they return; the thread never waits for the
// window) and hears back by queued signals. Relayed data for the log is collected here, while
// the log is wanted, and taken by the owner at most once per LogInterval, merged when the
// owner falls behind: the log's only batching and its only bound.
//
// The loop and the queues are plain code (RelayThread.cpp); waiting on the port, the
// sockets and the wake-up, and the socket calls are per platform (RelayThread_posix.cpp,
// RelayThread_win.cpp).
#pragma once

#include <QByteArray>
#include <QObject>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

#include "serial/COMUtils.h"

namespace lintaro {

class RelayThread : public QObject {
    Q_OBJECT
public:
    // `pendingBound`: most bytes one direction holds before it stops taking from its source.
    explicit RelayThread(int pendingBound, QObject* parent = nullptr);
    // Stops the thread; the connections it holds are closed.
    ~RelayThread() override;

    // What the port's bytes are for.
    enum class PortUse {
        Relay,     // the oldest client; the clients' bytes go to the port
        Identify,  // the owner (PortData); the clients' bytes wait
    };
    // The relay reads (and writes) `port` from now on. With `watchResultWords` (a modem
    // call) a result word in the port's data ends the relay of the port (ResultWord).
    // Each attachment has a new generation; signals name theirs.
    quint64 AttachPort(COMHandle port, bool watchResultWords, PortUse use = PortUse::Relay);
    // Identify: the port's input is emptied and `bytes` written to the port (by this thread
    // alone, ahead of anything of the clients'); its reads are reported from now on under
    // the generation returned (0: no port attached).
    quint64 SendRequest(const QByteArray& bytes);
    // Identify: each read is reported (PortData) and the port is not read again until the
    // owner asks for the next with ContinueIdentify, or changes the use with UsePortFor.
    void ContinueIdentify();
    // The attached port is used for `use` from now on, in the same generation.
    void UsePortFor(PortUse use);
    // The relay leaves the port alone from the return on. True when bytes for the port were
    // still pending (they are dropped).
    bool DetachPort();
    // Takes over an accepted connection (a socket of the platform) from `peerPort`: from now
    // on the relay owns and closes it. Its bytes are held while no port is attached, and
    // its first bytes until they cannot be a web browser's (BrowserRefused).
    void AddClient(qintptr socket, quint16 peerPort = 0);
    // Closes every connection.
    void DropClients();
    // Connections open, as far as the relay has seen.
    int Clients() const { return FClients.load(); }
    // Whether relayed data is kept for the log (TakeLog) at all; from any thread. Not until
    // told; what is held is dropped when it is no longer wanted.
    void SetLogWanted(bool wanted);

    // Relayed data waiting for the log, by direction, in the order the directions began.
    struct LogBatch {
        QByteArray toPort;    // "TCP->COM"
        QByteArray toClient;  // "COM->TCP"
        bool toPortFirst = true;
        // Bytes relayed while the window was too far behind to be given them.
        qint64 unlogged = 0;
    };
    LogBatch TakeLog();
    static constexpr std::chrono::milliseconds LogInterval{50};
    // Most bytes of one direction held for the log while the owner has not taken them;
    // what goes beyond is only counted (`unlogged`).
    static constexpr qsizetype LogCap = 4 * 1024 * 1024;

Q_SIGNALS:
    // A connection's first bytes were a browser's request (an HTTP request line, or a TLS
    // handshake when `tls`): it was closed and none of its bytes went anywhere.
    void BrowserRefused(quint16 peerPort, bool tls);
    // Data for the log is waiting (TakeLog); not told again until it was taken.
    void LogReady();
    // Bytes the port delivered while attached for identification.
    void PortData(quint64 generation, const QByteArray& bytes);
    // The port hung up, read as end of file or failed: the relay has left it.
    void PortHungUp(quint64 generation);
    // A write to the port failed: the relay has left the port, dropped what was pending
    // for it (logged as sent) and closed the connections.
    void PortWriteFailed(quint64 generation);
    // A modem result word came in `chunk` (the read that completed it) and the line's
    // carrier detect did not say the call is up: the relay has left the port; the chunk did
    // not go to the client. `carrierDown`: the line said the call is down (else it cannot
    // tell). Where it says the call is up, the word was the device's and is relayed.
    void ResultWord(quint64 generation, const QByteArray& chunk, bool carrierDown);

private:
    struct Loop;
    std::unique_ptr<Loop> d;
    std::atomic<int> FClients{0};
};

// What the loop needs of the platform (RelayThread_posix.cpp, RelayThread_win.cpp).
namespace relay_platform {

using Socket = qintptr;

struct Interest {
    bool read = false;
    bool write = false;
};
struct Readiness {
    bool read = false;
    bool write = false;
    // The port hung up or failed (sockets report their end as readable).
    bool gone = false;
};

// Waits for the port, the sockets and a wake-up from any thread.
class Waiter {
public:
    Waiter();
    ~Waiter();
    Waiter(const Waiter&) = delete;
    Waiter& operator=(const Waiter&) = delete;
    void Wake();
    // Waits until something wanted is ready, Wake() was called, or `timeoutMs` passed (-1:
    // no limit). `port` may be InvalidCOMHandle. `ready` gets one entry per socket.
    void Wait(COMHandle port, Interest portWant, Readiness& portReady,
              const std::vector<Socket>& sockets, const std::vector<Interest>& want,
              std::vector<Readiness>& ready, int timeoutMs);
    // The relay stops using this socket or port (forget what was recorded for it).
    void Forget(Socket socket);
    void ForgetPort();

private:
    struct Private;
    std::unique_ptr<Private> d;
};

// >0: bytes read; 0: nothing waits; -1: the port hung up or failed.
int PortRead(COMHandle port, std::uint8_t* buffer, std::size_t capacity);
// After the port was told readable and read nothing: whether it is at its end (hung up).
bool PortAtEnd(COMHandle port);
// Bytes the port took now (0: its queue is full); -1: the write failed.
int PortWrite(COMHandle port, const std::uint8_t* bytes, int count);
// >0: bytes received; 0: nothing waits; -1: the peer closed or the connection failed.
int SocketRecv(Socket socket, char* buffer, int capacity);
// Bytes the connection took now (0: its buffer is full); -1: it failed.
int SocketSend(Socket socket, const char* bytes, int count);
void SocketClose(Socket socket);

// The line's carrier detect, where the port has one (a modem on a real serial port);
// a pseudo-terminal or a port without modem lines says nothing.
enum class Carrier { Unknown, Up, Down };
Carrier CarrierDetect(COMHandle port);
// Names the calling thread "lintaro-relay" where threads have names the system shows.
void NameRelayThread();

// A descriptor of its own for the connection behind `socket`, non-blocking, so that the
// owner of `socket` may close that one; -1 on failure.
Socket SocketTake(Socket socket);

}  // namespace relay_platform

}  // namespace lintaro
