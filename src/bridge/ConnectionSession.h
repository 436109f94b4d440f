// One connection of the wizard: everything a connection is (the port and its waiter, the
// local TCP server, the relay thread with the clients and both queues, the dialling
// thread, the started configuration program, the device's identification) and the rules
// by which it moves
// between the states of ConnectionState. The window forwards the user's actions here and
// renders what the session reports through its signals; the session knows no widget.
//
// The relay runs on a thread of its own (RelayThread), which moves bytes as soon as the
// port or a client has them; the session hands it the port and each accepted connection
// and decides what its reports mean (reopen, status, hang-up).
//
// The class is written in four files: ConnectionSession.cpp (state, the user's actions,
// the port), MainCycle.cpp (what the identification and the relay report),
// TCPServerEndpoint.cpp and ModemControl.cpp. The identification (Identification) and the
// admission of the server's connections (ConnectionAdmission) are parts of their own.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <vector>

#include "bridge/ConnectionState.h"
#include "bridge/Identification.h"
#include "bridge/ProcessInformation.h"
#include "bridge/SetupLauncher.h"
#include "serial/COMUtils.h"
#include "serial/ModemHangUp.h"
#include "serial/ModemWords.h"
#include "serial/RingThread.h"

class QTimer;

namespace lintaro {

class ConnectionAdmission;
class PortWaiter;
class RelayThread;
class RingHost;
class TServerSocket;

class ConnectionSession : public QObject {
    Q_OBJECT
public:
    explicit ConnectionSession(QObject* parent = nullptr);
    ~ConnectionSession() override;

    // Most bytes that one relay direction holds pending before it stops taking from its
    // source.
    static constexpr int PendingBound = 64 * 1024;
    // Most bytes of an identification reply that are kept.
    static constexpr int VerInfoCap = Identification::ReplyCap;

    // Where setup.ini and the configuration programs are looked up (with a trailing
    // separator); the executable's folder unless set.
    void SetProgramFolder(const QString& folder) { FProgramFolder = folder; }
    // Whether relayed data is logged at all (turning it into log text costs more than
    // relaying it): the window says so whenever its log window is shown or hidden. Not
    // until told; the relay keeps a copy of what it relays only while it is wanted.
    void SetDataLogWanted(bool wanted);
    // The dialling dialogue's timings; the production ones unless a test sets others.
    void SetRingTimings(const RingTimings& timings) { FRingTimings = timings; }
    // The hang-up's timings; the production ones unless a test sets others.
    void SetHangUpTimings(const HangUpTimings& timings) { FHangUpTimings = timings; }

    // The user's actions, by state (the window's URLLabel1Click forwards them).
    // Idle, cable: opens `port` at `speed` and, when it opened, identifies the device and
    // brings the connection up, serving the configuration program on `serverPort`.
    void ConnectCable(const QString& port, int speed, int serverPort);
    // Idle or CallLost, modem: dials `phone` (bytes in the 8-bit code page) on `port`.
    void Dial(const QString& port, const QByteArray& phone, int serverPort);
    // Connecting: gives the attempt up.
    void Cancel();
    // Connected: ends the connection (a modem call is hung up first).
    void Disconnect();
    // The window closes: the relay ends, a dialling thread is stopped, a modem call is
    // hung up, the configuration program is stopped. The state is left as it is. The
    // hang-up goes on afterwards (HangingUp); the window waits for HangUpFinished.
    void Close();

    // The steps of a connection, by their usual names (also for tests).
    COMHandle OpenCOM();
    bool ReopenCOM();
    void CloseCOM();
    // Identifies the device on the open port and, once it has answered, brings the
    // connection up; returns at once (the answer comes as the port's events).
    void MainCycle();
    bool StartTCPServer();
    void StopTCPServer();
    SetupStart StartSetupProgram();
    void StopSetupProgram();
    void StopRingThread();
    void EndModemCall();
    void RingTerminated(TRingThread& ring);
    // A modem call is being hung up: the port is the hang-up's until HangUpFinished.
    bool HangingUp() const { return FHangUp != nullptr; }

    // State, for the window, tests and the benchmark.
    ConnectionState State() const { return FState; }
    bool Connected() const {
        return FPhase == Phase::Relaying || FPhase == Phase::PortLost || FPhase == Phase::Rechecking;
    }
    bool SetupConnected() const;
    bool NeedCOMReconnect() const { return FPhase == Phase::PortLost || FPhase == Phase::Rechecking; }
    bool ModemConnect() const { return FModemConnect; }
    COMHandle PortHandle() const { return FCOMHandle; }
    const QByteArray& VerInfo() const { return FVerInfo; }
    void SetVerInfo(const QByteArray& verInfo) { FVerInfo = verInfo; }
    bool SetupIsStarted() const { return FSetupIsStarted; }
    const QString& SetupFile() const { return FSetupFile; }
    const TProcessInformation& SetupProcInfo() const { return FSetupProcInfo; }
    TRingThread* Ring() const { return FRing.get(); }

    // The status (and, for a missing permission, once a run, a box saying how to get
    // access) for a port that did not open.
    void ReportOpenFailure(COMOpenFailure failure);

Q_SIGNALS:
    void StateChanged(ConnectionState state);
    void StatusChanged(const QString& text, StatusColour colour);
    // A log entry; `direction` is a tag such as "TCP->COM", or empty.
    void LogLine(const QString& text, const QString& direction);
    // Data bytes for the log, taken as characters of the 8-bit code page.
    void LogData(const QByteArray& bytes, const QString& direction);
    // Lines the dialling thread formed itself; they are kept even while the log is hidden.
    void RingLogLines(const QStringList& lines);
    // The dialling thread reached a stage (WM_RINGSTATUS).
    void RingStatus(int stage);
    // A modal error box ("Ошибка") with `text`; the session goes on once it is closed.
    void ErrorMessage(const QString& text);
    // The application's error report for an error raised inside a step.
    void ErrorReport(const QString& text);
    // The four connection settings controls become usable or not.
    void SettingsControlsEnabled(bool enabled);
    // The window is to deaf itself to input while the device is identified, and hear again.
    void IdentificationStarted();
    void IdentificationFinished();
    // A modem connection ended with the configuration program still running.
    void BringToFront();
    // The modem call was hung up and its port closed.
    void HangUpFinished();

private:
    friend class RingHost;

