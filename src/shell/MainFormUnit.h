// The connection window: the wizard's only visible window and the owner of all connection
// state. Its concerns live in separate files: this folder holds the window itself, the
// settings store methods and the port list; bridge/ holds the controller, the bridge
// cycle, the launcher and the TCP endpoint, which act on the state kept here.
#pragma once

#include <QByteArray>
#include <QColor>
#include <QString>
#include <cstdint>
#include <QWidget>
#include <array>
#include <memory>
#include <vector>

#include "COMUtils.h"
#include "RingThread.h"

class QComboBox;
class QEventLoop;
class QLabel;
class QTcpSocket;
class QTimer;
class QToolButton;

namespace lintaro {

class TURLLabel;
class TCOMSettingsForm;
class TTCPServerSettingsForm;
class TLOGForm;
class TServerSocket;
class PortWaiter;
class RingHost;

// The started configuration program: process and thread handles and ids (on POSIX the
// process handle is the process id and the thread handle is unused).
struct TProcessInformation {
    std::intptr_t hProcess = 0;
    std::intptr_t hThread = 0;
    std::uint32_t dwProcessId = 0;
    std::uint32_t dwThreadId = 0;
};

class TMainLintaroForm : public QWidget {
    Q_OBJECT

public:
    explicit TMainLintaroForm(QWidget* parent = nullptr);
    ~TMainLintaroForm() override;

    // The windows created after this one (they do not exist while FormCreate runs).
    void SetCompanions(TCOMSettingsForm* comSettings, TTCPServerSettingsForm* tcpSettings,
                       TLOGForm* log);

    // Components, in declaration order; each carries its name as its object name.
    TServerSocket* ServerSocket = nullptr;
    QTimer* Timer = nullptr;
    QLabel* Label3 = nullptr;
    QLabel* Label4 = nullptr;
    QLabel* Label5 = nullptr;
    QComboBox* ConnectTypeComboBox = nullptr;
    QComboBox* PortsListComboBox = nullptr;
    TURLLabel* URLLabel1 = nullptr;
    QLabel* Label6 = nullptr;
    QLabel* Label7 = nullptr;
    QTimer* ErrTimer = nullptr;
    QToolButton* SpeedButton1 = nullptr;
    QComboBox* PhoneNumber = nullptr;

    // Port list (this folder, PortsList.cpp).
    void FillPortsList();

    // Settings store methods (SettingsStoreUnit.cpp).
    void LoadPhoneHistory();
    void AddPhoneToHistory(const QString& phone);
    void LoadCOMPort();
    void SaveCOMPort();
    static void SelectComboItem(QComboBox* comboBox, const QString& text);

    // Log entry of the window; stores nothing while the log window is hidden.
    void WriteLog(const QString& text, const QString& direction);
    // WriteLog of data bytes, taken as characters of the 8-bit code page.
    void WriteLogBytes(const QByteArray& bytes, const QString& direction);
    bool Autoscroll() const;
    void SetAutoscroll(bool) {}  // the setting lives in the log window's check box

    // Configuration program launcher (bridge/SetupLauncher.cpp).
    void StartSetupProgram();
    void StopSetupProgram();

    // Connection controller (bridge/ConnectionController.cpp).
    void URLLabel1Click();
    COMHandle OpenCOM();
    bool ReopenCOM();
    void CloseCOM();
    void DelayWithMessages(std::uint32_t milliseconds);

    // Bridge cycle (bridge/MainCycle.cpp).
    void MainCycle();
    bool QueryVerInfo();
    int COMRead();
    int COMWrite(int count);
    bool DetectModemError(int count);
    QByteArray BufferToStr(int count) const;
    int StrToBuffer(const QByteArray& bytes);

    // Modem connection control (bridge/ModemControl.cpp).
    bool PhoneNumberGiven();
    void StartDialling();
    void StopRingThread();
    void EndModemCall();
    void RingTerminated(TRingThread& ring);
    void WMRingStatus(int stage);
    // The dialling dialogue's timings; the production ones unless a test sets others.
    void SetRingTimings(const RingTimings& timings) { FRingTimings = timings; }
    TRingThread* Ring() const { return FRing.get(); }

