// The window's side of a connection: the link's click turned into the session's actions
// by state, and the session's reports rendered in the window's controls.
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QToolButton>

#include "bridge/ConnectionSession.h"
#include "bridge/DialString.h"
#include "log/CodePage.h"
#include "log/LOGUnit.h"
#include "serial/ModemWords.h"
#include "serial/PortIdentity.h"
#include "shell/COMSettingsUnit.h"
#include "shell/ErrorReport.h"
#include "shell/InputDeafness.h"
#include "shell/MainFormUnit.h"
#include "shell/MessageBoxes.h"
#include "shell/TPCServerSettingsUnit.h"
#include "shell/URLLabel.h"

namespace lintaro {

namespace {

// The link stays disabled for the whole click, on every way out, and after it while the
// device is being identified.
class LinkDisabled {
public:
    LinkDisabled(TURLLabel* link, const std::unique_ptr<InputDeafness>& identifying)
        : FLink(link), FIdentifying(identifying) {
        FLink->setEnabled(false);
    }
    ~LinkDisabled() {
        if (!FIdentifying) FLink->setEnabled(true);
    }

private:
    TURLLabel* FLink;
    const std::unique_ptr<InputDeafness>& FIdentifying;
};

}  // namespace

void TMainLintaroForm::ConnectSession() {
    connect(FSession, &ConnectionSession::StateChanged, this, &TMainLintaroForm::ShowState);
    connect(FSession, &ConnectionSession::StatusChanged, this,
            [this](const QString& text, StatusColour colour) {
                SetStatus(text, colour == StatusColour::Red ? RedColor() : ButtonTextColor());
            });
    connect(FSession, &ConnectionSession::LogLine, this, &TMainLintaroForm::WriteLog);
    connect(FSession, &ConnectionSession::LogData, this, &TMainLintaroForm::WriteLogBytes);
    // The dialling thread's lines go into the list whether or not the log window is shown.
    connect(FSession, &ConnectionSession::RingLogLines, this, [this](const QStringList& lines) {
        if (FLOGForm != nullptr) FLOGForm->AppendLines(lines, true);
    });
    connect(FSession, &ConnectionSession::RingStatus, this,
            [this](int stage) { RunHandler([&] { WMRingStatus(stage); }); });
    connect(FSession, &ConnectionSession::ErrorMessage, this,
            [this](const QString& text) { ShowErrorMessage(this, text); });
    connect(FSession, &ConnectionSession::ErrorReport, this,
            [](const QString& text) { ShowErrorReport(text); });
    connect(FSession, &ConnectionSession::SettingsControlsEnabled, this,
            &TMainLintaroForm::EnableSettingsControls);
    connect(FSession, &ConnectionSession::IdentificationStarted, this,
            [this] { FDeafness = std::make_unique<InputDeafness>(this); });
    connect(FSession, &ConnectionSession::IdentificationFinished, this, [this] {
        FDeafness.reset();
        URLLabel1->setEnabled(true);
    });
    connect(FSession, &ConnectionSession::BringToFront, this, [this] {
        raise();
        activateWindow();
    });
}

void TMainLintaroForm::ShowState(lintaro::ConnectionState state) {
    URLLabel1->SetTag(static_cast<int>(state));
    URLLabel1->setText(LinkCaption(state));
    if (state != lintaro::ConnectionState::Connected) return;
    // The "Отключить" click may come at once.
    URLLabel1->setEnabled(true);
    // What the port is, while it is surely there: it is saved beside its name.
    FOpenedPort = PortsListComboBox->currentText();
    FOpenedPortId = QString::fromStdString(COMPortIdentity(FOpenedPort.toStdString()));
}

int TMainLintaroForm::ConnectionState() const { return URLLabel1->Tag(); }

void TMainLintaroForm::EnableSettingsControls(bool enabled) {
    ConnectTypeComboBox->setEnabled(enabled);
    PortsListComboBox->setEnabled(enabled);
    PhoneNumber->setEnabled(enabled);
    SpeedButton1->setEnabled(enabled);
}

int TMainLintaroForm::ServerPort() const {
    return FTCPServerSettings != nullptr ? FTCPServerSettings->TakeServerPort() : DefaultServerPort;
}

void TMainLintaroForm::URLLabel1Click() {
    LinkDisabled guard(URLLabel1, FDeafness);

    if (!IsCOMPortName(PortsListComboBox->currentText().toStdString())) {
        ShowNoPortsMessage();
        return;
    }
    const bool modem = ConnectTypeComboBox->currentIndex() == 0;
    const auto state = static_cast<lintaro::ConnectionState>(URLLabel1->Tag());
    if (state == lintaro::ConnectionState::Idle && modem && !PhoneNumberGiven()) return;

    switch (state) {
        case lintaro::ConnectionState::Idle:
            if (modem) {
                StartDialling();
                break;
            }
            ConnectTypeComboBox->setEnabled(false);
            PortsListComboBox->setEnabled(false);
            SpeedButton1->setEnabled(false);
            FSession->ConnectCable(PortsListComboBox->currentText(),
                                   FCOMSettings != nullptr ? FCOMSettings->ReadSpeed() : DefaultCOMSpeed,
                                   ServerPort());
            break;

        case lintaro::ConnectionState::Connecting:
            FSession->Cancel();
            break;

        case lintaro::ConnectionState::Connected: {
            FSession->Disconnect();
            const QString port = PortsListComboBox->currentText();
            FillPortsList();
            SelectComboItem(PortsListComboBox, port);
            EnableSettingsControls(true);
            break;
        }

        case lintaro::ConnectionState::CallLost:
            // The port and the number are those of the lost call: the controls stayed
            // disabled.
            StartDialling();
            break;
    }
}

bool TMainLintaroForm::PhoneNumberGiven() {
    QString phone = PhoneNumber->currentText();
    // Blanks and control characters at either end do not make a number.
    while (!phone.isEmpty() && phone.front().unicode() <= 32) phone.remove(0, 1);
    while (!phone.isEmpty() && phone.back().unicode() <= 32) phone.chop(1);
    if (phone.isEmpty()) {
        ShowErrorMessage(this, QStringLiteral("Не указан номер телефона."));
        return false;
    }
    // Only a dial string reaches the modem and the history.
    if (!IsDialString(PhoneNumber->currentText())) {
        ShowErrorMessage(this, DialStringRefusal());
        return false;
    }
    return true;
}

void TMainLintaroForm::StartDialling() {
    AddPhoneToHistory(PhoneNumber->currentText());
    FSession->Dial(PortsListComboBox->currentText(), TextToBytes(PhoneNumber->currentText()),
                   ServerPort());
}

void TMainLintaroForm::WMRingStatus(int stage) {
    QString text = Label7->text();
    switch (static_cast<RingStage>(stage)) {
        case RingStage::InitModem:
            text = QStringLiteral("Инициализация модема");
            break;
        case RingStage::Registration:
            text = QStringLiteral("Регистрация в сети");
            break;
        case RingStage::Dialling:
            text = QStringLiteral("Набор номера");
            break;
    }
    SetStatus(text, ButtonTextColor());
}

}  // namespace lintaro