    // What the session does with its port, within the connection state.
    enum class Phase {
        Idle,         // nothing (the dialling thread or the hang-up may hold the port)
        Identifying,  // the line is let fall quiet, the request goes out, the answer comes
        Relaying,     // connected: the relay thread relays the port
        PortLost,     // connected, the port gone: it is reopened (cable) or the call ends
        Rechecking,   // connected, the port reopened: the device is asked who it is before
                      // the connections that were held for it are relayed
    };
    bool IdentifyingPhase() const { return FPhase == Phase::Identifying || FPhase == Phase::Rechecking; }
    // The one place where the phase changes, with what follows from it (the window's
    // deafness, the identification's and the presence test's timers).
    void SetPhase(Phase phase);

    // The one place where the state changes. Entering Idle with `place` also shows
    // "Нет подключения" and logs where it happened; entering Connected shows "Подключен".
    void Enter(ConnectionState state, const QString& place = {});
    // A failed start of the connection: back to idle with the port closed.
    void AbandonAttempt(const QString& place);
    void Log(const QString& text) { Q_EMIT LogLine(text, {}); }

    void BeginIdentification(Phase phase);
    void FinishRecheck(bool answered, const QByteArray& reply);
    // Closes the configuration program's connections (those still being checked
    // included), saying why when there were any. Nothing they sent reaches the device.
    void DropConnections(const QString& why);
    // Connections may outlive a loss of the line only for the device they were made for:
    // they are kept when the device that answers next is the same one, else closed.
    void KeepConnectionsFor(const QByteArray& verInfo) { FHeldFor = verInfo; }
    void CheckHeldConnections(const QByteArray& verInfo, const QString& otherwise);
    static bool SameDevice(const QByteArray& before, const QByteArray& now);
    // The configuration program ends; the server keeps its port.
    void EndSetupProgram();
    void FinishIdentification(bool answered, const QByteArray& reply);
    void LogModemError(const QByteArray& chunk);
    void StartRelay();
    void EndRelay();
    // The relay relays the port that was identified.
    void RelayPort();
    void DeliverLog();
    void RelayPortHungUp(quint64 generation);
    void RelayWriteFailed(quint64 generation);
    void RelayResultWord(quint64 generation, const QByteArray& chunk, bool carrierDown);
    void WriteFailed();
    void DropTCPClients();
    void PortLost(const QString& status);
    void CheckPortPresence();
    void TryReopen();
    // Where the lost adapter is now; false while it is absent or another adapter holds
    // its old name.
    bool FollowAdapter();
    void LoseModemPort();
    void ReportServerFailure();
    void StartDialling(const QString& port, const QByteArray& phone);
    void ReleaseFinishedRings();
    // Hands the port over to the hang-up (which closes it), or closes it when no call is
    // up on it.
    void ReleasePort();
    void HangUpCall(ModemLine line);
    void ReportHangUp(HangUpStep step, const QByteArray& bytes);
    void HangUpEnded();

    QString FProgramFolder;
    QString FPortName;
    // What the cable connection's port is (empty where the system knows nothing): the
    // reopen follows the adapter, not its name.
    std::string FPortIdentity;
    // Twins of a lost adapter without a serial number were reported for this loss.
    bool FTwinsReported = false;
    int FSpeed = DefaultCOMSpeed;
    int FServerPort = DefaultServerPort;
    ConnectionState FState = ConnectionState::Idle;

    Phase FPhase = Phase::Idle;
    COMHandle FCOMHandle = InvalidCOMHandle;
    bool FAccessHintShown = false;
    bool FModemConnect = false;
    QByteArray FVerInfo;
    // The identification of the device whose connections are held across a loss of the
    // line (a lost call's redial, a reopened cable port); empty: none may be held.
    QByteArray FHeldFor;
    // The reopened port's device was asked a second time (its first reply differed).
    bool FAskedAgain = false;
    Identification* FIdentification = nullptr;
    TProcessInformation FSetupProcInfo;
    bool FSetupIsStarted = false;
    QString FSetupFile;
    SetupExitWatch FSetupExit;  // says when the program ends by itself
    QString FSetupMissing;      // what the launcher looked for in vain, for the box

    TServerSocket* FServer = nullptr;
    ConnectionAdmission* FAdmission = nullptr;
    RelayThread* FRelay = nullptr;
    PortWaiter* FPortWaiter = nullptr;
    QTimer* FPresenceTimer = nullptr;
    QTimer* FReopenTimer = nullptr;

    std::unique_ptr<TRingThread> FRing;
    // Dialling threads replaced while their end notification still ran; released once
    // finished.
    std::vector<std::unique_ptr<TRingThread>> FRetiredRings;
    RingHost* FRingHost = nullptr;
    RingTimings FRingTimings;
    HangUpTimings FHangUpTimings;
    // The port holds a modem call that reached CONNECT and was not hung up yet.
    bool FCallUp = false;
    std::unique_ptr<TModemHangUp> FHangUp;
    // What the user asked for while a hang-up still held the port; runs once it is free.
    std::function<void()> FAfterHangUp;
};

}  // namespace lintaro