    // TCP server endpoint (bridge/TCPServerEndpoint.cpp).
    bool StartTCPServer();
    void StopTCPServer();
    bool SendToTCPClient(int count);
    void ServerSocketClientConnect(QTcpSocket* socket);
    void ServerSocketClientDisconnect(QTcpSocket* socket);
    void ServerSocketClientRead(QTcpSocket* socket);

    // Most bytes that one relay direction holds pending before it stops taking from its
    // source, so that TCP or the port's own queue holds the sender back.
    static constexpr int PendingBound = 64 * 1024;

    // State, for tests and the benchmark.
    int ConnectionState() const;
    bool Connected() const { return FConnected; }
    bool SetupConnected() const { return FSetupConnected; }
    bool NeedCOMReconnect() const { return FNeedCOMReconnect; }
    COMHandle PortHandle() const { return FCOMHandle; }

    // Status label colours.
    static QColor ButtonTextColor();
    static QColor RedColor();
    void SetStatus(const QString& text, const QColor& colour);

    TCOMSettingsForm* COMSettings() const { return FCOMSettings; }
    TTCPServerSettingsForm* TCPServerSettings() const { return FTCPServerSettings; }
    TLOGForm* LOGForm() const { return FLOGForm; }

    // For the launcher's tests and the bridge: the device's identification reply.
    const QByteArray& VerInfo() const { return FVerInfo; }
    void SetVerInfo(const QByteArray& verInfo) { FVerInfo = verInfo; }
    bool SetupIsStarted() const { return FSetupIsStarted; }
    const QString& SetupFile() const { return FSetupFile; }
    const TProcessInformation& SetupProcInfo() const { return FSetupProcInfo; }
    // Where setup.ini and the configuration programs are looked up; the executable's
    // folder unless set.
    void SetProgramFolder(const QString& folder) { FProgramFolder = folder; }

protected:
    bool event(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void FormCreate();
    void ConnectTypeComboBoxChange(QComboBox* sender);
    void SpeedButton1Click();
    void FormClose();
    void FormKeyDown(QKeyEvent* event);
    void CreateComponents();
    void AutoSizeLabels();

    // Relay internals: see MainCycle.cpp.
    void RelayPass();
    void RelayTcpToCom();
    void RelayComToTcp();
    void CheckPortPresence();
    void WaitForTraffic(int milliseconds);
    void WakeCycle();
    void TakeFromClients();
    qint64 ClientBacklog() const;
    int COMWriteBytes(const char* bytes, int count);
    void DropTCPClients();
    void SetIdle(const QString& logPlace);
    void EnableSettingsControls(bool enabled);
    void ReportServerFailure();
    void ReleaseFinishedRings();
    void StopRingThreadForClose();
    bool HandleRingStatusEvent(QEvent* event);

    TCOMSettingsForm* FCOMSettings = nullptr;
    TTCPServerSettingsForm* FTCPServerSettings = nullptr;
    TLOGForm* FLOGForm = nullptr;
    QString FProgramFolder;

    // Connection state (fields in declaration order).
    bool FNeedCOMReconnect = false;
    COMHandle FCOMHandle = InvalidCOMHandle;
    QByteArray FVerInfo;
    TProcessInformation FSetupProcInfo;
    bool FSetupIsStarted = false;
    QString FSetupFile;
    bool FSetupConnected = false;
    bool FConnected = false;
    std::unique_ptr<TRingThread> FRing;
    bool FModemConnect = false;

    // The bridge's buffers: the port's reads and the identification use FDataBuffer; bytes
    // from the TCP clients wait in FReadSocket, in order, until the port has taken them.
    // Separate buffers, so that no direction can overwrite a chunk of the other.
    std::array<std::uint8_t, COMBufferSize> FDataBuffer{};
    QByteArray FReadSocket;
    PortWaiter* FPortWaiter = nullptr;
    QEventLoop* FWaitLoop = nullptr;
    QTimer* FPassTimer = nullptr;
    bool FWokenByPort = false;
    bool FEventsPumped = false;
    bool FHeldBackByClient = false;
    qint64 FLastPresenceTest = 0;
    // Dialling threads replaced while their end notification still ran (a redial clicked
    // inside the lost call's cycle); released once finished.
    std::vector<std::unique_ptr<TRingThread>> FRetiredRings;
    RingHost* FRingHost = nullptr;
    RingTimings FRingTimings;
    bool FPortReadIdle = false;
};

}  // namespace lintaro
