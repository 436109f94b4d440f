// The relay's loop and queues, the same on every platform.
#include "bridge/RelayThread.h"

#include <algorithm>
#include <array>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "bridge/BrowserTraffic.h"
#include "serial/ModemWords.h"

namespace lintaro {

using namespace relay_platform;
using Clock = std::chrono::steady_clock;

namespace {

// Reads and writes per readiness: a terminal hands over a few kilobytes per read, so a
// fast device is served in one pass without starving the other direction.
constexpr int kReadsPerPass = 8;
constexpr int kWritesPerPass = 8;

// Bytes on their way in one direction, taken from the front as the far side takes them.
// What was taken is only counted off, and the rest moved to the front once it is the
// smaller part, so taking a few kilobytes at a time from a full queue costs no copy of it.
class Pending {
public:
    qsizetype size() const { return FBytes.size() - FHead; }
    bool isEmpty() const { return size() == 0; }
    const char* data() const { return FBytes.constData() + FHead; }
    void append(const char* bytes, qsizetype n) {
        Compact();
        FBytes.append(bytes, n);
    }
    // Room for `n` bytes at the end, to be filled and then settled by Grown.
    char* Reserve(qsizetype n) {
        Compact();
        FFilled = FBytes.size();
        FBytes.resize(FFilled + n);
        return FBytes.data() + FFilled;
    }
    void Grown(qsizetype n) { FBytes.resize(FFilled + n); }
    void consume(qsizetype n) {
        FHead += n;
        if (FHead == FBytes.size()) clear();
    }
    void clear() {
        FBytes.resize(0);  // keeps the allocation
        FHead = 0;
    }

private:
    void Compact() {
        if (FHead == 0 || FHead < size()) return;
        FBytes.remove(0, FHead);
        FHead = 0;
    }
    QByteArray FBytes;
    qsizetype FHead = 0;
    qsizetype FFilled = 0;
};

}  // namespace

struct RelayThread::Loop {
    explicit Loop(RelayThread* owner, int bound) : owner(owner), bound(bound) {}

    RelayThread* const owner;
    const qsizetype bound;
    Waiter waiter;
    std::thread thread;

    // Commands from the owner's thread, each run here before its caller goes on.
    std::mutex commandMutex;
    std::condition_variable commandDone;
    std::deque<std::function<void()>> commands;
    quint64 submitted = 0;
    quint64 completed = 0;
    bool stopping = false;

    // The relay's own state: touched only on its thread (and by commands, which run there).
    COMHandle port = InvalidCOMHandle;
    quint64 generation = 0;
    bool watchWords = false;
    bool identifying = false;
    // While identifying, each read waits until the owner has looked at it, so that nothing
    // after the reply is read before the owner decides what the port is for.
    bool identifyPaused = false;
    Pending request;  // the owner's bytes for the port, ahead of the clients'
    ModemResultWatch watch;
    bool portFull = false;
    std::vector<Socket> clients;  // oldest first: the device's bytes go to clients[0]
    // Clients whose first bytes may still be a browser's: what they sent so far, held back.
    struct Undecided {
        Socket socket;
        quint16 peerPort;
        std::string bytes;
    };
    std::vector<Undecided> undecided;
    Pending toPort;               // from the clients, in the order it came
    Pending toClient;             // for clients[0], what its connection did not take yet
    std::array<std::uint8_t, COMBufferSize> buffer{};

    // Data for the log, shared with the owner's thread; kept only while wanted. The flag is
    // read without the lock first, so that an unwanted log costs nothing, and again under
    // it, so that nothing is kept once SetLogWanted(false) has returned.
    std::atomic<bool> logWanted{false};
    std::mutex logMutex;
    LogBatch log;
    bool logTold = false;
    Clock::time_point lastTold{};

    void Run(std::function<void()> command) {
        std::unique_lock lock(commandMutex);
        commands.push_back(std::move(command));
        const quint64 ticket = ++submitted;
        waiter.Wake();
        commandDone.wait(lock, [&] { return completed >= ticket; });
    }

