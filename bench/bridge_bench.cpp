// The bridge against a dedicated relay. One run drives the real bridge (the program's
// windows in this process, the click that runs the bridge cycle on this thread) and then
// socat, each between the same simulated device on a pseudo-terminal and the same TCP
// client, and prints the figures side by side:
//   - round trip of small messages through an echoing device (p50, p99, max), and of
//     messages larger than the terminal passes at once (p50);
//   - throughput client -> device and device -> client, until the last byte arrived;
//   - bytes lost or corrupted (every byte is compared);
//   - CPU taken by the relay while a client is connected and nothing moves, and per
//     megabyte moved.
// The runs alternate between the two relays and the table shows the medians.
//
// Exit status: 0 when every run completed and no byte was lost, 1 otherwise, 2 for a
// wrong command line. The figures themselves never fail the run.
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QLineEdit>
#include <QMessageBox>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <numeric>
#include <optional>
#include <random>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "BenchFigures.h"
#include "BenchHome.h"
#include "DeviceSimulator.h"
#include "GuiThread.h"
#include "InstrumentPersonality.h"
#include "TestBytes.h"
#include "log/LOGUnit.h"
#include "shell/ErrorReport.h"
#include "shell/Lintaro.h"
#include "shell/MainFormUnit.h"
#include "shell/TPCServerSettingsUnit.h"
#include "shell/URLLabel.h"

extern char** environ;

namespace {

using namespace lintaro::bench;
using Clock = std::chrono::steady_clock;
using lintaro::devsim::DeviceSimulator;
using lintaro::devsim::InstrumentPersonality;

// CPU seconds used so far by the relay under test.
using CpuSeconds = std::function<double()>;

double ReadCpuClock(clockid_t id) {
    timespec ts{};
    if (::clock_gettime(id, &ts) != 0) return NAN;
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// CPU seconds of this process's thread named `name` (0 when there is none).
double ThreadCpuSeconds(const char* name) {
    QDir tasks(QStringLiteral("/proc/self/task"));
    for (const QString& tid : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile comm(tasks.filePath(tid + "/comm"));
        if (!comm.open(QIODevice::ReadOnly) || comm.readAll().trimmed() != name) continue;
        QFile stat(tasks.filePath(tid + "/schedstat"));
        if (!stat.open(QIODevice::ReadOnly)) return 0;
        return stat.readAll().split(' ').value(0).toDouble() * 1e-9;
    }
    return 0;
}

// Resident memory of this process, in MB.
double ResidentMB() {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly)) return NAN;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:")) return line.mid(6).trimmed().split(' ').value(0).toDouble() / 1024.0;
    }
    return NAN;
}

double MicrosecondsBetween(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double, std::micro>(b - a).count();
}

double SecondsBetween(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

using lintaro::test_bytes::RandomBytes;

quint16 FreeTcpPort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

// The configuration program's side: one TCP connection, used the same way for both relays;
// or, with no relay, the device's terminal itself (so plain write and read).
class Client {
public:
    Client() = default;
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;
    ~Client() { Close(); }

    // Retries while nobody listens yet.
    bool Connect(quint16 port, Clock::time_point deadline) {
        while (Clock::now() < deadline) {
            fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (fd_ < 0) return false;
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_port = htons(port);
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
                // Small messages leave at once, as a configuration program's requests should.
                const int one = 1;
                ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
                return true;
            }
            Close();
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }

    // The device's terminal in raw mode, as a relay would open it.
    bool OpenTerminal(const std::string& path) {
        fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        termios raw{};
        if (fd_ < 0 || ::tcgetattr(fd_, &raw) != 0) return false;
        ::cfmakeraw(&raw);
        return ::tcsetattr(fd_, TCSANOW, &raw) == 0;
    }

    bool SendAll(const char* data, std::size_t size, Clock::time_point deadline) {
        std::size_t sent = 0;
        while (sent < size) {
            const ssize_t n = ::write(fd_, data + sent, size - sent);
            if (n > 0) {
                sent += static_cast<std::size_t>(n);
            } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
                if (!WaitFor(POLLOUT, deadline)) return false;
            } else {
                return false;
            }
        }
        return true;
    }

    // Receives until `size` bytes came, the peer closed or the deadline passed; returns
    // the count received. `progress` is told the running total.
    std::size_t Receive(char* buffer, std::size_t size, Clock::time_point deadline,
                        const std::function<void(std::size_t)>& progress = {}) {
        std::size_t got = 0;
        while (got < size) {
            const ssize_t n = ::read(fd_, buffer + got, size - got);
            if (n > 0) {
                got += static_cast<std::size_t>(n);
                if (progress) progress(got);
            } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
                if (!WaitFor(POLLIN, deadline)) break;
            } else {
                break;
            }
        }
        return got;
    }

    // Whether the peer closed the connection before the deadline (data is discarded).
    bool WaitClosed(Clock::time_point deadline) {
        char sink[4096];
        for (;;) {
            const ssize_t n = ::recv(fd_, sink, sizeof sink, 0);
            if (n == 0) return true;
            if (n < 0 && errno != EAGAIN && errno != EINTR) return true;
            if (n < 0 && !WaitFor(POLLIN, deadline)) return false;
        }
    }

    void Close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    bool WaitFor(short events, Clock::time_point deadline) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return false;
        pollfd p{fd_, events, 0};
        return ::poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), 1000))) >= 0;
    }

    int fd_ = -1;
};

