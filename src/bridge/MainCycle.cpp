// The bridge cycle: the identification, the start of the server and the configuration
// program, and the relay driven by the port's and the program's events, with the loss and
// reopening of the port.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <string_view>

#include "bridge/BoxText.h"
#include "bridge/ConnectionSession.h"
#include "bridge/PortWaiter.h"
#include "bridge/ServerSocket.h"
#include "log/LintaroError.h"
#include "serial/ModemWords.h"

namespace lintaro {

namespace {

const QByteArray kVerInfoRequest("+VER_INFO=?\r\n");
const QByteArray kVerInfoEnd("OK\r\n");
constexpr qint64 kVerInfoTimeoutMs = 10000;
// A lost cable port is tried again after half a second, then every 550 ms (a pause and a
// pass of the relay loop this replaced).
constexpr int kFirstReopenMs = 500;
constexpr int kReopenIntervalMs = 550;
// Reads and writes per readiness event: a terminal hands over a few kilobytes per read,
// so a fast device is served in one turn of the event loop without starving the rest.
constexpr int kReadsPerEvent = 8;
constexpr int kWritesPerEvent = 8;

const QString kInterrupted = QStringLiteral("Соединение было прервано, последний пакет не доставлен");

}  // namespace

int ConnectionSession::COMRead() {
    int n = 0;
    try {
        n = ReadCOMPort(FCOMHandle, FDataBuffer.data(), FDataBuffer.size());
        if (FModemConnect && DetectModemError(n)) {
            FConnected = false;
            Enter(ConnectionState::CallLost, QStringLiteral("процедура COMRead"));
            // The modem takes commands again; "ATH" makes sure, then the port is closed.
            HangUpCall(ModemLine::Command);
            n = 0;
        }
    } catch (const std::exception&) {
        n = -1;
    }
    if (n == -1) {
        Log(QStringLiteral("Ошибка чтения из COM порта"));
        n = 0;
    }
    return n;
}

bool ConnectionSession::DetectModemError(int count) {
    if (count <= 0) return false;
    const std::string_view text(reinterpret_cast<const char*>(FDataBuffer.data()),
                                std::min<std::size_t>(static_cast<std::size_t>(count), FDataBuffer.size()));
    if (FModemWatch.Feed(text) == RingResult::Connected) return false;
    Log(QStringLiteral("Завершение работы по ошибке модема"));
    Log(QStringLiteral("Последний полученный пакет:"));
    Q_EMIT LogData(BufferToStr(count), {});
    return true;
}

int ConnectionSession::COMWrite(int count) {
    return COMWriteBytes(reinterpret_cast<const char*>(FDataBuffer.data()), count);
}

int ConnectionSession::COMWriteBytes(const char* bytes, int count) {
    int r = WriteCOMPort(FCOMHandle, reinterpret_cast<const std::uint8_t*>(bytes), count);
    if (r == 0 || r == -1) {
        Log(QStringLiteral("Ошибка записи в COM порт"));
        Q_EMIT StatusChanged(QStringLiteral("Прибор не доступен"), StatusColour::Red);
        FNeedCOMReconnect = true;
        DropTCPClients();
        r = 0;
        if (FConnected) {
            FPortWaiter->Watch(false, false);
            // The port is reopened (or a modem call ended) once this event is over.
            if (FModemConnect) {
                QMetaObject::invokeMethod(this, &ConnectionSession::LoseModemPort, Qt::QueuedConnection);
            } else if (!FReopenTimer->isActive()) {
                FReopenTimer->start(kFirstReopenMs);
            }
        }
    }
    return r;
}

QByteArray ConnectionSession::BufferToStr(int count) const {
    return QByteArray(reinterpret_cast<const char*>(FDataBuffer.data()),
                      std::clamp(count, 0, static_cast<int>(FDataBuffer.size())));
}

int ConnectionSession::StrToBuffer(const QByteArray& bytes) {
    const int n = static_cast<int>(std::min<qsizetype>(bytes.size(), FDataBuffer.size()));
    std::copy_n(bytes.constData(), n, reinterpret_cast<char*>(FDataBuffer.data()));
    return n;
}

// ---- The bridge cycle ----

void ConnectionSession::MainCycle() {
    if (!QueryVerInfo()) {
        Log(QStringLiteral("Устройство не обнаружено, работа программы невозможна"));
        Q_EMIT ErrorMessage(QStringLiteral("Устройство не обнаружено, работа программы невозможна."));
        AbandonAttempt(QStringLiteral("главный цикл, нет ответа на VER_INFO"));
        return;
    }

    if (!StartTCPServer()) {
        ReportServerFailure();
        return;
    }

    // An unreadable setup.ini is reported and then handled like a missing program, so
    // that the port and the server do not stay open behind the report.
    SetupStart setup = SetupStart::NotFound;
    try {
        setup = StartSetupProgram();
    } catch (const std::exception& error) {
        Q_EMIT ErrorReport(ErrorText(error));
    }
    if (setup != SetupStart::Started) {
        // A program that was found but would not start has been shown with its reason.
        if (setup == SetupStart::NotFound) {
            Log(QStringLiteral("Не найдена программа настройки"));
            Q_EMIT ErrorMessage(
                WithDetail(QStringLiteral("Программа настройки для данного прибора не обнаружена."),
                           FSetupMissing));
        }
        StopTCPServer();
        AbandonAttempt(QStringLiteral("главный цикл, нет программы настройки"));
        return;
    }

    FConnected = true;
    Enter(ConnectionState::Connected);
    StartRelay();
}

// The server's port cannot be bound (another program holds it): the user is told which
// port and why; nothing was launched and the window goes back to idle.
void ConnectionSession::ReportServerFailure() {
    const QString port = QString::number(FServerPort & 0xFFFF);
    const QString reason = FServer->ErrorString();
    Log(QStringLiteral("Не удалось запустить TCP сервер на порту %1: %2").arg(port, reason));
    Q_EMIT ErrorMessage(QStringLiteral("Не удалось запустить TCP сервер на порту %1.\n%2").arg(port, reason));
    AbandonAttempt(QStringLiteral("главный цикл, TCP порт занят"));
}

bool ConnectionSession::QueryVerInfo() {
    COMWrite(StrToBuffer(kVerInfoRequest));
    Q_EMIT LogLine(QStringLiteral("+VER_INFO=?"), QStringLiteral("APP->COM"));

    QElapsedTimer clock;
    clock.start();
    FVerInfo.clear();
    // The window hears nothing while the device answers, as a blocking read would.
    Q_EMIT IdentificationStarted();
    struct Hear {
        ConnectionSession* session;
        ~Hear() { Q_EMIT session->IdentificationFinished(); }
    } hear{this};

    QByteArray reply;
    // The end mark is looked for only in the new bytes and the three before them, so a
    // flood without it costs the time of reading it once.
    QByteArray carried;
    bool watchPort = true;
    while (clock.elapsed() < kVerInfoTimeoutMs) {
        const int m = COMRead();
        if (m > 0) {
            const QByteArray chunk = BufferToStr(m);
            const QByteArray window = carried + chunk;
            if (reply.size() < VerInfoCap) reply += chunk.left(VerInfoCap - reply.size());
            if (window.contains(kVerInfoEnd)) {
                Q_EMIT LogData(reply, QStringLiteral("COM->APP"));
                FVerInfo = reply;
                return true;
            }
            carried = window.right(kVerInfoEnd.size() - 1);
            watchPort = true;
        }
        if (FCOMHandle == InvalidCOMHandle) {
            // Lost during the wait (a modem result word closes the port): nothing can come.
            break;
        }
        // Sleep until the port has bytes or the time is up; a port that wakes us without
        // bytes is then only polled, every 50 ms.
        const qint64 left = kVerInfoTimeoutMs - clock.elapsed();
        if (left <= 0) break;
        QEventLoop loop;
        QTimer deadline;
        deadline.setSingleShot(true);
        connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
        deadline.start(static_cast<int>(watchPort ? left : std::min<qint64>(left, 50)));
        bool woken = false;
        const auto wake = [&] {
            woken = true;
            loop.quit();
        };
        auto onReadable = connect(FPortWaiter, &PortWaiter::Readable, &loop, wake);
        auto onHangUp = connect(FPortWaiter, &PortWaiter::HungUp, &loop, wake);
        FPortWaiter->Watch(watchPort, false);
        loop.exec();
        FPortWaiter->Watch(false, false);
        disconnect(onReadable);
        disconnect(onHangUp);
        watchPort = !woken;
    }
    return false;
}

// ---- The relay ----

void ConnectionSession::StartRelay() {
    FRelayRunning = true;
    FHeldBackByClient = false;
    FPresenceTimer->start(PortWaiter::PresenceIntervalMs());
    // What the program sent while the connection came up goes first.
    TakeFromClient();
    RelayTcpToCom();
    UpdateWatch();
}

// The end of a connection: port closed, server stopped (which drops the program's
// connection), and the configuration program stopped unless a modem call was lost, when
// it keeps running for the redial and the window comes to the front.
void ConnectionSession::EndRelay() {
    FPresenceTimer->stop();
    FReopenTimer->stop();
    if (!FRelayRunning) return;
    FRelayRunning = false;
    ReleasePort();
    StopTCPServer();
    if (!FReadSocket.isEmpty()) Log(kInterrupted);
    FReadSocket.clear();
    if (FModemConnect) {
        Q_EMIT BringToFront();
    } else {
        StopSetupProgram();
    }
}

void ConnectionSession::UpdateWatch() {
    const bool usable = FConnected && FCOMHandle != InvalidCOMHandle && !FNeedCOMReconnect;
    FHeldBackByClient = usable && ClientBacklog() >= PendingBound;
    FPortWaiter->Watch(usable && !FHeldBackByClient, usable && !FReadSocket.isEmpty());
}

// Client to port: writes what the port takes now, while it takes; the rest stays pending,
// in order, until the port has room. Each byte is logged once, when it is written.
void ConnectionSession::RelayTcpToCom() {
    if (!FConnected || FNeedCOMReconnect || FCOMHandle == InvalidCOMHandle) return;
    for (int write = 0; write < kWritesPerEvent && !FReadSocket.isEmpty(); ++write) {
        // The port's room is asked only once it was found short: a write that takes less
        // than it was given says so, and asking before every write costs a system call.
        qsizetype room = COMBufferSize;
        if (FPortFull) {
            room = FPortWaiter->WriteRoom();
            if (room <= 0) break;
            FPortFull = false;
        }
        const int n = static_cast<int>(std::min<qsizetype>(FReadSocket.size(), room));
        const int r = COMWriteBytes(FReadSocket.constData(), n);
        if (r <= 0) {
            // The clients were dropped with the failed write; their stream ends here.
            Q_EMIT LogData(FReadSocket.left(n), QStringLiteral("TCP->COM"));
            FReadSocket.clear();
            return;
        }
        FPortFull = r < n;
        if (DataLogged()) Q_EMIT LogData(FReadSocket.left(r), QStringLiteral("TCP->COM"));
        FReadSocket.remove(0, r);
        TakeFromClient();
        if (FPortFull) break;
    }
    UpdateWatch();
}

// Port to client. While the program's backlog is above the bound the port is not read,
// so its own queue holds the device back instead of a buffer here growing without end.
// Port data that comes while no program is connected is read, logged and dropped.
void ConnectionSession::RelayComToTcp() {
    if (!FConnected || FNeedCOMReconnect || FCOMHandle == InvalidCOMHandle) return;
    for (int read = 0; read < kReadsPerEvent; ++read) {
        if (ClientBacklog() >= PendingBound) break;
        const int m = COMRead();
        if (!FConnected) {
            // A modem result word ended the call.
            EndRelay();
            return;
        }
        if (m <= 0) {
            // Woken for nothing: the port may have hung up (which ends this pass).
            if (read == 0 && FPortWaiter->CheckHangUp()) return;
            break;
        }
        SendToTCPClient(m);
        if (DataLogged()) Q_EMIT LogData(BufferToStr(m), QStringLiteral("COM->TCP"));
        // A read that did not fill the buffer took all that was waiting.
        if (m < static_cast<int>(FDataBuffer.size())) break;
    }
    UpdateWatch();
}

// The port is gone (its presence test failed, or it hung up): closed, marked lost, and
// reopened once it can be (cable) or the call ended (modem).
void ConnectionSession::PortLost(const QString& status) {
    if (!FConnected || FNeedCOMReconnect || FState == ConnectionState::Idle) return;
    CloseCOM();
    Q_EMIT StatusChanged(status, StatusColour::Red);
    FNeedCOMReconnect = true;
    if (FModemConnect) {
        LoseModemPort();
    } else {
        FReopenTimer->start(kFirstReopenMs);
    }
}

// The fallback for what the port itself does not tell: its name is asked for.
void ConnectionSession::CheckPortPresence() {
    if (!FConnected || FNeedCOMReconnect) return;
    if (!COMPortExists(FPortName.toStdString())) PortLost(QStringLiteral("Прибор недоступен"));
}

void ConnectionSession::TryReopen() {
    if (!FConnected || !FNeedCOMReconnect) return;
    Log(QStringLiteral("Попытка переокрытия COM порта"));
    if (ReopenCOM()) {
        Log(QStringLiteral("Порт успешно переоткрыт"));
        Q_EMIT StatusChanged(QStringLiteral("Подключен"), StatusColour::ButtonText);
        RelayTcpToCom();
        UpdateWatch();
        return;
    }
    if (!COMPortExists(FPortName.toStdString())) {
        CloseCOM();
        Q_EMIT StatusChanged(QStringLiteral("Прибор недоступен"), StatusColour::Red);
    }
    FReopenTimer->start(kReopenIntervalMs);
}

void ConnectionSession::LoseModemPort() {
    if (!FConnected || !FNeedCOMReconnect) return;
    Log(QStringLiteral("Завершение работы по потере порта."));
    FConnected = false;
    Enter(ConnectionState::Idle, QStringLiteral("главный цикл, модемное соединение, порт потерян"));
    Q_EMIT SettingsControlsEnabled(true);
    CloseCOM();
    FNeedCOMReconnect = false;
    EndRelay();
}
}  // namespace lintaro