    void RunCommands() {
        std::unique_lock lock(commandMutex);
        while (!commands.empty()) {
            auto command = std::move(commands.front());
            commands.pop_front();
            lock.unlock();
            command();
            lock.lock();
            ++completed;
        }
        commandDone.notify_all();
    }

    void Main() {
        NameRelayThread();
        std::vector<Socket> sockets;
        std::vector<Interest> want;
        std::vector<Readiness> ready;
        for (;;) {
            RunCommands();
            {
                std::lock_guard lock(commandMutex);
                if (stopping) break;
            }
            // What the clients sent while no port was attached goes as soon as one is.
            WritePort();
            const bool havePort = port != InvalidCOMHandle;
            Interest portWant;
            // With no client the port is still read: its data is logged and dropped.
            portWant.read = havePort && (identifying ? !identifyPaused : toClient.size() < bound);
            portWant.write = havePort && portFull && (!toPort.isEmpty() || !request.isEmpty());
            sockets = clients;
            want.assign(clients.size(), Interest{});
            for (std::size_t i = 0; i < clients.size(); ++i) {
                want[i].read = toPort.size() < bound;
                want[i].write = i == 0 && !toClient.isEmpty();
            }
            Readiness portReady;
            waiter.Wait(port, portWant, portReady, sockets, want, ready, LogWaitMs());

            if (port != InvalidCOMHandle && portReady.gone) {
                LeavePort();
                Q_EMIT owner->PortHungUp(generation);
                continue;
            }
            if (portReady.write) portFull = false;
            if (!clients.empty() && !ready.empty() && ready[0].write) SendToClient();
            if (portReady.read) ReadPort();
            // Clients by their position at the wait; one that left shifts the rest.
            for (std::size_t i = 0; i < sockets.size(); ++i) {
                if (ready[i].read) ReadClient(sockets[i]);
            }
            WritePort();
            TellLog(false);
        }
        for (Socket socket : clients) SocketClose(socket);
        clients.clear();
    }

    // The port is left alone from now on; what the clients sent stays for the next one.
    void LeavePort() {
        port = InvalidCOMHandle;
        portFull = false;
        request.clear();
        waiter.ForgetPort();
        TellLog(true);
    }

    void ReadPort() {
        for (int read = 0; read < kReadsPerPass && (identifying || toClient.size() < bound); ++read) {
            const int n = PortRead(port, buffer.data(), buffer.size());
            if (n < 0 || (n == 0 && read == 0 && PortAtEnd(port))) {
                LeavePort();
                Q_EMIT owner->PortHungUp(generation);
                return;
            }
            if (n == 0) return;
            const char* bytes = reinterpret_cast<const char*>(buffer.data());
            if (watchWords &&
                watch.Feed(std::string_view(bytes, static_cast<std::size_t>(n))) != RingResult::Connected) {
                const Carrier carrier = CarrierDetect(port);
                if (carrier != Carrier::Up) {
                    LeavePort();
                    Q_EMIT owner->ResultWord(generation, QByteArray(bytes, n), carrier == Carrier::Down);
                    return;
                }
            }
            if (identifying) {
                identifyPaused = true;
                Q_EMIT owner->PortData(generation, QByteArray(bytes, n));
                return;
            } else {
                AddLog(false, bytes, n);
                SendFromPort(bytes, n);
            }
            // A terminal hands over at most a few kilobytes per read, so a short read does
            // not mean that nothing more waits: the next read (or the bound) tells.
        }
    }

    // Straight on to the oldest client; only what it does not take now waits.
    void SendFromPort(const char* bytes, int n) {
        if (clients.empty()) return;
        int sent = 0;
        if (toClient.isEmpty()) {
            sent = SocketSend(clients[0], bytes, n);
            if (sent < 0) {
                DropClient(0);
                sent = n;
            }
        }
        if (sent < n) toClient.append(bytes + sent, n - sent);
    }

    void SendToClient() {
        while (!toClient.isEmpty()) {
            const int n = SocketSend(clients[0], toClient.data(),
                                     static_cast<int>(std::min<qsizetype>(toClient.size(), 1 << 20)));
            if (n < 0) {
                DropClient(0);
                return;
            }
            if (n == 0) return;
            toClient.consume(n);
        }
    }

