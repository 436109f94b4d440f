#include "bridge/ConnectionSession.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QEventLoop>
#include <QTcpSocket>
#include <QTimer>
#include <algorithm>
#include <string_view>
#include <thread>

#include "bridge/PeerCheck.h"
#include "bridge/PortWaiter.h"
#include "bridge/ServerSocket.h"
#include "bridge/SetupLauncher.h"
#include "log/CodePage.h"
#include "log/LintaroError.h"
#include "log/LogLines.h"
#include "log/TimeFuncs.h"
#include "serial/ModemWords.h"

namespace lintaro {

namespace {

const QByteArray kVerInfoRequest("+VER_INFO=?\r\n");
const QByteArray kVerInfoEnd("OK\r\n");
constexpr qint64 kVerInfoTimeoutMs = 10000;
// A lost cable port is tried again after the design's pass: 500 ms, then every 550 ms.
constexpr int kFirstReopenMs = 500;
constexpr int kReopenIntervalMs = 550;
// Reads and writes per readiness event: a terminal hands over a few kilobytes per read,
// so a fast device is served in one turn of the event loop without starving the rest.
constexpr int kReadsPerEvent = 8;
constexpr int kWritesPerEvent = 8;

const QString kInterrupted = QStringLiteral("Соединение было прервано, последний пакет не доставлен");

void Pause150ms() { std::this_thread::sleep_for(std::chrono::milliseconds(150)); }

std::string HangUpLine() { return std::string(HangUpCommand) + std::string(ModemCommandEnd); }

// WM_RINGSTATUS as a posted event: WM_USER + 5.
const QEvent::Type RingStatusEventType = static_cast<QEvent::Type>(QEvent::User + 5);

class RingStatusEvent : public QEvent {
public:
    explicit RingStatusEvent(int stage) : QEvent(RingStatusEventType), Stage(stage) {}
    const int Stage;
};

}  // namespace

QString LinkCaption(ConnectionState state) {
    switch (state) {
        case ConnectionState::Idle:
            return QStringLiteral("Подключить");
        case ConnectionState::Connecting:
            return QStringLiteral("Отмена подключения");
        case ConnectionState::Connected:
            return QStringLiteral("Отключить");
        case ConnectionState::CallLost:
            return QStringLiteral("Переподключить");
    }
    return {};
}

// Brings the dialling thread's requests onto the session's thread. Requests for a thread
// the session has already released are dropped.
class RingHost : public QObject, public RingThreadHost {
public:
    explicit RingHost(ConnectionSession* session) : QObject(session), FSession(session) {}

    void RequestSynchronize(TRingThread& thread) override {
        TRingThread* target = &thread;
        QMetaObject::invokeMethod(
            this, [this, target] { ServeIfAlive(target); }, Qt::QueuedConnection);
    }

    void PostRingStatus(TRingThread&, int stage) override {
        QCoreApplication::postEvent(this, new RingStatusEvent(stage));
    }

    void Adopt(TRingThread* thread) { FAlive.push_back(thread); }
    void Forget(TRingThread* thread) { std::erase(FAlive, thread); }

protected:
    bool event(QEvent* event) override {
        if (event->type() != RingStatusEventType) return QObject::event(event);
        Q_EMIT FSession->RingStatus(static_cast<RingStatusEvent*>(event)->Stage);
        return true;
    }

private:
    void ServeIfAlive(TRingThread* thread) {
        if (std::find(FAlive.begin(), FAlive.end(), thread) != FAlive.end()) {
            thread->ServeSynchronizedCalls();
        }
    }

