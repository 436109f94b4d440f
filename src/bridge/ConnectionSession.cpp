// The connection session: its state, the user's actions by state (the connection
// controller), the port's opening and closing, and the configuration program.
#include "bridge/ConnectionSession.h"

#include <QTimer>
#include <utility>

#include "bridge/ConnectionAdmission.h"
#include "bridge/PortWaiter.h"
#include "bridge/RelayThread.h"
#include "bridge/ServerSocket.h"
#include "bridge/SetupLauncher.h"
#include "serial/ModemWords.h"
#include "serial/PortIdentity.h"

namespace lintaro {

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

ConnectionSession::ConnectionSession(QObject* parent) : QObject(parent) {
    connect(&FSetupExit, &SetupExitWatch::Ended, this,
            [this](int exitCode) { Log(SetupEndedLogLine(exitCode)); });
    FServer = new TServerSocket(this);
    FServer->setObjectName(QStringLiteral("ServerSocket"));
    FRelay = new RelayThread(PendingBound, this);
    // Only the user's own processes may reach the device. Each of their connections goes to
    // the relay, which owns it from then on: its bytes go to the device in the order they
    // come, and the device's bytes go to the oldest connection.
    FAdmission = new ConnectionAdmission(
        FServer, [this](const QString& text) { Log(text); },
        [this] { return FSetupIsStarted ? FSetupProcInfo.dwProcessId : 0; }, this);
    connect(FAdmission, &ConnectionAdmission::Admitted, this,
            [this](qintptr socket, quint16 peerPort) { FRelay->AddClient(socket, peerPort); });
    connect(FRelay, &RelayThread::LogReady, this, &ConnectionSession::DeliverLog);
    connect(FRelay, &RelayThread::PortHungUp, this, &ConnectionSession::RelayPortHungUp);
    connect(FRelay, &RelayThread::PortWriteFailed, this, &ConnectionSession::RelayWriteFailed);
    connect(FRelay, &RelayThread::ResultWord, this, &ConnectionSession::RelayResultWord);
    connect(FRelay, &RelayThread::BrowserRefused, FAdmission, &ConnectionAdmission::BrowserRefused);

    Identification::LogSink identificationLog;
    identificationLog.line = [this](const QString& text, const QString& direction) {
        Q_EMIT LogLine(text, direction);
    };
    identificationLog.data = [this](const QByteArray& bytes, const QString& direction) {
        Q_EMIT LogData(bytes, direction);
    };
    FIdentification = new Identification(FRelay, std::move(identificationLog), this);
    connect(FIdentification, &Identification::Finished, this,
            &ConnectionSession::FinishIdentification);

    FPortWaiter = new PortWaiter(this);
    connect(FPortWaiter, &PortWaiter::FolderChanged, this, &ConnectionSession::CheckPortPresence);

    FPresenceTimer = new QTimer(this);
    connect(FPresenceTimer, &QTimer::timeout, this, &ConnectionSession::CheckPortPresence);
    FReopenTimer = new QTimer(this);
    FReopenTimer->setSingleShot(true);
    connect(FReopenTimer, &QTimer::timeout, this, &ConnectionSession::TryReopen);
}

ConnectionSession::~ConnectionSession() {
    // A dialling thread still running is stopped and its port released before the session
    // it reports to goes away; a call still up is hung up, waiting for the modem, and any
    // other port is closed.
    FRing.reset();
    FRetiredRings.clear();
    ReleasePort();
    FHangUp.reset();
    // Nobody could stop a program that outlived its session (a lost call keeps it).
    StopSetupProgram();
    FAdmission->DropChecking();
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

void ConnectionSession::SetDataLogWanted(bool wanted) { FRelay->SetLogWanted(wanted); }

void ConnectionSession::SetPhase(Phase phase) {
    if (phase == FPhase) return;
    const Phase was = std::exchange(FPhase, phase);
    if (was == Phase::Identifying || was == Phase::Rechecking) FIdentification->Stop();
    if (was == Phase::Identifying) Q_EMIT IdentificationFinished();
    if (phase == Phase::Identifying) Q_EMIT IdentificationStarted();
    // The timed presence test runs only where the platform cannot tell by itself.
    const int presence = FPortWaiter->PresenceIntervalMs();
    if (phase == Phase::Relaying && presence > 0) {
        FPresenceTimer->start(presence);
    } else {
        FPresenceTimer->stop();
    }
    if (phase != Phase::PortLost) FReopenTimer->stop();
}

void ConnectionSession::AbandonAttempt(const QString& place) {
    SetPhase(Phase::Idle);
    Enter(ConnectionState::Idle, place);
    ReleasePort();
    Q_EMIT SettingsControlsEnabled(true);
}

// ---- The user's actions ----

void ConnectionSession::ConnectCable(const QString& port, int speed, int serverPort) {
    FPortName = port;
    FSpeed = speed;
    FServerPort = serverPort;
    Enter(ConnectionState::Connecting);
    if (FHangUp) {
        // The port is still the hang-up's.
        FAfterHangUp = [this, port, speed, serverPort] { ConnectCable(port, speed, serverPort); };
        return;
    }
    FModemConnect = false;
    FTwinsReported = false;
    // What a lost call's program held open was meant for that call's device.
    CheckHeldConnections({}, QStringLiteral("подключение по кабелю"));
    const bool opened = OpenCOM() != InvalidCOMHandle;
    FPortIdentity = opened ? COMPortIdentity(port.toStdString()) : std::string();
    if (!opened) {
        // Stays connecting: the user cancels, which releases what the open left.
        ReportOpenFailure(LastCOMOpenFailure());
        return;
    }
    Q_EMIT StatusChanged(QStringLiteral("Идет подключение"), StatusColour::ButtonText);
    MainCycle();
}

void ConnectionSession::Dial(const QString& port, const QByteArray& phone, int serverPort) {
    FPortName = port;
    FServerPort = serverPort;
    // Only the redial of a lost call may find connections held for its device.
    if (FState != ConnectionState::CallLost) CheckHeldConnections({}, QStringLiteral("новый вызов"));
    Enter(ConnectionState::Connecting);
    if (FHangUp) {
        // The port is still the hang-up's: the new call is dialled once the last is down.
        Q_EMIT SettingsControlsEnabled(false);
        FAfterHangUp = [this, port, phone] { StartDialling(port, phone); };
        return;
    }
    StartDialling(port, phone);
}

void ConnectionSession::Cancel() {
    Enter(ConnectionState::Idle,
          QStringLiteral("нажатие на кнопку подключения в момент подключения к прибору"));
    FAfterHangUp = nullptr;
    SetPhase(Phase::Idle);
    if (FModemConnect) StopRingThread();
    CheckHeldConnections({}, QStringLiteral("подключение отменено"));
    // Also releases a handle that a failed open left behind.
    ReleasePort();
    Q_EMIT SettingsControlsEnabled(true);
}

void ConnectionSession::Disconnect() {
    Enter(ConnectionState::Idle,
          QStringLiteral("нажатие на кнопку подключения при подключенном приборе (разрыв подключения)"));
    if (FModemConnect) EndModemCall();
    EndRelay();
}

void ConnectionSession::Close() {
    FAfterHangUp = nullptr;
    if (FPhase == Phase::Identifying) SetPhase(Phase::Idle);
    // A call is hung up before anything closes its port.
    ReleasePort();
    EndRelay();
    // A thread still dialling is stopped and waited for, so its port is closed (or its
    // call hung up) and the program can end.
    if (FRing && !FRing->Finished()) {
        FRing->SetErrorCode(RingCode(RingResult::Cancelled));
        FRing->Terminate();
        FRing->WaitFor();
    }
    StopSetupProgram();
}

// ---- Port ----

void ConnectionSession::ReportOpenFailure(COMOpenFailure failure) {
    switch (failure) {
        case COMOpenFailure::NoAccess:
            Q_EMIT StatusChanged(QStringLiteral("Нет доступа к COM-порту"), StatusColour::Red);
            // How to get access is told once a run; the status says it every time.
            if (!FAccessHintShown) {
                FAccessHintShown = true;
                Q_EMIT ErrorMessage(QStringLiteral(
                    "Нет доступа к COM-порту %1.\n\n"
                    "Доступ к COM-портам есть у членов группы dialout. Добавьте себя в неё "
                    "командой\n\n    sudo usermod -aG dialout $USER\n\n"
                    "и войдите в систему заново.")
                                        .arg(FPortName));
            }
            break;
        case COMOpenFailure::Gone:
            Q_EMIT StatusChanged(QStringLiteral("Прибор недоступен"), StatusColour::Red);
            break;
        default: {
            Q_EMIT StatusChanged(QStringLiteral("COM-порт занят"), StatusColour::Red);
            const QString holder =
                failure == COMOpenFailure::Busy
                    ? QString::fromStdString(COMPortHolder(FPortName.toStdString()))
                    : QString();
            if (!holder.isEmpty()) {
                Log(QStringLiteral("COM-порт занят: %1").arg(holder));
                Q_EMIT ErrorMessage(
                    QStringLiteral("COM-порт %1 занят: %2.").arg(FPortName, holder));
            }
            break;
        }
    }
}

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
    if (opened) FPortWaiter->Attach(name);
    return opened;
}

void ConnectionSession::CloseCOM() {
    // The relay lets go of the port first; no I/O is left pending on it then (every call
    // is non-blocking or bounded), so there is nothing to cancel before the close.
    FRelay->DetachPort();
    FPortWaiter->Detach();
    CloseCOMPort(FCOMHandle);
}

// ---- Configuration program ----

SetupStart ConnectionSession::StartSetupProgram() {
    if (FSetupIsStarted) return SetupStart::Started;
    const SetupStart result = StartSetupProgramFrom(
        FProgramFolder.isEmpty() ? ProgramFolder() : FProgramFolder,
        [this](const QString& text) { Q_EMIT ErrorMessage(text); }, FVerInfo, FSetupProcInfo,
        FSetupFile, [this](const QString& line) { Log(line); }, &FSetupMissing);
    FSetupIsStarted = result == SetupStart::Started;
    FSetupExit.Watch(FSetupIsStarted ? &FSetupProcInfo : nullptr);
    return result;
}

void ConnectionSession::StopSetupProgram() {
    EndSetupProgram();
    // The server outlives a connection only for the program (a lost call's redial).
    if (!Connected()) StopTCPServer();
}

void ConnectionSession::EndSetupProgram() {
    FSetupExit.Watch(nullptr);
    if (FSetupIsStarted) StopSetupProgramOf(FSetupProcInfo, FSetupFile);
    FSetupIsStarted = false;
}
}  // namespace lintaro