// The measurements, identical for both relays: `client` is connected through the relay
// to the device that `simulator` serves.
void Measure(Client& client, DeviceSimulator& simulator, InstrumentPersonality& device,
             const CpuSeconds& relayCpu, const Workload& w, Figures& figures) {
    const auto phaseDeadline = [&] { return Clock::now() + std::chrono::seconds(w.phaseTimeoutS); };

    // Round trips: one message at a time through the echoing device; the sorted times in
    // microseconds, or nothing when an echo failed. The echo holds back a '+' (it may
    // begin the identification request), so none is sent.
    device.setMode(InstrumentPersonality::Mode::Echo);
    std::mt19937 random(2024);
    const auto roundTrips = [&](int count, int warmup, std::size_t size) -> std::optional<std::vector<double>> {
        std::vector<double> latencies;
        latencies.reserve(static_cast<std::size_t>(count));
        std::string message(size, '\0');
        std::string echo(size, '\0');
        for (int i = 0; i < warmup + count; ++i) {
            for (char& c : message) {
                c = static_cast<char>(random() & 0xFF);
                if (c == '+') c = '-';
            }
            const auto deadline = Clock::now() + std::chrono::seconds(10);
            const auto start = Clock::now();
            if (!client.SendAll(message.data(), message.size(), deadline)) {
                figures.Fail("round trip: the relay refused a message");
                figures.lost += message.size();
                return std::nullopt;
            }
            const std::size_t got = client.Receive(echo.data(), echo.size(), deadline);
            const auto end = Clock::now();
            if (got < echo.size()) {
                figures.Fail("round trip: no echo within 10 s");
                figures.lost += echo.size() - got;
                return std::nullopt;
            }
            figures.lost += Mismatch(message, echo);
            if (i >= warmup) latencies.push_back(MicrosecondsBetween(start, end));
        }
        std::sort(latencies.begin(), latencies.end());
        return latencies;
    };
    const auto small = roundTrips(w.roundTrips, w.warmup, static_cast<std::size_t>(w.messageSize));
    if (!small) return;
    figures.rttP50Us = Percentile(*small, 0.50);
    figures.rttP99Us = Percentile(*small, 0.99);
    figures.rttMaxUs = small->empty() ? NAN : small->back();
    // A block larger than the terminal passes at once comes back in pieces: the relay must
    // not hold the last piece back (Nagle's algorithm waiting for a delayed ACK).
    const auto block = roundTrips(w.BlockRoundTrips(), w.BlockWarmup(), kBlockSize);
    if (!block) return;
    figures.blockRttP50Us = Percentile(*block, 0.50);

    // Client to device: until the device has the last byte.
    device.setMode(InstrumentPersonality::Mode::Record);
    simulator.clearReceived();
    const std::string toDevice = RandomBytes(w.bytesEachWay, 1);
    double cpuMoving = 0;
    {
        const double cpu0 = relayCpu();
        const auto start = Clock::now();
        const auto deadline = phaseDeadline();
        const bool sent = client.SendAll(toDevice.data(), toDevice.size(), deadline);
        const bool arrived = sent && simulator.waitForReceived(
            toDevice.size(), std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()));
        const auto end = Clock::now();
        cpuMoving += relayCpu() - cpu0;
        const std::uint64_t bad = Mismatch(toDevice, simulator.received());
        figures.lost += bad;
        if (!arrived) figures.Fail("client -> device: not everything arrived in time");
        else figures.toDeviceMBps = static_cast<double>(toDevice.size()) / 1e6 / SecondsBetween(start, end);
    }

    // Device to client: the device sends as fast as the relay takes it, never more than
    // the window ahead of the client. The clock starts when the device sends its first
    // piece, so that the start of the sending thread is not counted.
    {
        constexpr std::size_t kPiece = 16 * 1024;
        const std::string toClient = RandomBytes(w.bytesEachWay, 2);
        std::string got(toClient.size(), '\0');
        std::mutex mutex;
        std::condition_variable progressed;
        std::size_t clientHas = 0;
        std::optional<Clock::time_point> start;
        bool stop = false;
        const double cpu0 = relayCpu();
        std::thread feeder([&] {
            std::unique_lock lock(mutex);
            start = Clock::now();
            for (std::size_t at = 0; at < toClient.size() && !stop; at += kPiece) {
                while (at > clientHas + w.feedWindow && !stop) {
                    progressed.wait_for(lock, std::chrono::milliseconds(100));
                }
                if (stop) break;
                lock.unlock();
                simulator.send(toClient.substr(at, kPiece));
                lock.lock();
            }
        });
        const std::size_t received = client.Receive(got.data(), got.size(), phaseDeadline(), [&](std::size_t total) {
            {
                std::lock_guard lock(mutex);
                clientHas = total;
            }
            progressed.notify_all();
        });
        const auto end = Clock::now();
        cpuMoving += relayCpu() - cpu0;
        {
            std::lock_guard lock(mutex);
            stop = true;
        }
        progressed.notify_all();
        feeder.join();
        got.resize(received);
        figures.lost += Mismatch(toClient, got);
        if (received < toClient.size()) figures.Fail("device -> client: not everything arrived in time");
        else figures.toClientMBps = static_cast<double>(toClient.size()) / 1e6 / SecondsBetween(*start, end);
    }
    figures.cpuMsPerMB = cpuMoving * 1000.0 / (2.0 * static_cast<double>(w.bytesEachWay) / 1e6);

    // Connected and silent, after the last sends have settled.
    if (w.idleMs > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        const double cpu0 = relayCpu();
        const auto start = Clock::now();
        std::this_thread::sleep_for(std::chrono::milliseconds(w.idleMs));
        const double cpu1 = relayCpu();
        figures.idleCpuMsPerS = (cpu1 - cpu0) * 1000.0 / SecondsBetween(start, Clock::now());
    }
    figures.completed = figures.error.empty();
}

