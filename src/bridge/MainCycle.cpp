// The bridge cycle: what the identification found, the start of the server and the
// configuration program, and what the relay thread reports, with the loss and reopening of
// the port.
#include <QTimer>
#include <algorithm>
#include <string_view>

#include "bridge/BoxText.h"
#include "bridge/ConnectionAdmission.h"
#include "bridge/ConnectionSession.h"
#include "bridge/NoDeviceText.h"
#include "bridge/PortHolder.h"
#include "bridge/PortWaiter.h"
#include "bridge/RelayThread.h"
#include "bridge/ServerSocket.h"
#include "log/LintaroError.h"
#include "serial/ModemWords.h"
#include "serial/PortIdentity.h"

namespace lintaro {

namespace {

// A lost cable port is tried again after half a second, then every 550 ms (a pause and a
// pass of the relay loop this replaced).
constexpr int kFirstReopenMs = 500;
constexpr int kReopenIntervalMs = 550;

const QString kInterrupted = QStringLiteral("Соединение было прервано, последний пакет не доставлен");

}  // namespace

// A write to the port failed: a relaying cable port is lost as when it hangs up; otherwise
// the clients are dropped, the port is marked lost and reopened (cable) or the call ended
// (modem) once this event is over.
void ConnectionSession::WriteFailed() {
    Log(QStringLiteral("Ошибка записи в COM порт"));
    // A cable port whose device leaves fails the write as often as it hangs up first: a
    // lost port either way, what the connections sent held for the same device.
    if (!FModemConnect && FPhase == Phase::Relaying) {
        PortLost(QStringLiteral("Прибор недоступен"));
        return;
    }
    Q_EMIT StatusChanged(QStringLiteral("Прибор не доступен"), StatusColour::Red);
    DropTCPClients();
    if (FPhase != Phase::Relaying) return;
    if (!FModemConnect) KeepConnectionsFor(FVerInfo);
    SetPhase(Phase::PortLost);
    if (FModemConnect) {
        QMetaObject::invokeMethod(this, &ConnectionSession::LoseModemPort, Qt::QueuedConnection);
    } else if (!FReopenTimer->isActive()) {
        FReopenTimer->start(kFirstReopenMs);
    }
}

// ---- The bridge cycle ----

void ConnectionSession::MainCycle() {
    FVerInfo.clear();
    // The window hears nothing while the device answers, as a blocking read would.
    BeginIdentification(Phase::Identifying);
}

void ConnectionSession::BeginIdentification(Phase phase) {
    SetPhase(phase);
    FIdentification->Begin(FCOMHandle, FModemConnect);
}

void ConnectionSession::FinishIdentification(bool answered, const QByteArray& reply) {
    if (!IdentifyingPhase()) return;
    // What the device sends next waits in the port for the relay: the relay reads no more
    // until the port is given to the relay proper.
    if (FPhase == Phase::Rechecking) {
        FinishRecheck(answered, reply);
        return;
    }
    if (answered) FVerInfo = reply;
    SetPhase(Phase::Idle);
    // A lost call's connections wait for the redial of the same device, and only for it.
    const bool sameDevice = answered && SameDevice(FHeldFor, FVerInfo);
    CheckHeldConnections(answered ? FVerInfo : QByteArray(),
                         answered ? QStringLiteral("ответил другой прибор")
                                  : QStringLiteral("прибор не ответил"));
    // The program that was kept for the lost call's device is not the one for another.
    if (answered && !sameDevice && FSetupIsStarted) EndSetupProgram();
    if (!answered) {
        Log(QStringLiteral("Устройство не обнаружено, работа программы невозможна"));
        Q_EMIT ErrorMessage(NoDeviceMessage({FPortName, FSpeed, FModemConnect,
                                             Identification::Request(), reply,
                                             Identification::TimeoutMs / 1000}));
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

    Enter(ConnectionState::Connected);
    StartRelay();
}

// The port came back after a loss: what the connections held was meant for the device
// that was there, so it goes on only when the same device answers; otherwise they are
// closed and the relay serves whoever connects next.
void ConnectionSession::FinishRecheck(bool answered, const QByteArray& reply) {
    // The echo of what the device got before the loss may still come in after a pause
    // longer than the quiet wait and run into the reply: a reply that differs is asked
    // for once more, from a line that has had its say.
    if (answered && !FAskedAgain && !FHeldFor.isEmpty() && !SameDevice(FHeldFor, reply)) {
        FAskedAgain = true;
        Log(QStringLiteral("Ответ прибора не совпал с прежним, запрос повторён"));
        BeginIdentification(Phase::Rechecking);
        return;
    }
    CheckHeldConnections(answered ? reply : QByteArray(),
                         answered ? QStringLiteral("после переоткрытия порта ответил другой прибор")
                                  : QStringLiteral("после переоткрытия порта прибор не ответил"));
    if (answered) FVerInfo = reply;
    SetPhase(Phase::Relaying);
    Q_EMIT StatusChanged(QStringLiteral("Подключен"), StatusColour::ButtonText);
    RelayPort();
}

bool ConnectionSession::SameDevice(const QByteArray& before, const QByteArray& now) {
    // The reply names the model, its version and the serial number: the same reply is
    // the same device.
    const QByteArray known = before.trimmed();
    return !known.isEmpty() && known == now.trimmed();
}

void ConnectionSession::CheckHeldConnections(const QByteArray& verInfo, const QString& otherwise) {
    const QByteArray heldFor = std::exchange(FHeldFor, {});
    if (!verInfo.isEmpty() && SameDevice(heldFor, verInfo)) return;
    DropConnections(otherwise);
}

void ConnectionSession::DropConnections(const QString& why) {
    const int open = FRelay->Clients() + FAdmission->Checking();
    FAdmission->DropChecking();
    FRelay->DropClients();
    if (open > 0) Log(QStringLiteral("Закрыты подключения к TCP серверу (%1): %2").arg(open).arg(why));
}

// The server's port cannot be bound (another program holds it): the user is told which
// port, why, and by whom where the system tells; nothing was launched and the window goes
// back to idle.
void ConnectionSession::ReportServerFailure() {
    const QString port = QString::number(FServerPort & 0xFFFF);
    const QString reason = FServer->ErrorString();
    const QString holder =
        QString::fromStdString(TCPPortHolder(static_cast<std::uint16_t>(FServerPort & 0xFFFF)));
    const QString byWhom = holder.isEmpty() ? QString() : QStringLiteral("Порт занят: %1.").arg(holder);
    Log(QStringLiteral("Не удалось запустить TCP сервер на порту %1: %2").arg(port, reason) +
        (byWhom.isEmpty() ? QString() : QStringLiteral(". ") + byWhom));
    Q_EMIT ErrorMessage(QStringLiteral("Не удалось запустить TCP сервер на порту %1.\n%2").arg(port, reason) +
                        (byWhom.isEmpty() ? QString() : QStringLiteral("\n") + byWhom));
    AbandonAttempt(QStringLiteral("главный цикл, TCP порт занят"));
}

// ---- The relay ----

void ConnectionSession::StartRelay() {
    SetPhase(Phase::Relaying);
    RelayPort();
}

void ConnectionSession::RelayPort() {
    FRelay->UsePortFor(RelayThread::PortUse::Relay);
}

// The end of a connection: port closed, server stopped (which drops the program's
// connection) and the configuration program stopped, unless a modem call was lost, when
// both stay for the redial and the window comes to the front.
void ConnectionSession::EndRelay() {
    if (!Connected()) return;
    SetPhase(Phase::Idle);
    const bool pending = FRelay->DetachPort();
    DeliverLog();
    ReleasePort();
    if (FModemConnect) {
        // The lost call's connections end with it. The configuration program stays for the
        // redial and connects again by itself: the server keeps its port, so that no other
        // program can take it meanwhile, and holds what the program sends until the redial
        // has reached the same device.
        DropConnections(QStringLiteral("вызов потерян"));
        if (FState == ConnectionState::CallLost) KeepConnectionsFor(FVerInfo);
        Q_EMIT BringToFront();
        return;
    }
    StopTCPServer();
    if (pending) Log(kInterrupted);
    StopSetupProgram();
}

// Relayed data for the log: one entry per direction for all that came since the last
// (nothing while the log is not wanted: the relay kept none). Handed on as it is, so that
// the lines logged after it come after it.
void ConnectionSession::DeliverLog() {
    const RelayThread::LogBatch batch = FRelay->TakeLog();
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
    // The relay never waits for the log: what it could not keep is counted, not hidden.
    if (batch.unlogged > 0) Log(QStringLiteral("Не записано в журнал байт: %1").arg(batch.unlogged));
}

// The port hung up. During the identification the answer is waited for all the same.
void ConnectionSession::RelayPortHungUp(quint64 generation) {
    if (generation != FIdentification->Generation() || (FPhase != Phase::Relaying && FPhase != Phase::Rechecking)) {
        return;
    }
    DeliverLog();
    PortLost(QStringLiteral("Прибор недоступен"));
}

void ConnectionSession::RelayWriteFailed(quint64 generation) {
    if (generation != FIdentification->Generation() || (FPhase != Phase::Relaying && !IdentifyingPhase())) return;
    DeliverLog();
    WriteFailed();
}

// A modem result word in the data (or in the identification's answer): the call is lost.
// Where the line said so, the modem takes commands again and "ATH" makes sure; otherwise
// the word may have been the device's data with the call still up, and the call is hung
// up the full way. Then the port closes.
void ConnectionSession::RelayResultWord(quint64 generation, const QByteArray& chunk, bool carrierDown) {
    if (generation != FIdentification->Generation() || (FPhase != Phase::Relaying && FPhase != Phase::Identifying)) {
        return;
    }
    DeliverLog();
    LogModemError(chunk);
    Enter(ConnectionState::CallLost, QStringLiteral("процедура COMRead"));
    HangUpCall(carrierDown ? ModemLine::Command : ModemLine::Unknown);
    if (FPhase == Phase::Identifying) {
        FinishIdentification(false, FIdentification->Reply());
    } else {
        EndRelay();
    }
}

void ConnectionSession::LogModemError(const QByteArray& chunk) {
    Log(QStringLiteral("Завершение работы по ошибке модема"));
    Log(QStringLiteral("Последний полученный пакет:"));
    Q_EMIT LogData(chunk, {});
}

// The port is gone (its presence test failed, or it hung up): closed, marked lost, and
// reopened once it can be (cable) or the call ended (modem).
void ConnectionSession::PortLost(const QString& status) {
    if ((FPhase != Phase::Relaying && FPhase != Phase::Rechecking) || FState == ConnectionState::Idle) {
        return;
    }
    CloseCOM();
    Q_EMIT StatusChanged(status, StatusColour::Red);
    if (FPhase == Phase::Relaying) KeepConnectionsFor(FVerInfo);
    SetPhase(Phase::PortLost);
    if (FModemConnect) {
        LoseModemPort();
    } else {
        FReopenTimer->start(kFirstReopenMs);
    }
}

// The fallback for what the port itself does not tell: its name is asked for.
void ConnectionSession::CheckPortPresence() {
    if (FPhase != Phase::Relaying && FPhase != Phase::Rechecking) return;
    if (!COMPortExists(FPortName.toStdString())) PortLost(QStringLiteral("Прибор недоступен"));
}

void ConnectionSession::TryReopen() {
    if (FPhase != Phase::PortLost) return;
    Log(QStringLiteral("Попытка переокрытия COM порта"));
    if (FollowAdapter() && ReopenCOM()) {
        Log(QStringLiteral("Порт успешно переоткрыт"));
        // Another device may be on the line now: it is asked before anything held goes on.
        FAskedAgain = false;
        BeginIdentification(Phase::Rechecking);
        return;
    }
    if (!COMPortExists(FPortName.toStdString()) && !FTwinsReported) {
        CloseCOM();
        Q_EMIT StatusChanged(QStringLiteral("Прибор недоступен"), StatusColour::Red);
    }
    FReopenTimer->start(kReopenIntervalMs);
}

bool ConnectionSession::FollowAdapter() {
    if (FModemConnect || FPortIdentity.empty()) return true;
    const std::string name = FPortName.toStdString();
    if (COMPortIdentity(name) == FPortIdentity) return true;
    std::vector<std::string> names;
    GetCOMPortList(names, COMPortPrefix);
    const AdapterWhereabouts found = FindAdapter(FPortIdentity, names);
    if (!found.twins.empty()) {
        if (!FTwinsReported) {
            FTwinsReported = true;
            QStringList twins;
            for (const std::string& twin : found.twins) twins << QString::fromStdString(twin);
            Log(QStringLiteral("COM-порт %1 (%2) не найден: адаптеров без серийного номера "
                               "с теми же кодами несколько (%3), какой из них прежний, не узнать")
                    .arg(FPortName, QString::fromStdString(FPortIdentity), twins.join(QStringLiteral(", "))));
        }
        Q_EMIT StatusChanged(QStringLiteral("Прибор недоступен: подключено несколько "
                                            "одинаковых адаптеров без серийного номера"),
                             StatusColour::Red);
    }
    if (found.name.empty()) return false;
    FTwinsReported = false;
    Log(QString::fromStdString(AdapterFoundText(name, FPortIdentity, found)));
    FPortName = QString::fromStdString(found.name);
    FPortIdentity = found.identity;
    return true;
}

void ConnectionSession::LoseModemPort() {
    if (FPhase != Phase::PortLost) return;
    Log(QStringLiteral("Завершение работы по потере порта."));
    Enter(ConnectionState::Idle, QStringLiteral("главный цикл, модемное соединение, порт потерян"));
    Q_EMIT SettingsControlsEnabled(true);
    CloseCOM();
    EndRelay();
}
}  // namespace lintaro