    ConnectionSession* FSession;
    std::vector<TRingThread*> FAlive;
};

ConnectionSession::ConnectionSession(QObject* parent) : QObject(parent) {
    FServer = new TServerSocket(this);
    FServer->setObjectName(QStringLiteral("ServerSocket"));
    FServer->SetReadBufferSize(PendingBound);
    connect(FServer, &TServerSocket::ClientConnect, this, &ConnectionSession::ClientConnected);
    connect(FServer, &TServerSocket::ClientDisconnect, this, &ConnectionSession::ClientDisconnected);
    connect(FServer, &TServerSocket::ClientRead, this, [this](QTcpSocket* socket) {
        if (socket != FProgram) return;
        TakeFromClient();
        RelayTcpToCom();
    });
    // Room in the program's backlog again: a port held back for it is read again.
    connect(FServer, &TServerSocket::ClientWritten, this, [this](QTcpSocket* socket) {
        if (socket != FProgram || !FHeldBackByClient || ClientBacklog() >= PendingBound) return;
        RelayComToTcp();
    });

    FPortWaiter = new PortWaiter(this);
    connect(FPortWaiter, &PortWaiter::Readable, this, &ConnectionSession::RelayComToTcp);
    connect(FPortWaiter, &PortWaiter::Writable, this, &ConnectionSession::RelayTcpToCom);
    connect(FPortWaiter, &PortWaiter::HungUp, this,
            [this] { PortLost(QStringLiteral("Прибор недоступен")); });
    connect(FPortWaiter, &PortWaiter::FolderChanged, this, &ConnectionSession::CheckPortPresence);

    FPresenceTimer = new QTimer(this);
    connect(FPresenceTimer, &QTimer::timeout, this, &ConnectionSession::CheckPortPresence);
    FReopenTimer = new QTimer(this);
    FReopenTimer->setSingleShot(true);
    connect(FReopenTimer, &QTimer::timeout, this, &ConnectionSession::TryReopen);
}

ConnectionSession::~ConnectionSession() {
    // A dialling thread still running is stopped and its port released before the session
    // it reports to goes away.
    FRing.reset();
    FRetiredRings.clear();
    FPortWaiter->Detach();
    CloseCOMPort(FCOMHandle);
}

// ---- State ----

void ConnectionSession::Enter(ConnectionState state, const QString& place) {
    FState = state;
    Q_EMIT StateChanged(state);
    if (state == ConnectionState::Connected) {
        Q_EMIT StatusChanged(QStringLiteral("Подключен"), StatusColour::ButtonText);
    } else if (!place.isEmpty()) {
        Q_EMIT StatusChanged(QStringLiteral("Нет подключения"), StatusColour::ButtonText);
        Log(QStringLiteral("Установили \"Нет подключения\", ") + place);
    }
}

void ConnectionSession::AbandonAttempt(const QString& place) {
    Enter(ConnectionState::Idle, place);
    if (FCOMHandle != InvalidCOMHandle) CloseCOM();
    Q_EMIT SettingsControlsEnabled(true);
}

// ---- The user's actions ----

void ConnectionSession::ConnectCable(const QString& port, int speed, int serverPort) {
    FPortName = port;
    FSpeed = speed;
    FServerPort = serverPort;
    Enter(ConnectionState::Connecting);
    FModemConnect = false;
    if (OpenCOM() == InvalidCOMHandle) {
        // Stays connecting: the user cancels, which releases what the open left.
        Q_EMIT StatusChanged(QStringLiteral("COM-порт занят"), StatusColour::Red);
        return;
    }
    Q_EMIT StatusChanged(QStringLiteral("Идет подключение"), StatusColour::ButtonText);
    QCoreApplication::processEvents();  // the text is painted before the identification
    MainCycle();
}

void ConnectionSession::Dial(const QString& port, const QByteArray& phone, int serverPort) {
    FPortName = port;
    FServerPort = serverPort;
    Enter(ConnectionState::Connecting);
    StartDialling(port, phone);
}

void ConnectionSession::Cancel(bool modem) {
    Enter(ConnectionState::Idle,
          QStringLiteral("нажатие на кнопку подключения в момент подключения к прибору"));
    if (modem) StopRingThread();
    // Also releases a handle that a failed open left behind.
    CloseCOM();
    Q_EMIT SettingsControlsEnabled(true);
}

void ConnectionSession::Disconnect(bool modem) {
    FNeedCOMReconnect = false;
    Enter(ConnectionState::Idle,
          QStringLiteral("нажатие на кнопку подключения при подключенном приборе (разрыв подключения)"));
    if (modem) {
        EndModemCall();
    } else {
        FConnected = false;
    }
    EndRelay();
}

void ConnectionSession::Close() {
    FConnected = false;
    EndRelay();
    // A thread still dialling is stopped and waited for, so its port is closed and the
    // program can end.
    if (FRing && !FRing->Finished()) {
        FRing->SetErrorCode(RingCode(RingResult::Cancelled));
        FRing->Terminate();
        FRing->WaitFor();
    }
    StopSetupProgram();
}

// ---- Port ----

COMHandle ConnectionSession::OpenCOM() {
    FCOMHandle = InvalidCOMHandle;
    if (ReopenCOM()) {
        Log(QStringLiteral("COM порт успешно открыт"));
        return FCOMHandle;
    }
    Log(QStringLiteral("Ошибка открытия COM порта"));
    return InvalidCOMHandle;
}

bool ConnectionSession::ReopenCOM() {
    if (FCOMHandle != InvalidCOMHandle) CloseCOM();
    const std::string name = FPortName.toStdString();
    const bool opened = OpenCOMPort(name, FSpeed, FCOMHandle);
    if (opened) {
        FNeedCOMReconnect = false;
        FPortWaiter->Attach(FCOMHandle, name);
    }
    return opened;
}

void ConnectionSession::CloseCOM() {
    // No I/O is ever left pending on the port (every call is synchronous and bounded),
    // so there is nothing to cancel before the close.
    FPortWaiter->Detach();
    CloseCOMPort(FCOMHandle);
}

int ConnectionSession::COMRead() {
    int n = 0;
    try {
        n = ReadCOMPort(FCOMHandle, FDataBuffer.data(), FDataBuffer.size());
        if (FModemConnect && DetectModemError(n)) {
            FConnected = false;
            Enter(ConnectionState::CallLost, QStringLiteral("процедура COMRead"));
            WriteCOMPortStr(FCOMHandle, HangUpLine());
            Pause150ms();
            CloseCOM();
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
    if (FindModemResultWord(text) == RingResult::Connected) return false;
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
    try {
        StartSetupProgram();
    } catch (const std::exception& error) {
        Q_EMIT ErrorReport(ErrorText(error));
    }
    if (!FSetupIsStarted) {
        Log(QStringLiteral("Не найдена программа настройки"));
        Q_EMIT ErrorMessage(QStringLiteral("Программа настройки для данного прибора не обнаружена."));
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
    if (FCOMHandle != InvalidCOMHandle) CloseCOM();
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
        const int n = static_cast<int>(std::min<qsizetype>(
            {FReadSocket.size(), static_cast<qsizetype>(COMBufferSize),
             static_cast<qsizetype>(FPortWaiter->WriteRoom())}));
        if (n <= 0) break;
        const int r = COMWriteBytes(FReadSocket.constData(), n);
        if (r <= 0) {
            // The clients were dropped with the failed write; their stream ends here.
            Q_EMIT LogData(FReadSocket.left(n), QStringLiteral("TCP->COM"));
            FReadSocket.clear();
            return;
        }
        Q_EMIT LogData(FReadSocket.left(r), QStringLiteral("TCP->COM"));
        FReadSocket.remove(0, r);
        TakeFromClient();
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
        if (m <= 0) break;
        SendToTCPClient(m);
        Q_EMIT LogData(BufferToStr(m), QStringLiteral("COM->TCP"));
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

// ---- TCP server endpoint ----

bool ConnectionSession::StartTCPServer() {
    if (FServer->Active()) StopTCPServer();
    return FServer->Open(static_cast<quint16>(FServerPort & 0xFFFF));
}

void ConnectionSession::StopTCPServer() {
    FServer->Close();
    FProgram = nullptr;
}

bool ConnectionSession::SendToTCPClient(int count) {
    if (!FSetupConnected || count <= 0 || FProgram == nullptr) return false;
    if (FProgram->state() != QAbstractSocket::ConnectedState) return false;
    // The socket keeps what the network cannot take yet and sends it in order; the port
    // is not read while this backlog is above the bound.
    const bool taken =
        FProgram->write(reinterpret_cast<const char*>(FDataBuffer.data()), count) == count;
    FProgram->flush();  // now, not at the next turn of the event loop
    return taken;
}

qint64 ConnectionSession::ClientBacklog() const {
    if (!FSetupConnected || FProgram == nullptr) return 0;
    return FProgram->bytesToWrite();
}

// Takes what the program has sent while the pending bytes stay below the bound; the rest
// waits in the socket (and TCP holds the sender back).
void ConnectionSession::TakeFromClient() {
    if (FProgram == nullptr) return;
    const qint64 room = PendingBound - FReadSocket.size();
    if (room > 0 && FProgram->bytesAvailable() > 0) FReadSocket += FProgram->read(room);
}

// Only the user's own processes may reach the device. The first of them is taken for the
// configuration program; another one is kept connected but not relayed, so that it can
// neither feed the device nor cut the program off.
void ConnectionSession::ClientConnected(QTcpSocket* socket) {
    if (!PeerIsSameUser(socket->socketDescriptor())) {
        Log(QStringLiteral("Отклонено подключение к TCP серверу с порта %1: процесс другого пользователя")
                .arg(socket->peerPort()));
        FServer->Refuse(socket);
        return;
    }
    FSetupConnected = true;
    if (FProgram == nullptr) FProgram = socket;
}

void ConnectionSession::ClientDisconnected(QTcpSocket* socket) {
    if (socket != FProgram) return;
    // What the program sent before closing still goes to the device.
    FReadSocket += socket->readAll();
    FProgram = nullptr;
    FSetupConnected = false;
    // A program that reconnected at once is the next connection of the user's.
    for (QTcpSocket* other : FServer->Connections()) {
        if (other != socket && other->state() == QAbstractSocket::ConnectedState) {
            FProgram = other;
            FSetupConnected = true;
            break;
        }
    }
    TakeFromClient();
    RelayTcpToCom();
}

void ConnectionSession::DropTCPClients() {
    FServer->DropClients();
    FProgram = nullptr;
    FSetupConnected = false;
}

// ---- Configuration program ----

void ConnectionSession::StartSetupProgram() {
    if (FSetupIsStarted) return;
    FSetupIsStarted = StartSetupProgramFrom(
        FProgramFolder.isEmpty() ? ProgramFolder() : FProgramFolder,
        [this](const QString& text) { Q_EMIT ErrorMessage(text); }, FVerInfo, FSetupProcInfo,
        FSetupFile, [this](const QString& line) { Log(line); });
}

void ConnectionSession::StopSetupProgram() {
    if (FSetupIsStarted) StopSetupProgramOf(FSetupProcInfo, FSetupFile);
    FSetupIsStarted = false;
}

// ---- Modem connection control ----

void ConnectionSession::StartDialling(const QString& port, const QByteArray& phone) {
    Q_EMIT SettingsControlsEnabled(false);
    FModemConnect = true;

    if (FRingHost == nullptr) FRingHost = new RingHost(this);
    TRingThreadCreateStruct create;
    create.COM = port.toStdString();
    create.BaudRate = DefaultCOMSpeed;
    create.Phone = phone.toStdString();
    create.FormLines = [](const std::string& text, const std::string& tag) {
        std::vector<std::string> lines;
        const QStringList formed =
            FormLogLines(BytesToText(QByteArray::fromStdString(text)), QString::fromStdString(tag),
                         LogLayout::RingThread, GetTimeStamp);
        for (const QString& line : formed) lines.push_back(line.toStdString());
        return lines;
    };
    create.LogObject = [this](const std::string& line) {
        Q_EMIT RingLogLines({QString::fromStdString(line)});
    };
    create.TerminateHandler = [this](TRingThread& ring) { RingTerminated(ring); };
    create.Owner = FRingHost;
    create.Timings = FRingTimings;

    ReleaseFinishedRings();
    if (FRing) FRetiredRings.push_back(std::move(FRing));
    FRing = std::make_unique<TRingThread>(create);
    FRingHost->Adopt(FRing.get());
}

// Finished dialling threads are released; one whose end notification still runs further
// up this thread's stack waits until it has finished.
void ConnectionSession::ReleaseFinishedRings() {
    for (auto it = FRetiredRings.begin(); it != FRetiredRings.end();) {
        if ((*it)->Finished()) {
            FRingHost->Forget(it->get());
            it = FRetiredRings.erase(it);
        } else {
            ++it;
        }
    }
}

void ConnectionSession::StopRingThread() {
    if (!FRing) return;
    FRing->SetErrorCode(RingCode(RingResult::Cancelled));
    FRing->Terminate();
    // Serves the thread's log lines and its end notification while waiting.
    FRing->WaitFor();
    FRingHost->Forget(FRing.get());
    FRing.reset();
}

void ConnectionSession::EndModemCall() {
    FConnected = false;
    // "+++" as three separate writes, then the hang-up command, each given time to act.
    for (int i = 0; i < 3; ++i) WriteCOMPortStr(FCOMHandle, "+");
    Pause150ms();
    WriteCOMPortStr(FCOMHandle, HangUpLine());
    Pause150ms();
    CloseCOM();
    FModemConnect = false;
}

void ConnectionSession::RingTerminated(TRingThread& ring) {
    FCOMHandle = ring.TakePort();
    const std::uint32_t code = ring.ErrorCode();
    if (code == RingCode(RingResult::Connected)) {
        FPortWaiter->Attach(FCOMHandle, FPortName.toStdString());
        MainCycle();
    } else if (code >= RingCode(RingResult::PortNotOpened) && code <= RingCode(RingResult::NoAnswer)) {
        CloseCOMPort(FCOMHandle);
        Q_EMIT StatusChanged(QString::fromUtf8(RingErrorTexts[code]), StatusColour::Red);
        Enter(ConnectionState::Idle);
        Q_EMIT SettingsControlsEnabled(true);
    } else if (code == RingCode(RingResult::Cancelled)) {
        CloseCOMPort(FCOMHandle);
    }
}

}  // namespace lintaro