    void ReadClient(Socket socket) {
        const auto at = std::find(clients.begin(), clients.end(), socket);
        if (at == clients.end()) return;
        const auto index = static_cast<std::size_t>(at - clients.begin());
        const auto held = std::find_if(undecided.begin(), undecided.end(),
                                       [&](const Undecided& u) { return u.socket == socket; });
        if (held != undecided.end()) {
            ReadFirstBytes(index, held);
            return;
        }
        const qsizetype room = bound - toPort.size();
        if (room <= 0) return;
        const int n = SocketRecv(socket, toPort.Reserve(room), static_cast<int>(room));
        toPort.Grown(std::max(n, 0));
        if (n < 0) DropClient(static_cast<std::size_t>(at - clients.begin()));
    }

    // A new client's first bytes are held until they cannot be a browser's request; a
    // browser's connection is closed with nothing of it relayed.
    void ReadFirstBytes(std::size_t index, std::vector<Undecided>::iterator held) {
        char bytes[kFirstBytesToDecide];
        const std::size_t want = kFirstBytesToDecide - held->bytes.size();
        const int n = SocketRecv(clients[index], bytes, static_cast<int>(want));
        if (n > 0) held->bytes.append(bytes, static_cast<std::size_t>(n));
        const FirstBytes kind = ClassifyFirstBytes(held->bytes);
        if (kind == FirstBytes::Http || kind == FirstBytes::Tls) {
            const quint16 peerPort = held->peerPort;
            undecided.erase(held);
            DropClient(index);
            Q_EMIT owner->BrowserRefused(peerPort, kind == FirstBytes::Tls);
            return;
        }
        if (kind == FirstBytes::Plain || n < 0) {
            // A client that left after a few harmless bytes still had them sent.
            toPort.append(held->bytes.data(), static_cast<qsizetype>(held->bytes.size()));
            undecided.erase(held);
        }
        if (n < 0) DropClient(index);
    }

    void WritePort() {
        if (port == InvalidCOMHandle || portFull || !WriteRequest() || identifying) return;
        for (int write = 0; write < kWritesPerPass && !toPort.isEmpty(); ++write) {
            const int n = static_cast<int>(std::min<qsizetype>(toPort.size(), COMBufferSize));
            const int r = PortWrite(port, reinterpret_cast<const std::uint8_t*>(toPort.data()), n);
            if (r < 0) {
                // The owner decides: a device that left during the write keeps its clients
                // and the chunk for the reopened port; otherwise it drops them (DropClients).
                LeavePort();
                Q_EMIT owner->PortWriteFailed(generation);
                return;
            }
            if (r > 0) AddLog(true, toPort.data(), r);
            toPort.consume(r);
            if (r < n) {
                portFull = true;
                return;
            }
        }
    }

    // The owner's request goes first; false while it is not all written.
    bool WriteRequest() {
        while (!request.isEmpty()) {
            const int r = PortWrite(port, reinterpret_cast<const std::uint8_t*>(request.data()),
                                    static_cast<int>(request.size()));
            if (r < 0) {
                LeavePort();
                Q_EMIT owner->PortWriteFailed(generation);
                return false;
            }
            request.consume(r);
            if (!request.isEmpty()) {
                portFull = true;
                return false;
            }
        }
        return true;
    }

    // A client that left or failed; the device's bytes go to the next oldest from now on
    // (what was still on its way to the one that left goes nowhere).
    void DropClient(std::size_t index) {
        std::erase_if(undecided, [&](const Undecided& u) { return u.socket == clients[index]; });
        SocketClose(clients[index]);
        waiter.Forget(clients[index]);
        clients.erase(clients.begin() + static_cast<std::ptrdiff_t>(index));
        if (index == 0) toClient.clear();
        owner->FClients.store(static_cast<int>(clients.size()));
    }

    // ---- Log ----

