// The connection window: the wizard's only visible window. It holds the controls, renders
// what its connection session (bridge/ConnectionSession.h) reports and forwards the
// user's clicks and the close to it. This folder also holds the settings store methods
// and the port list.
#pragma once

#include <QByteArray>
#include <QColor>
#include <QString>
#include <QWidget>
#include <cstdint>
#include <memory>

#include "bridge/ConnectionSession.h"

class QComboBox;
class QLabel;
class QTimer;
class QToolButton;

namespace lintaro {

class TURLLabel;
class TCOMSettingsForm;
class TTCPServerSettingsForm;
class TLOGForm;
class InputDeafness;

class TMainLintaroForm : public QWidget {
    Q_OBJECT

public:
    explicit TMainLintaroForm(QWidget* parent = nullptr);
    ~TMainLintaroForm() override;

    // The windows created after this one (they do not exist while FormCreate runs).
    void SetCompanions(TCOMSettingsForm* comSettings, TTCPServerSettingsForm* tcpSettings,
                       TLOGForm* log);

    // Components, in declaration order; each carries its name as its object name.
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

    // What the start-up layout hides, for field engineers (EngineerOptions.cpp): the
    // connection-type row in the design's full layout, and the two settings dialogs in
    // the window's context menu.
    void ShowConnectionTypeRow();
    void EnableSettingsMenu();

    // Port list (this folder, PortsList.cpp).
    void FillPortsList();
    void ShowNoPortsMessage();

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
    // Whether anything is logged at all: the log window is shown. The one answer, given to
    // the session (and so to the relay) whenever it changes.
    bool LogShown() const;
    bool Autoscroll() const;
    void SetAutoscroll(bool) {}  // the setting lives in the log window's check box

    // The connection session that the window drives.
    ConnectionSession* Session() const { return FSession; }

    // Connection controller (ConnectionControl.cpp): the link's click, by state.
    void URLLabel1Click();
    // Modem connection control (ConnectionControl.cpp).
    bool PhoneNumberGiven();
    void StartDialling();
    void WMRingStatus(int stage);

    // The link's Tag, which mirrors the session's state.
    int ConnectionState() const;

    // Status label colours.
    static QColor ButtonTextColor();
    static QColor RedColor();
    void SetStatus(const QString& text, const QColor& colour);

    TCOMSettingsForm* COMSettings() const { return FCOMSettings; }
    TTCPServerSettingsForm* TCPServerSettings() const { return FTCPServerSettings; }
    TLOGForm* LOGForm() const { return FLOGForm; }

protected:
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
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

    void ConnectSession();
    void ShowState(lintaro::ConnectionState state);
    void EnableSettingsControls(bool enabled);
    int ServerPort() const;

    TCOMSettingsForm* FCOMSettings = nullptr;
    TTCPServerSettingsForm* FTCPServerSettings = nullptr;
    TLOGForm* FLOGForm = nullptr;
    ConnectionSession* FSession = nullptr;
    std::unique_ptr<InputDeafness> FDeafness;
    // The window closes once the modem call being hung up is down.
    bool FCloseAfterHangUp = false;
    // The port of the last connection and its identity, taken while it was open.
    QString FOpenedPort;
    QString FOpenedPortId;
};

}  // namespace lintaro