// Echoes a stream of `size`-byte messages through the device, each sent on its own, never
// more than a window ahead of what came back, until `messages` went or `until` says stop;
// every byte is compared. Returns the bytes that came back and the time they took.
std::pair<std::size_t, double> EchoStream(Client& client, std::size_t messages, std::size_t size,
                                          const std::function<bool()>& until, Figures& figures) {
    constexpr std::size_t kWindow = 64 * 1024;
    const auto byteAt = [](std::size_t at) { return static_cast<char>('a' + (at * 7 + at / 26) % 26); };
    std::mutex mutex;
    std::condition_variable progressed;
    std::size_t back = 0;
    std::size_t sent = 0;
    bool stop = false;
    bool senderDone = false;  // its last message counted in `sent`
    const auto start = Clock::now();
    const auto deadline = start + std::chrono::seconds(300);
    std::thread sender([&] {
        std::string message(size, '\0');
        for (std::size_t i = 0; i < messages; ++i) {
            {
                std::unique_lock lock(mutex);
                progressed.wait(lock, [&] { return stop || sent < back + kWindow; });
                if (stop) break;
            }
            for (std::size_t k = 0; k < size; ++k) message[k] = byteAt(i * size + k);
            if (!client.SendAll(message.data(), size, deadline)) break;
            std::lock_guard lock(mutex);
            sent += size;
        }
        std::lock_guard lock(mutex);
        stop = true;
        senderDone = true;
    });
    std::string piece(64 * 1024, '\0');
    std::uint64_t bad = 0;
    for (;;) {
        std::size_t want = 0;
        {
            std::lock_guard lock(mutex);
            if (!stop && until && until()) {
                stop = true;
                progressed.notify_all();
            }
            want = sent - back;
            // A message the sender is still writing would come back in the next stream.
            if (senderDone && want == 0) break;
        }
        if (want == 0) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            continue;
        }
        const std::size_t got = client.Receive(piece.data(), std::min(want, piece.size()), Clock::now() + std::chrono::seconds(10));
        if (got == 0) {
            figures.Fail("echo stream: the echo stopped");
            break;
        }
        for (std::size_t k = 0; k < got; ++k) bad += piece[k] != byteAt(back + k);
        {
            std::lock_guard lock(mutex);
            back += got;
        }
        progressed.notify_all();
    }
    {
        std::lock_guard lock(mutex);
        stop = true;
    }
    progressed.notify_all();
    sender.join();
    figures.lost += bad;
    return {back, SecondsBetween(start, Clock::now())};
}