    void AddLog(bool toPortDirection, const char* bytes, int n) {
        if (!logWanted.load(std::memory_order_relaxed)) return;
        std::lock_guard lock(logMutex);
        if (!logWanted.load(std::memory_order_relaxed)) return;
        QByteArray& target = toPortDirection ? log.toPort : log.toClient;
        if (log.toPort.isEmpty() && log.toClient.isEmpty()) log.toPortFirst = toPortDirection;
        const qsizetype taken = std::clamp<qsizetype>(LogCap - target.size(), 0, n);
        target.append(bytes, taken);
        log.unlogged += n - taken;
    }

    // Tells the owner that data for the log waits, at most once per LogInterval unless
    // `now` (an event follows that must come after the data in the log).
    void TellLog(bool now) {
        {
            std::lock_guard lock(logMutex);
            if (logTold || (log.toPort.isEmpty() && log.toClient.isEmpty())) return;
            const Clock::time_point at = Clock::now();
            if (!now && at - lastTold < LogInterval) return;
            logTold = true;
            lastTold = at;
        }
        Q_EMIT owner->LogReady();
    }

    // How long the wait may last before data for the log is due to be told.
    int LogWaitMs() {
        std::lock_guard lock(logMutex);
        if (logTold || (log.toPort.isEmpty() && log.toClient.isEmpty())) return -1;
        const auto due = lastTold + LogInterval - Clock::now();
        return static_cast<int>(std::max<long long>(
            0, std::chrono::ceil<std::chrono::milliseconds>(due).count()));
    }
};

RelayThread::RelayThread(int pendingBound, QObject* parent)
    : QObject(parent), d(std::make_unique<Loop>(this, pendingBound)) {
    d->thread = std::thread([this] { d->Main(); });
}

RelayThread::~RelayThread() {
    {
        std::lock_guard lock(d->commandMutex);
        d->stopping = true;
    }
    d->waiter.Wake();
    d->thread.join();
}

quint64 RelayThread::AttachPort(COMHandle port, bool watchResultWords, PortUse use) {
    quint64 generation = 0;
    d->Run([&] {
        d->port = port;
        d->portFull = false;
        d->watchWords = watchResultWords;
        d->identifying = use == PortUse::Identify;
        d->identifyPaused = false;
        d->request.clear();
        d->watch.Reset();
        generation = ++d->generation;
    });
    return generation;
}

quint64 RelayThread::SendRequest(const QByteArray& bytes) {
    quint64 generation = 0;
    d->Run([&] {
        if (d->port == InvalidCOMHandle) return;
        DiscardCOMPortInput(d->port);
        d->request.clear();
        d->request.append(bytes.constData(), bytes.size());
        d->identifyPaused = false;
        generation = ++d->generation;
    });
    return generation;
}

void RelayThread::ContinueIdentify() {
    d->Run([&] { d->identifyPaused = false; });
}

void RelayThread::UsePortFor(PortUse use) {
    d->Run([&] {
        d->identifying = use == PortUse::Identify;
        d->identifyPaused = false;
    });
}

bool RelayThread::DetachPort() {
    bool pending = false;
    d->Run([&] {
        if (d->port != InvalidCOMHandle) d->LeavePort();
        pending = !d->toPort.isEmpty();
    });
    return pending;
}

void RelayThread::AddClient(qintptr socket, quint16 peerPort) {
    d->Run([&] {
        d->clients.push_back(socket);
        d->undecided.push_back({socket, peerPort, {}});
        FClients.store(static_cast<int>(d->clients.size()));
    });
}

void RelayThread::DropClients() {
    d->Run([&] {
        while (!d->clients.empty()) d->DropClient(0);
        d->toPort.clear();
    });
}

void RelayThread::SetLogWanted(bool wanted) {
    std::lock_guard lock(d->logMutex);
    d->logWanted.store(wanted, std::memory_order_relaxed);
    if (!wanted) d->log = {};
}

RelayThread::LogBatch RelayThread::TakeLog() {
    std::lock_guard lock(d->logMutex);
    LogBatch batch = std::move(d->log);
    d->log = {};
    // Whatever comes next is told by the pass that adds it.
    d->logTold = false;
    return batch;
}

}  // namespace lintaro
