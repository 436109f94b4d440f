// The bridge cycle: identifies the device, starts the TCP server and the configuration
// program, then relays bytes between the TCP client and the port until the connection
// ends. It runs inside the click (or the end of a dialling) and pumps the window's events
// between its steps, so the disconnect click, the socket events and the close handler run
// nested inside it; FConnected, FNeedCOMReconnect, FModemConnect and the link's tag are the
// signals between them.
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <QToolButton>
#include <thread>

#include "ErrorReport.h"
#include "MainFormUnit.h"
#include "MessageBoxes.h"
#include "PortWaiter.h"
#include "ServerSocket.h"
#include "TPCServerSettingsUnit.h"
#include "URLLabel.h"

namespace lintaro {

namespace {

const QByteArray kVerInfoRequest("+VER_INFO=?\r\n");
constexpr qint64 kVerInfoTimeoutMs = 10000;
constexpr qint64 kPresenceIntervalMs = 50;
constexpr int kReadsPerPass = 8;
constexpr int kWritesPerPass = 8;

void PumpMessages() { QCoreApplication::processEvents(); }

qint64 MonotonicMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Keeps the window deaf to the user while the device is identified (as a blocking read
// would), yet lets it repaint. Input is dropped rather than queued, so a click made
// during the wait cannot land on the link once it reads "Отключить". A close request is
// kept and carried out afterwards.
class InputDeafness : public QObject {
public:
    explicit InputDeafness(QWidget* window) : FWindow(window) { qApp->installEventFilter(this); }
    ~InputDeafness() override {
        qApp->removeEventFilter(this);
        if (FCloseRequested) QMetaObject::invokeMethod(FWindow, "close", Qt::QueuedConnection);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        switch (event->type()) {
            case QEvent::MouseButtonPress:
            case QEvent::MouseButtonRelease:
            case QEvent::MouseButtonDblClick:
            case QEvent::MouseMove:
            case QEvent::Wheel:
            case QEvent::KeyPress:
            case QEvent::KeyRelease:
            case QEvent::Shortcut:
            case QEvent::ShortcutOverride:
            case QEvent::TouchBegin:
            case QEvent::TouchUpdate:
            case QEvent::TouchEnd:
                return true;
            case QEvent::Close:
                if (watched == FWindow) {
                    FCloseRequested = true;
                    event->ignore();
                    return true;
                }
                return false;
            default:
                return false;
        }
    }

private:
    QWidget* FWindow;
    bool FCloseRequested = false;
};

}  // namespace

int TMainLintaroForm::ConnectionState() const { return URLLabel1->Tag(); }

void TMainLintaroForm::EnableSettingsControls(bool enabled) {
    ConnectTypeComboBox->setEnabled(enabled);
    PortsListComboBox->setEnabled(enabled);
    PhoneNumber->setEnabled(enabled);
    SpeedButton1->setEnabled(enabled);
}

void TMainLintaroForm::MainCycle() {
    if (!QueryVerInfo()) {
        WriteLog(QStringLiteral("Устройство не обнаружено, работа программы невозможна"), {});
        ShowErrorMessage(this, QStringLiteral("Устройство не обнаружено, работа программы невозможна."));
        URLLabel1->setText(QStringLiteral("Подключить"));
        URLLabel1->SetTag(0);
        SetStatus(QStringLiteral("Нет подключения"), ButtonTextColor());
        WriteLog(QStringLiteral("Установили \"Нет подключения\", главный цикл, нет ответа на VER_INFO"), {});
        if (FCOMHandle != InvalidCOMHandle) CloseCOM();
        EnableSettingsControls(true);
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
        ShowErrorReport(error);
    }
    if (!FSetupIsStarted) {
        WriteLog(QStringLiteral("Не найдена программа настройки"), {});
        ShowErrorMessage(this, QStringLiteral("Программа настройки для данного прибора не обнаружена."));
        URLLabel1->setText(QStringLiteral("Подключить"));
        SetStatus(QStringLiteral("Нет подключения"), ButtonTextColor());
        WriteLog(QStringLiteral("Установили \"Нет подключения\", главный цикл, нет программы настройки"), {});
        URLLabel1->SetTag(0);
        StopTCPServer();
        if (FCOMHandle != InvalidCOMHandle) CloseCOM();
        EnableSettingsControls(true);
        return;
    }

    FConnected = true;
    URLLabel1->setText(QStringLiteral("Отключить"));
    URLLabel1->SetTag(2);
    SetStatus(QStringLiteral("Подключен"), ButtonTextColor());
    URLLabel1->setEnabled(true);
    FPortReadIdle = false;
    FLastPresenceTest = MonotonicMs() - kPresenceIntervalMs;

    while (FConnected) RelayPass();

    if (FCOMHandle != InvalidCOMHandle) CloseCOM();
    StopTCPServer();
    FReadSocket.clear();
    if (FModemConnect) {
        // The configuration program keeps running for the redial; bring the wizard up.
        raise();
        activateWindow();
    } else {
        StopSetupProgram();
    }
}

// The server's port cannot be bound (another program holds it): the user is told which
// port and why; nothing was launched and the window goes back to idle.
void TMainLintaroForm::ReportServerFailure() {
    const QString port = QString::number(
        (FTCPServerSettings != nullptr ? FTCPServerSettings->TakeServerPort() : 53462) & 0xFFFF);
    const QString reason = ServerSocket->ErrorString();
    WriteLog(QStringLiteral("Не удалось запустить TCP сервер на порту %1: %2").arg(port, reason), {});
    ShowErrorMessage(this, QStringLiteral("Не удалось запустить TCP сервер на порту %1.\n%2")
                               .arg(port, reason));
    URLLabel1->setText(QStringLiteral("Подключить"));
    URLLabel1->SetTag(0);
    SetStatus(QStringLiteral("Нет подключения"), ButtonTextColor());
    WriteLog(QStringLiteral("Установили \"Нет подключения\", главный цикл, TCP порт занят"), {});
    if (FCOMHandle != InvalidCOMHandle) CloseCOM();
    EnableSettingsControls(true);
}

void TMainLintaroForm::RelayPass() {
    // The pause at the end of the last pass ran the event loop until just now.
    if (!FEventsPumped) PumpMessages();
    FEventsPumped = false;
    if (FNeedCOMReconnect) {
        if (FModemConnect) {
            WriteLog(QStringLiteral("Завершение работы по потере порта."), {});
            URLLabel1->SetTag(0);
            URLLabel1->setText(QStringLiteral("Подключить"));
            SetStatus(QStringLiteral("Нет подключения"), ButtonTextColor());
            WriteLog(QStringLiteral("Установили \"Нет подключения\", главный цикл, модемное соединение, порт потерян"), {});
            FConnected = false;
            EnableSettingsControls(true);
            CloseCOM();
            FNeedCOMReconnect = false;
        } else {
            DelayWithMessages(500);
            PumpMessages();
            if (FNeedCOMReconnect) {
                WriteLog(QStringLiteral("Попытка переокрытия COM порта"), {});
                if (ReopenCOM()) {
                    WriteLog(QStringLiteral("Порт успешно переоткрыт"), {});
                    SetStatus(QStringLiteral("Подключен"), ButtonTextColor());
                    FPortReadIdle = false;
                }
            }
        }
    } else {
        // (The pass's first pump has just run; nothing happened since.)
        RelayTcpToCom();
        RelayComToTcp();
    }
    // The wait runs the event loop itself, so no pump is needed after it.
    WaitForTraffic(50);
    CheckPortPresence();
}

// Client to port: writes what the port takes now, while it takes; the rest stays
// pending, in order, for the next pass. Each byte is logged once, when it is written.
void TMainLintaroForm::RelayTcpToCom() {
    for (int write = 0; write < kWritesPerPass; ++write) {
        const int n = static_cast<int>(std::min<qsizetype>(
            {FReadSocket.size(), static_cast<qsizetype>(COMBufferSize),
             static_cast<qsizetype>(FPortWaiter->WriteRoom())}));
        if (n <= 0) return;
        // The pass began with a turn of the event loop (or the pause just ran it), so a
        // disconnect that came meanwhile is already seen here; writes go on at once.
        if (!FConnected) {
            WriteLog(QStringLiteral("Соединение было прервано, последний пакет не доставлен"), {});
            FReadSocket.clear();
            return;
        }
        const int r = COMWriteBytes(FReadSocket.constData(), n);
        if (r <= 0) {
            // The clients were dropped with the failed write; their stream ends here.
            WriteLogBytes(FReadSocket.left(n), QStringLiteral("TCP->COM"));
            FReadSocket.clear();
            return;
        }
        WriteLogBytes(FReadSocket.left(r), QStringLiteral("TCP->COM"));
        FReadSocket.remove(0, r);
        TakeFromClients();
    }
}

// Port to client. While the client's backlog is above the bound the port is not read, so
// its own queue holds the device back instead of a buffer here growing without end. A
// port that has more after a read is read again in the same pass (a terminal hands over
// a few kilobytes per read), so a fast device is not paced by the pass.
void TMainLintaroForm::RelayComToTcp() {
    FHeldBackByClient = false;
    for (int read = 0; read < kReadsPerPass; ++read) {
        if (ClientBacklog() >= PendingBound) {
            FHeldBackByClient = true;
            return;
        }
        const int m = COMRead();
        if (m <= 0) return;
        FPortReadIdle = false;
        if (!FConnected) {
            WriteLog(QStringLiteral("Соединение было прервано, последний пакет не доставлен"), {});
            return;
        }
        SendToTCPClient(m);
        WriteLogBytes(BufferToStr(m), QStringLiteral("COM->TCP"));
    }
}

// The device's presence is asked at most every 50 ms: listing the port devices is far
// dearer than a relay pass that was woken early by traffic.
void TMainLintaroForm::CheckPortPresence() {
    const qint64 now = MonotonicMs();
    if (!FNeedCOMReconnect && now - FLastPresenceTest < kPresenceIntervalMs) return;
    FLastPresenceTest = now;
    if (!COMPortExists(PortsListComboBox->currentText().toStdString()) && URLLabel1->Tag() != 0) {
        CloseCOM();
        SetStatus(QStringLiteral("Прибор недоступен"), RedColor());
        FNeedCOMReconnect = true;
    }
}

// The pass's pause: up to `milliseconds`, pumping events, but over as soon as the port
// has bytes, or has room for bytes a client sent.
void TMainLintaroForm::WaitForTraffic(int milliseconds) {
    const bool portUsable = FCOMHandle != InvalidCOMHandle && !FNeedCOMReconnect;
    const bool toPort = portUsable && !FReadSocket.isEmpty();
    if (toPort && FPortWaiter->CanWrite()) return;  // more client bytes than one pass moves
    const bool fromPort = portUsable && !FPortReadIdle && ClientBacklog() < PendingBound;

    // The timer and the wake-ups outlive the wait: a pass is too short to build them anew.
    QEventLoop loop;
    FWaitLoop = &loop;
    FWokenByPort = false;
    FPassTimer->start(milliseconds);
    FPortWaiter->Watch(fromPort, toPort);
    loop.exec();
    FEventsPumped = true;
    FPortWaiter->Watch(false, false);
    FPassTimer->stop();
    FWaitLoop = nullptr;
    // A port that says "readable" but then gives nothing (a vanished device reads as end
    // of file) is not watched again until a timed pass reads from it.
    if (FWokenByPort) FPortReadIdle = true;
}

void TMainLintaroForm::WakeCycle() {
    if (FWaitLoop != nullptr) FWaitLoop->quit();
}

bool TMainLintaroForm::QueryVerInfo() {
    COMWrite(StrToBuffer(kVerInfoRequest));
    WriteLog(QStringLiteral("+VER_INFO=?"), QStringLiteral("APP->COM"));

    QElapsedTimer clock;
    clock.start();
    FVerInfo.clear();
    QByteArray reply;
    InputDeafness deaf(this);
    bool watchPort = true;
    while (clock.elapsed() < kVerInfoTimeoutMs) {
        const int m = COMRead();
        if (m > 0) {
            reply += BufferToStr(m);
            if (reply.contains("OK\r\n")) {
                WriteLogBytes(reply, QStringLiteral("COM->APP"));
                FVerInfo = reply;
                return true;
            }
            watchPort = true;
        }
        if (FCOMHandle == InvalidCOMHandle) {
            // Lost during the wait (a modem result word closes the port): nothing can come.
            break;
        }
        // Sleep until the port has bytes or the time is up; a port that wakes us without
        // bytes is then only polled, every 50 ms.
        QEventLoop loop;
        QTimer deadline;
        deadline.setSingleShot(true);
        connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
        const qint64 left = kVerInfoTimeoutMs - clock.elapsed();
        if (left <= 0) break;
        deadline.start(static_cast<int>(watchPort ? left : std::min<qint64>(left, 50)));
        bool woken = false;
        auto onReadable = connect(FPortWaiter, &PortWaiter::Readable, &loop, [&] {
            woken = true;
            loop.quit();
        });
        FPortWaiter->Watch(watchPort, false);
        loop.exec();
        FPortWaiter->Watch(false, false);
        disconnect(onReadable);
        watchPort = !woken;
    }
    return false;
}

int TMainLintaroForm::COMRead() {
    int n = 0;
    try {
        n = ReadCOMPort(FCOMHandle, FDataBuffer.data(), FDataBuffer.size());
        if (FModemConnect && DetectModemError(n)) {
            URLLabel1->SetTag(3);
            URLLabel1->setText(QStringLiteral("Переподключить"));
            SetStatus(QStringLiteral("Нет подключения"), ButtonTextColor());
            WriteLog(QStringLiteral("Установили \"Нет подключения\", процедура COMRead"), {});
            FConnected = false;
            WriteCOMPortStr(FCOMHandle, "ATH\r\n");
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
            CloseCOM();
            n = 0;
        }
    } catch (const std::exception&) {
        n = -1;
    }
    if (n == -1) {
        WriteLog(QStringLiteral("Ошибка чтения из COM порта"), {});
        n = 0;
    }
    return n;
}

bool TMainLintaroForm::DetectModemError(int count) {
    if (count <= 0) return false;
    // The words are ASCII, so upper-casing the bytes finds them as the text would.
    const QByteArray text = BufferToStr(count).toUpper();
    for (const char* word : {"BUSY", "NO CARRIER", "NO DIALTONE", "NO ANSWER"}) {
        if (text.contains(word)) {
            WriteLog(QStringLiteral("Завершение работы по ошибке модема"), {});
            WriteLog(QStringLiteral("Последний полученный пакет:"), {});
            WriteLogBytes(BufferToStr(count), {});
            return true;
        }
    }
    return false;
}

int TMainLintaroForm::COMWrite(int count) {
    return COMWriteBytes(reinterpret_cast<const char*>(FDataBuffer.data()), count);
}

int TMainLintaroForm::COMWriteBytes(const char* bytes, int count) {
    int r = WriteCOMPort(FCOMHandle, reinterpret_cast<const std::uint8_t*>(bytes), count);
    if (r == 0 || r == -1) {
        WriteLog(QStringLiteral("Ошибка записи в COM порт"), {});
        SetStatus(QStringLiteral("Прибор не доступен"), RedColor());
        FNeedCOMReconnect = true;
        DropTCPClients();
        r = 0;
    }
    return r;
}

QByteArray TMainLintaroForm::BufferToStr(int count) const {
    return QByteArray(reinterpret_cast<const char*>(FDataBuffer.data()),
                      std::clamp(count, 0, static_cast<int>(FDataBuffer.size())));
}

int TMainLintaroForm::StrToBuffer(const QByteArray& bytes) {
    const int n = static_cast<int>(std::min<qsizetype>(bytes.size(), FDataBuffer.size()));
    std::copy_n(bytes.constData(), n, reinterpret_cast<char*>(FDataBuffer.data()));
    return n;
}

}  // namespace lintaro