// What the window does to the relay: the echoed throughput while the window's thread is
// held for a while (it must keep flowing), and with the log window shown against hidden
// (its rows come in batches, and the memory they take is shown).
void MeasureWindowEffects(Client& client, DeviceSimulator& simulator, InstrumentPersonality& device,
                          lintaro::LintaroWindows& windows, const CpuSeconds& windowCpu,
                          const Workload& w, Figures& figures) {
    device.setMode(InstrumentPersonality::Mode::Echo);
    if (w.freezeMs > 0) {
        const auto span = std::chrono::milliseconds(w.freezeMs);
        const auto forSpan = [&] {
            const auto end = Clock::now() + span;
            return [end] { return Clock::now() >= end; };
        };
        auto [running, runningS] = EchoStream(client, SIZE_MAX, 4096, forSpan(), figures);
        figures.runningMBps = static_cast<double>(running) / 1e6 / runningS;
        lintaro::test::PostToGui([span] { std::this_thread::sleep_for(span); });
        auto [frozen, frozenS] = EchoStream(client, SIZE_MAX, 4096, forSpan(), figures);
        figures.frozenMBps = static_cast<double>(frozen) / 1e6 / frozenS;
    }
    if (w.logMessages > 0) {
        // Pairs of the same echo, hidden then shown: the ratio of each pair is taken, so
        // that a change of the machine's load between them matters little.
        const std::size_t each = std::max<std::size_t>(1, w.logMessages / static_cast<std::size_t>(w.logPairs));
        std::vector<double> ratios;
        std::uint64_t hiddenBytes = 0, shownBytes = 0;
        double hiddenTime = 0, shownTime = 0, growth = 0, hiddenCpu = 0, shownCpu = 0;
        for (int pair = 0; pair < w.logPairs && figures.error.empty(); ++pair) {
            const double hiddenCpu0 = windowCpu();
            const auto [hidden, hiddenS] = EchoStream(client, each, 16, {}, figures);
            hiddenCpu += windowCpu() - hiddenCpu0;
            lintaro::test::OnGui([&] { windows.LOGForm->show(); });
            // The simulated device, in this process, keeps everything it receives: emptied
            // with its room kept, so that its record of the echoes does not count as the log's.
            simulator.clearReceived();
            const double before = ResidentMB();
            const double shownCpu0 = windowCpu();
            const auto [shown, shownS] = EchoStream(client, each, 16, {}, figures);
            // What the window still had to take is taken before the memory is looked at.
            lintaro::test::OnGui([] { QCoreApplication::processEvents(); });
            shownCpu += windowCpu() - shownCpu0;
            growth = std::max(growth, ResidentMB() - before);
            lintaro::test::OnGui([&] { windows.LOGForm->hide(); });
            hiddenBytes += hidden;
            hiddenTime += hiddenS;
            shownBytes += shown;
            shownTime += shownS;
            ratios.push_back((static_cast<double>(shown) / shownS) / (static_cast<double>(hidden) / hiddenS));
        }
        figures.logHiddenMBps = static_cast<double>(hiddenBytes) / 1e6 / hiddenTime;
        figures.logShownMBps = static_cast<double>(shownBytes) / 1e6 / shownTime;
        figures.logShownGrowthMB = growth;
        figures.logShownRatio = Median(ratios);
        figures.windowCpuHiddenMsPerS = hiddenCpu * 1000.0 / hiddenTime;
        figures.windowCpuShownMsPerS = shownCpu * 1000.0 / shownTime;
    }
    if (w.longRunS > 0) {
        // Small echoed writes, second by second, with the log shown and then hidden: a log
        // that costs more as it fills shows as a slower end than the hidden log's.
        const auto longRun = [&](bool shown, double& firstMBps, double& lastMBps) {
            lintaro::test::OnGui([&] { windows.LOGForm->setVisible(shown); });
            std::vector<double> perSecond;
            for (int second = 0; second < w.longRunS && figures.error.empty(); ++second) {
                const auto end = Clock::now() + std::chrono::seconds(1);
                const auto [bytes, seconds] =
                    EchoStream(client, SIZE_MAX, 16, [end] { return Clock::now() >= end; }, figures);
                perSecond.push_back(static_cast<double>(bytes) / 1e6 / seconds);
            }
            lintaro::test::OnGui([&] { windows.LOGForm->hide(); });
            const std::size_t window = std::min<std::size_t>(10, perSecond.size() / 2);
            if (window == 0) return;
            const auto mean = [](auto first, auto last) {
                return std::accumulate(first, last, 0.0) / static_cast<double>(last - first);
            };
            firstMBps = mean(perSecond.begin(), perSecond.begin() + static_cast<long>(window));
            lastMBps = mean(perSecond.end() - static_cast<long>(window), perSecond.end());
        };
        longRun(true, figures.longFirstMBps, figures.longLastMBps);
        longRun(false, figures.longHiddenFirstMBps, figures.longHiddenLastMBps);
    }
}

// ---- The bridge, in this process ----

// Answers any modal dialog the bridge opens (an identification or a launch that failed),
// so that the run ends with an error instead of waiting for a user. Paused while the
// relay is measured: its timer would wake the window's thread.
class DialogAnswerer {
public:
    DialogAnswerer() {
        FTimer.setInterval(100);
        QObject::connect(&FTimer, &QTimer::timeout, [this] {
            QWidget* modal = QApplication::activeModalWidget();
            if (modal == nullptr) return;
            auto* box = qobject_cast<QMessageBox*>(modal);
            FSeen.push_back((box != nullptr ? box->text() : modal->windowTitle()).toStdString());
            if (auto* dialog = qobject_cast<QDialog*>(modal)) dialog->reject();
            else modal->close();
        });
        FTimer.start();
    }
    void Pause() { FTimer.stop(); }
    void Resume() { FTimer.start(); }
    const std::vector<std::string>& Seen() const { return FSeen; }

private:
    QTimer FTimer;
    std::vector<std::string> FSeen;
};

struct Folders {
    QString ports;
    QString program;
};

