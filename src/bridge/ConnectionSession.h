// One connection of the wizard: everything a connection is (the port and its waiter, the
// local TCP server and its clients, both relay queues, the dialling thread, the started
// configuration program, the device's identification) and the rules by which it moves
// between the states of ConnectionState. The window forwards the user's actions here and
// renders what the session reports through its signals; the session knows no widget.
//
// The relay is driven by events: the port's readiness, the clients' data and the room in
// their send queues move bytes as soon as they can, each direction holding at most
// PendingBound bytes before it stops taking from its source, so a slow client holds the
// device back (through the port's own queue) and a slow device holds the client back
// (through TCP).
//
// The class is written in four files: ConnectionSession.cpp (state,
// the user's actions, the port), MainCycle.cpp (identification and relay),
// TCPServerEndpoint.cpp and ModemControl.cpp.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "bridge/ConnectionState.h"
#include "bridge/ProcessInformation.h"
#include "bridge/SetupLauncher.h"
#include "serial/COMUtils.h"
#include "serial/ModemHangUp.h"
#include "serial/ModemWords.h"
#include "serial/RingThread.h"

class QTcpSocket;
class QTimer;

namespace lintaro {

class PortWaiter;
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
    static constexpr int VerInfoCap = 64 * 1024;

    // Where setup.ini and the configuration programs are looked up (with a trailing
    // separator); the executable's folder unless set.
    void SetProgramFolder(const QString& folder) { FProgramFolder = folder; }
    // Whether relayed data is logged at all (turning every chunk into log text costs more
    // than relaying it); asked per chunk. Always, unless set.
    void SetDataLogWanted(std::function<bool()> wanted) { FDataLogWanted = std::move(wanted); }
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
    void Cancel(bool modem);
    // Connected: ends the connection (a modem call is hung up first).
    void Disconnect(bool modem);
    // The window closes: the relay ends, a dialling thread is stopped, a modem call is
    // hung up, the configuration program is stopped. The state is left as it is. The
    // hang-up goes on afterwards (HangingUp); the window waits for HangUpFinished.
    void Close();

    // The steps of a connection, by their usual names (also for tests).
    COMHandle OpenCOM();
    bool ReopenCOM();
    void CloseCOM();
    void MainCycle();
    bool QueryVerInfo();
    int COMRead();
    int COMWrite(int count);
    bool DetectModemError(int count);
    QByteArray BufferToStr(int count) const;
    int StrToBuffer(const QByteArray& bytes);
    bool StartTCPServer();
    void StopTCPServer();
    bool SendToTCPClient(int count);
    SetupStart StartSetupProgram();
    void StopSetupProgram();
    void StopRingThread();
    void EndModemCall();
    void RingTerminated(TRingThread& ring);
    // A modem call is being hung up: the port is the hang-up's until HangUpFinished.
    bool HangingUp() const { return FHangUp != nullptr; }

    // State, for the window, tests and the benchmark.
    ConnectionState State() const { return FState; }
    bool Connected() const { return FConnected; }
    bool SetupConnected() const { return FSetupConnected; }
    bool NeedCOMReconnect() const { return FNeedCOMReconnect; }
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

    // The one place where the state changes. Entering Idle with `place` also shows
    // "Нет подключения" and logs where it happened; entering Connected shows "Подключен".
    void Enter(ConnectionState state, const QString& place = {});
    // A failed start of the connection: back to idle with the port closed.
    void AbandonAttempt(const QString& place);
    void Log(const QString& text) { Q_EMIT LogLine(text, {}); }
    bool DataLogged() const { return !FDataLogWanted || FDataLogWanted(); }

    void StartRelay();
    void EndRelay();
    void UpdateWatch();
    void RelayTcpToCom();
    void RelayComToTcp();
    void TakeFromClient();
    qint64 ClientBacklog() const;
    int COMWriteBytes(const char* bytes, int count);
    void DropTCPClients();
    void PortLost(const QString& status);
    void CheckPortPresence();
    void TryReopen();
    void LoseModemPort();
    void ClientConnected(QTcpSocket* socket);
    void ClientDisconnected(QTcpSocket* socket);
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
    std::function<bool()> FDataLogWanted;
    QString FPortName;
    int FSpeed = DefaultCOMSpeed;
    int FServerPort = DefaultServerPort;
    ConnectionState FState = ConnectionState::Idle;

    COMHandle FCOMHandle = InvalidCOMHandle;
    bool FNeedCOMReconnect = false;
    bool FConnected = false;
    bool FAccessHintShown = false;
    bool FModemConnect = false;
    QByteArray FVerInfo;
    TProcessInformation FSetupProcInfo;
    bool FSetupIsStarted = false;
    QString FSetupFile;
    SetupExitWatch FSetupExit;  // says when the program ends by itself
    QString FSetupMissing;      // what the launcher looked for in vain, for the box
    bool FSetupConnected = false;

    // The port's reads and the identification use FDataBuffer; bytes from the
    // configuration program wait in FReadSocket, in order, until the port has taken them.
    std::array<std::uint8_t, COMBufferSize> FDataBuffer{};
    QByteArray FReadSocket;
    TServerSocket* FServer = nullptr;
    // The configuration program's connection: the only one whose bytes are relayed.
    QPointer<QTcpSocket> FProgram;
    PortWaiter* FPortWaiter = nullptr;
    QTimer* FPresenceTimer = nullptr;
    QTimer* FReopenTimer = nullptr;
    bool FHeldBackByClient = false;
    // The last write to the port was short: its queue is (nearly) full.
    bool FPortFull = false;
    bool FRelayRunning = false;

    std::unique_ptr<TRingThread> FRing;
    // Dialling threads replaced while their end notification still ran; released once
    // finished.
    std::vector<std::unique_ptr<TRingThread>> FRetiredRings;
    RingHost* FRingHost = nullptr;
    RingTimings FRingTimings;
    HangUpTimings FHangUpTimings;
    // The port holds a modem call that reached CONNECT and was not hung up yet.
    bool FCallUp = false;
    // Result words are looked for across the port's reads of a modem call.
    ModemResultWatch FModemWatch;
    std::unique_ptr<TModemHangUp> FHangUp;
    // What the user asked for while a hang-up still held the port; runs once it is free.
    std::function<void()> FAfterHangUp;
};

}  // namespace lintaro
