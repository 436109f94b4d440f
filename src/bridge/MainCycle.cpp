// The bridge cycle: the identification, the start of the server and the configuration
// program, and the relay driven by the port's and the program's events, with the loss and
// reopening of the port.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <string_view>

#include "bridge/ConnectionSession.h"
#include "bridge/PortWaiter.h"
#include "bridge/RelayThread.h"
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

const QString kInterrupted = QStringLiteral("Соединение было прервано, последний пакет не доставлен");

}  // namespace

int ConnectionSession::COMRead() {
    int n = 0;
    try {
        n = ReadCOMPort(FCOMHandle, FDataBuffer.data(), FDataBuffer.size());
        if (FModemConnect && DetectModemError(n)) {
            FConnected = false;
            Enter(ConnectionState::CallLost, QStringLiteral("процедура COMRead"));
            // As in the relay: the full hang-up unless the line said the call is down.
            HangUpCall(relay_platform::CarrierDetect(FCOMHandle) == relay_platform::Carrier::Down
                           ? ModemLine::Command
                           : ModemLine::Unknown);
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
    // A line that says the call is up: the word was the device's.
    if (relay_platform::CarrierDetect(FCOMHandle) == relay_platform::Carrier::Up) return false;
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
        WriteFailed();
        r = 0;
    }
    return r;
}

// A write to the port failed: the clients are dropped, the port is marked lost and
// reopened (cable) or the call ended (modem) once this event is over.
void ConnectionSession::WriteFailed() {
    Log(QStringLiteral("Ошибка записи в COM порт"));
    Q_EMIT StatusChanged(QStringLiteral("Прибор не доступен"), StatusColour::Red);
    FNeedCOMReconnect = true;
    DropTCPClients();
    if (!FConnected) return;
    if (FModemConnect) {
        QMetaObject::invokeMethod(this, &ConnectionSession::LoseModemPort, Qt::QueuedConnection);
    } else if (!FReopenTimer->isActive()) {
        FReopenTimer->start(kFirstReopenMs);
    }
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
                QStringLiteral("Программа настройки для данного прибора не обнаружена."));
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
    FPresenceTimer->start(PortWaiter::PresenceIntervalMs());
    RelayPort();
}

void ConnectionSession::RelayPort() {
    FPortWaiter->Watch(false, false);
    FPortGeneration = FRelay->AttachPort(FCOMHandle, FModemConnect);
}

// The end of a connection: port closed, server stopped (which drops the program's
// connection) and the configuration program stopped, unless a modem call was lost, when
// both stay for the redial and the window comes to the front.
void ConnectionSession::EndRelay() {
    FPresenceTimer->stop();
    FReopenTimer->stop();
    if (!FRelayRunning) return;
    FRelayRunning = false;
    const bool pending = FRelay->DetachPort();
    DeliverLog();
    ReleasePort();
    if (FModemConnect) {
        // The configuration program stays for the redial and connects again by itself: the
        // server keeps its port, so that no other program can take it meanwhile, and holds
        // what the program sends until the relay resumes.
        Q_EMIT BringToFront();
        return;
    }
    StopTCPServer();
    if (pending) Log(kInterrupted);
    StopSetupProgram();
}

// Relayed data for the log: one entry per direction for all that came since the last.
void ConnectionSession::DeliverLog() {
    RelayThread::LogBatch batch = FRelay->TakeLog();
    if (!DataLogged()) return;
    const auto deliver = [this](const QByteArray& bytes, const QString& direction) {
        if (!bytes.isEmpty()) Q_EMIT LogData(bytes, direction);
    };
    if (batch.toPortFirst) {
        deliver(batch.toPort, QStringLiteral("TCP->COM"));
        deliver(batch.toClient, QStringLiteral("COM->TCP"));
    } else {
        deliver(batch.toClient, QStringLiteral("COM->TCP"));
        deliver(batch.toPort, QStringLiteral("TCP->COM"));
    }
}

void ConnectionSession::RelayPortHungUp(quint64 generation) {
    if (generation != FPortGeneration) return;
    DeliverLog();
    PortLost(QStringLiteral("Прибор недоступен"));
}

void ConnectionSession::RelayWriteFailed(quint64 generation) {
    if (generation != FPortGeneration || !FConnected) return;
    DeliverLog();
    WriteFailed();
}

// A modem result word in the data: the call is lost. Where the line said so, the modem
// takes commands again and "ATH" makes sure; otherwise the word may have been the device's
// data with the call still up, and the call is hung up the full way. Then the port closes.
void ConnectionSession::RelayResultWord(quint64 generation, const QByteArray& chunk, bool carrierDown) {
    if (generation != FPortGeneration || !FConnected) return;
    DeliverLog();
    Log(QStringLiteral("Завершение работы по ошибке модема"));
    Log(QStringLiteral("Последний полученный пакет:"));
    Q_EMIT LogData(chunk, {});
    FConnected = false;
    Enter(ConnectionState::CallLost, QStringLiteral("процедура COMRead"));
    HangUpCall(carrierDown ? ModemLine::Command : ModemLine::Unknown);
    EndRelay();
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
        RelayPort();
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