Figures RunBridge(const Workload& w, const Folders& folders) {
    Figures figures;
    auto device = std::make_shared<InstrumentPersonality>();
    DeviceSimulator simulator(folders.ports.toStdString(), "bridge0", device);
    simulator.start();

    lintaro::LintaroWindows windows = lintaro::CreateLintaroWindows();
    lintaro::TMainLintaroForm* form = windows.MainLintaroForm.get();
    form->Session()->SetProgramFolder(folders.program);
    const quint16 port = FreeTcpPort();
    windows.TCPServerSettingsForm->PortEdit->setText(QString::number(port));
    lintaro::TMainLintaroForm::SelectComboItem(form->PortsListComboBox,
                                               QString::fromStdString(simulator.portPath()));
    if (form->PortsListComboBox->currentText().toStdString() != simulator.portPath()) {
        figures.Fail("the simulated port is not in the window's port list");
        return figures;
    }
    form->show();
    DialogAnswerer answerer;

    // The relay's CPU: the window's thread (the session) and the relay's own thread.
    clockid_t guiClock{};
    pthread_getcpuclockid(pthread_self(), &guiClock);
    const CpuSeconds relayCpu = [guiClock] { return ReadCpuClock(guiClock) + ThreadCpuSeconds("lintaro-relay"); };

    std::atomic<bool> clickReturned{false};
    std::atomic<bool> playerDone{false};
    std::thread player([&] {
        const auto connectDeadline = Clock::now() + std::chrono::seconds(30);
        while (lintaro::test::OnGui([&] { return form->Session()->State(); }) != lintaro::ConnectionState::Connected) {
            const bool failed = clickReturned && lintaro::test::OnGui([&] { return form->Session()->State(); }) == lintaro::ConnectionState::Idle;
            if (failed || Clock::now() > connectDeadline) {
                figures.Fail("the bridge did not connect");
                playerDone = true;
                QMetaObject::invokeMethod(qApp, [] {}, Qt::QueuedConnection);
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        lintaro::test::OnGui([&] { answerer.Pause(); });
        Client client;
        bool ready = client.Connect(port, Clock::now() + std::chrono::seconds(10));
        while (ready && !lintaro::test::OnGui([&] { return form->Session()->SetupConnected(); })) {
            ready = Clock::now() < connectDeadline;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        if (ready) {
            Measure(client, simulator, *device, relayCpu, w, figures);
            if (figures.completed) {
                MeasureWindowEffects(client, simulator, *device, windows,
                                     [guiClock] { return ReadCpuClock(guiClock); }, w, figures);
                figures.completed = figures.error.empty();
            }
        } else {
            figures.Fail("the client could not connect to the bridge");
        }
        // The user's "Отключить".
        lintaro::test::PostToGui([&] {
            answerer.Resume();
            form->URLLabel1Click();
        });
        if (ready && !client.WaitClosed(Clock::now() + std::chrono::seconds(10))) {
            figures.Fail("the bridge kept the client after the disconnect");
        }
        playerDone = true;
        QMetaObject::invokeMethod(qApp, [] {}, Qt::QueuedConnection);
    });

    form->URLLabel1Click();  // returns at once; the identification runs on events
    clickReturned = true;
    // The connection runs on events meanwhile; nothing here may wake this thread, whose
    // CPU time is the relay's. The player wakes it when done.
    while (!playerDone) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    player.join();
    if (form->Session()->State() != lintaro::ConnectionState::Idle) form->URLLabel1Click();
    for (const std::string& text : answerer.Seen()) figures.Fail("the bridge said: " + text);
    if (!figures.error.empty()) figures.completed = false;
    return figures;
}

// ---- socat, as a child process ----

Figures RunSocat(const Options& options, const Folders& folders) {
    const Workload& w = options.workload;
    Figures figures;
    auto device = std::make_shared<InstrumentPersonality>();
    DeviceSimulator simulator(folders.ports.toStdString(), "socat0", device);
    simulator.start();

    const quint16 port = FreeTcpPort();
    // A raw terminal (no line discipline, no echo) and no Nagle delay on the socket.
    std::vector<std::string> args{options.socat};
    if (options.socatBlock > 0) args.push_back("-b" + std::to_string(options.socatBlock));
    args.push_back("TCP-LISTEN:" + std::to_string(port) + ",bind=127.0.0.1,reuseaddr" +
                   (options.socatNodelay ? ",nodelay" : ""));
    args.push_back("FILE:" + simulator.portPath() + ",rawer");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (::posix_spawnp(&pid, options.socat.c_str(), nullptr, nullptr, argv.data(), environ) != 0) {
        figures.Fail("socat could not be started (install socat, or pass --bridge-only)");
        return figures;
    }
    const auto reap = [&](std::chrono::milliseconds grace) {
        const auto until = Clock::now() + grace;
        int status = 0;
        while (::waitpid(pid, &status, WNOHANG) == 0) {
            if (Clock::now() > until) {
                ::kill(pid, SIGTERM);
                ::waitpid(pid, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    };

    clockid_t socatClock{};
    if (::clock_getcpuclockid(pid, &socatClock) != 0) {
        figures.Fail("socat's CPU clock cannot be read");
        reap(std::chrono::milliseconds(0));
        return figures;
    }
    const CpuSeconds relayCpu = [socatClock] { return ReadCpuClock(socatClock); };

    {
        Client client;
        if (client.Connect(port, Clock::now() + std::chrono::seconds(10))) {
            Measure(client, simulator, *device, relayCpu, w, figures);
        } else {
            figures.Fail("socat did not listen");
        }
    }
    // socat ends by itself once the client has gone.
    reap(std::chrono::seconds(3));
    return figures;
}

// ---- No relay: the client on the device's terminal itself ----

// What the simulated device and its terminal allow at most: the ceiling both relays work under.
Figures RunTerminal(Workload w, const Folders& folders) {
    w.idleMs = 0;  // no relay, no idle CPU of its own
    Figures figures;
    auto device = std::make_shared<InstrumentPersonality>();
    DeviceSimulator simulator(folders.ports.toStdString(), "alone0", device);
    simulator.start();
    Client client;
    if (client.OpenTerminal(simulator.portPath())) {
        Measure(client, simulator, *device, [] { return NAN; }, w, figures);
    } else {
        figures.Fail("the simulated terminal cannot be opened");
    }
    return figures;
}

// ---- Report ----

std::string Cell(double value, int decimals) {
    if (std::isnan(value)) return "n/a";
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

// The median with the least and the most of the runs beside it, where there were several.
std::string SpreadCell(const std::vector<Figures>& runs, double Figures::*field, int decimals) {
    std::vector<double> values;
    for (const Figures& f : runs) values.push_back(f.*field);
    const std::string median = Cell(Median(values), decimals);
    const auto [least, most] = Spread(runs, field);
    if (runs.size() < 2 || std::isnan(least)) return median;
    return median + " [" + Cell(least, decimals) + "-" + Cell(most, decimals) + "]";
}

// One figure of both relays, each as its median and spread, and the ratio of the medians.
// One line of the table; the last column only where there is one.
void PrintColumns(const std::string& metric, const std::string& bridge, const std::string& socat,
                  const std::string& ratio, const std::optional<std::string>& alone) {
    std::printf("%-36s %24s %24s %12s", metric.c_str(), bridge.c_str(), socat.c_str(), ratio.c_str());
    if (alone) std::printf(" %24s", alone->c_str());
    std::printf("\n");
}

void PrintRow(const char* metric, const std::vector<Figures>& bridge, const std::vector<Figures>& socat,
              double Figures::*field, int decimals, bool ratio = true, const std::vector<Figures>& alone = {}) {
    const auto median = [field](const std::vector<Figures>& runs) {
        std::vector<double> values;
        for (const Figures& f : runs) values.push_back(f.*field);
        return Median(values);
    };
    const std::optional<double> r = Ratio(median(bridge), median(socat));
    const std::string ratioCell = !ratio ? "" : r ? Cell(*r, 2) : "n/a";
    PrintColumns(metric, SpreadCell(bridge, field, decimals), SpreadCell(socat, field, decimals), ratioCell,
                 alone.empty() ? std::nullopt : std::optional(SpreadCell(alone, field, decimals)));
}

const char* Verdict(bool met) { return met ? "met" : "NOT met"; }

void PrintReport(const Options& o, const std::vector<Figures>& bridgeRuns, const std::vector<Figures>& socatRuns,
                 const std::vector<Figures>& aloneRuns) {
    const Workload& w = o.workload;
    const Figures none;
    const std::optional<Figures> bridge = bridgeRuns.empty() ? std::nullopt : std::optional(Combine(bridgeRuns));
    const std::optional<Figures> socat = socatRuns.empty() ? std::nullopt : std::optional(Combine(socatRuns));
    const Figures& b = bridge ? *bridge : none;
    const Figures& s = socat ? *socat : none;
    std::printf("\nbridge vs socat: %d round trips of %d bytes and %d of %zu bytes, %.2f MB each way, "
                "%d ms idle; median [least-most] of %d run(s) each%s\n",
                w.roundTrips, w.messageSize, w.BlockRoundTrips(), kBlockSize,
                static_cast<double>(w.bytesEachWay) / 1e6, w.idleMs, o.repeat,
                o.load ? "; a CPU hog on every core" : "");
    // Other work on the machine shows in the figures, the tails above all.
    if (QFile loadavg(QStringLiteral("/proc/loadavg")); loadavg.open(QIODevice::ReadOnly)) {
        std::printf("load average at the end: %s", loadavg.readLine().constData());
    }
    std::printf("\n");
    const auto alone = [&](const std::string& cell) {
        return aloneRuns.empty() ? std::nullopt : std::optional(cell);
    };
    PrintColumns("metric", "bridge", "socat", "bridge/socat", alone("no relay"));
    PrintColumns(std::string(36, '-'), std::string(24, '-'), std::string(24, '-'), std::string(12, '-'),
                 alone(std::string(24, '-')));
    const std::vector<Figures>& br = bridgeRuns;
    const std::vector<Figures>& so = socatRuns;
    PrintRow("round trip p50, us", br, so, &Figures::rttP50Us, 1, true, aloneRuns);
    PrintRow("round trip p99, us", br, so, &Figures::rttP99Us, 1, true, aloneRuns);
    PrintRow("round trip max, us", br, so, &Figures::rttMaxUs, 1, true, aloneRuns);
    PrintRow("round trip p50 of 6000 B, us", br, so, &Figures::blockRttP50Us, 1, true, aloneRuns);
    PrintRow("throughput client->device, MB/s", br, so, &Figures::toDeviceMBps, 2, true, aloneRuns);
    PrintRow("throughput device->client, MB/s", br, so, &Figures::toClientMBps, 2, true, aloneRuns);
    std::printf("%-36s %24s %24s\n", "bytes lost or corrupted", bridge ? std::to_string(b.lost).c_str() : "n/a",
                socat ? std::to_string(s.lost).c_str() : "n/a");
    PrintRow("relay CPU idle-connected, ms/s", br, so, &Figures::idleCpuMsPerS, 3);
    PrintRow("relay CPU while moving, ms/MB", br, so, &Figures::cpuMsPerMB, 2);
    if (bridge) {
        std::printf("\nthe bridge alone (4 KiB and 16 B messages echoed through the device)\n");
        PrintRow("echo, window's thread running, MB/s", br, {}, &Figures::runningMBps, 2, false);
        PrintRow("echo, window's thread held, MB/s", br, {}, &Figures::frozenMBps, 2, false);
        PrintRow("echo 16 B, log hidden, MB/s", br, {}, &Figures::logHiddenMBps, 3, false);
        PrintRow("echo 16 B, log shown, MB/s", br, {}, &Figures::logShownMBps, 3, false);
        PrintRow("log shown / hidden, median of pairs", br, {}, &Figures::logShownRatio, 2, false);
        PrintRow("window's thread CPU, log hidden, ms/s", br, {}, &Figures::windowCpuHiddenMsPerS, 1, false);
        PrintRow("window's thread CPU, log shown, ms/s", br, {}, &Figures::windowCpuShownMsPerS, 1, false);
        PrintRow("memory taken with the log shown, MB", br, {}, &Figures::logShownGrowthMB, 1, false);
        PrintRow("long run, log shown: first 10 s, MB/s", br, {}, &Figures::longFirstMBps, 3, false);
        PrintRow("long run, log shown: last 10 s, MB/s", br, {}, &Figures::longLastMBps, 3, false);
        PrintRow("long run, log hidden: first 10 s, MB/s", br, {}, &Figures::longHiddenFirstMBps, 3, false);
        PrintRow("long run, log hidden: last 10 s, MB/s", br, {}, &Figures::longHiddenLastMBps, 3, false);
    }
    if (bridge && !b.error.empty()) std::printf("\nbridge: %s\n", b.error.c_str());
    if (socat && !s.error.empty()) std::printf("\nsocat: %s\n", s.error.c_str());
    if (const Figures alone = Combine(aloneRuns); !aloneRuns.empty() && !alone.error.empty()) {
        std::printf("\nno relay: %s\n", alone.error.c_str());
    }
    if (bridge && socat && b.completed && s.completed) {
        std::printf("\ngoals: round trip p50 <= 0.9 x socat: %s; p99 <= 1.0 x socat: %s; "
                    "throughput >= 1.2 x socat: %s / %s; nothing lost: %s; idle CPU <= 0.5 ms/s: %s\n",
                    Verdict(b.rttP50Us <= 0.9 * s.rttP50Us), Verdict(b.rttP99Us <= s.rttP99Us),
                    Verdict(b.toDeviceMBps >= 1.2 * s.toDeviceMBps), Verdict(b.toClientMBps >= 1.2 * s.toClientMBps),
                    Verdict(b.lost == 0), Verdict(b.idleCpuMsPerS <= 0.5));
    }
    if (bridge && !std::isnan(b.logShownRatio)) {
        std::printf("goals: log shown >= 0.95 x hidden (median of %d pairs): %s; memory taken with the log "
                    "shown <= 50 MB: %s\n",
                    w.logPairs, Verdict(b.logShownRatio >= 0.95), Verdict(b.logShownGrowthMB <= 50));
    }
    if (bridge && !std::isnan(b.longLastMBps)) {
        std::printf("goal: the long run's last 10 s >= 0.9 x its first: %s (%.2f x; %.2f x with the log hidden)\n",
                    Verdict(b.longLastMBps >= 0.9 * b.longFirstMBps), b.longLastMBps / b.longFirstMBps,
                    b.longHiddenLastMBps / b.longHiddenFirstMBps);
    }
    if (bridge && !std::isnan(b.frozenMBps)) {
        std::printf("goal: flowing while the window's thread is held (at least half the speed): %s\n",
                    Verdict(b.frozenMBps >= 0.5 * b.runningMBps));
    }
}

void PrintUsage() {
    std::printf(
        "usage: bridge_bench [--smoke | --quick] [options]\n"
        "  (default)            1000 round trips, 8 MiB each way, 3 s idle, 3 runs each: under a minute\n"
        "  --quick              200 round trips, 1 MiB each way, 1 s idle, 1 run each: a few seconds\n"
        "  --smoke              10 round trips, 64 KiB each way, 0.2 s idle: checks only that it works\n"
        "  --round-trips N      small messages timed (a tenth as many 6000-byte ones, at least 5)\n"
        "  --message-size N     bytes per round-trip message (default 16)\n"
        "  --bytes N            bytes each way for the throughput (suffix K or M allowed)\n"
        "  --idle-ms N          length of the idle CPU window\n"
        "  --repeat N           runs of each relay, alternating (default 3; 1 with --quick, --smoke)\n"
        "  --bridge-only | --socat-only\n"
        "  --socat PATH         the socat program (default: socat from PATH)\n"
        "  --socat-block N      socat's transfer block size (-b); default: socat's own\n"
        "  --socat-nagle        leave Nagle's algorithm on in socat (no nodelay)\n"
        "  --load               a CPU hog on every core beside both relays\n"
        "  --log-messages N     16-byte messages echoed with the log hidden, then shown (default 2M)\n"
        "  --log-pairs N        in this many alternating pairs (default 8)\n"
        "  --long-run S         S seconds of 16-byte echoes with the log shown, then hidden; first and last 10 s\n"
        "  --freeze-ms N        how long the window's thread is held during an echo (default 2000)\n");
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            PrintUsage();
            return 0;
        }
    }
    const std::optional<Options> options = ParseOptions(std::vector<std::string>(argv + 1, argv + argc));
    if (!options) {
        PrintUsage();
        return 2;
    }

    QTemporaryDir home;
    if (!home.isValid()) {
        std::fprintf(stderr, "cannot create a temporary folder\n");
        return 1;
    }
    UseBenchHome(home);
    // A dead client must not end the bench.
    ::signal(SIGPIPE, SIG_IGN);

    lintaro::LintaroApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);

    const Folders folders{home.path() + "/ports", home.path() + "/program/"};
    {
        QFile ini(folders.program + "setup.ini");
        if (!ini.open(QIODevice::WriteOnly) || ini.write("DEMO1=idle\r\n") < 0) {
            std::fprintf(stderr, "cannot write setup.ini\n");
            return 1;
        }
    }
    QString idle = QStringLiteral(LINTARO_BENCH_IDLE);
    if (!QFile::exists(idle)) idle = QCoreApplication::applicationDirPath() + "/lintaro-bench-idle";
    if (!QFile::copy(idle, folders.program + "idle")) {
        std::fprintf(stderr, "the stand-in configuration program %s is missing\n", qPrintable(idle));
        return 1;
    }
    QFile::setPermissions(folders.program + "idle", QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    // CPU hogs beside both relays, one per core, for the whole run.
    std::vector<pid_t> hogs;
    if (options->load) {
        for (unsigned i = 0; i < std::max(1u, std::thread::hardware_concurrency()); ++i) {
            const pid_t pid = ::fork();
            if (pid == 0) {
                volatile unsigned long spin = 0;
                for (;;) spin = spin + 1;
            }
            if (pid > 0) hogs.push_back(pid);
        }
    }
    // Alternating, so that a change in the machine's load falls on both alike.
    std::vector<Figures> bridgeRuns;
    std::vector<Figures> socatRuns;
    std::vector<Figures> aloneRuns;
    for (int run = 1; run <= options->repeat; ++run) {
        if (options->runBridge) {
            std::fprintf(stderr, "run %d/%d: the bridge\n", run, options->repeat);
            bridgeRuns.push_back(RunBridge(options->workload, folders));
        }
        if (options->runSocat) {
            std::fprintf(stderr, "run %d/%d: socat\n", run, options->repeat);
            socatRuns.push_back(RunSocat(*options, folders));
        }
        if (options->runBridge && options->runSocat) {
            std::fprintf(stderr, "run %d/%d: no relay\n", run, options->repeat);
            aloneRuns.push_back(RunTerminal(options->workload, folders));
        }
    }
    for (const pid_t pid : hogs) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
    PrintReport(*options, bridgeRuns, socatRuns, aloneRuns);
    std::optional<Figures> bridge;
    std::optional<Figures> socat;
    if (options->runBridge) bridge = Combine(bridgeRuns);
    if (options->runSocat) socat = Combine(socatRuns);
    std::optional<Figures> alone;
    if (!aloneRuns.empty()) alone = Combine(aloneRuns);

    bool ok = true;
    for (const std::optional<Figures>& f : {bridge, socat, alone}) {
        if (f && (!f->completed || f->lost != 0)) ok = false;
    }
    return ok ? 0 : 1;
}
