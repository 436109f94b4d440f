// The connection controller: turns clicks on the link into connection attempts,
// cancellations and disconnections, and keeps the window's display in step.
#include <QApplication>
#include <QComboBox>
#include <QEventLoop>
#include <QTimer>
#include <QToolButton>

#include "COMSettingsUnit.h"
#include "MainFormUnit.h"
#include "MessageBoxes.h"
#include "PortWaiter.h"
#include "URLLabel.h"

namespace lintaro {

namespace {

// The link stays disabled for the whole click, on every way out.
class LinkDisabled {
public:
    explicit LinkDisabled(TURLLabel* link) : FLink(link) { FLink->setEnabled(false); }
    ~LinkDisabled() { FLink->setEnabled(true); }

private:
    TURLLabel* FLink;
};

}  // namespace

void TMainLintaroForm::URLLabel1Click() {
    LinkDisabled guard(URLLabel1);

    if (!IsCOMPortName(PortsListComboBox->currentText().toStdString())) {
        ShowErrorMessage(this, QStringLiteral("Нет доступных COM портов."));
        return;
    }
    const bool modem = ConnectTypeComboBox->currentIndex() == 0;
    if (URLLabel1->Tag() == 0 && modem && !PhoneNumberGiven()) return;

    switch (URLLabel1->Tag()) {
        case 0:
            URLLabel1->SetTag(1);
            URLLabel1->setText(QStringLiteral("Отмена подключения"));
            if (modem) {
                StartDialling();
                break;
            }
            ConnectTypeComboBox->setEnabled(false);
            PortsListComboBox->setEnabled(false);
            FModemConnect = false;
            SpeedButton1->setEnabled(false);
            if (OpenCOM() == InvalidCOMHandle) {
                SetStatus(QStringLiteral("COM-порт занят"), RedColor());
                return;
            }
            ConnectTypeComboBox->setEnabled(false);
            PortsListComboBox->setEnabled(false);
            SpeedButton1->setEnabled(false);
            SetStatus(QStringLiteral("Идет подключение"), ButtonTextColor());
            QCoreApplication::processEvents();
            MainCycle();
            break;

        case 1:
            URLLabel1->SetTag(0);
            URLLabel1->setText(QStringLiteral("Подключить"));
            SetStatus(QStringLiteral("Нет подключения"), ButtonTextColor());
            WriteLog(QStringLiteral("Установили \"Нет подключения\", нажатие на кнопку подключения в момент подключения к прибору"), {});
            if (modem) StopRingThread();
            // Also releases a handle that a failed open left behind.
            CloseCOM();
            EnableSettingsControls(true);
            break;

        case 2: {
            URLLabel1->SetTag(0);
            URLLabel1->setText(QStringLiteral("Подключить"));
            FNeedCOMReconnect = false;
            SetStatus(QStringLiteral("Нет подключения"), ButtonTextColor());
            WriteLog(QStringLiteral("Установили \"Нет подключения\", нажатие на кнопку подключения при подключенном приборе (разрыв подключения)"), {});
            if (modem) {
                EndModemCall();
            } else {
                // The port stays open: the interrupted cycle closes it when its loop ends.
                FConnected = false;
            }
            const QString port = PortsListComboBox->currentText();
            FillPortsList();
            SelectComboItem(PortsListComboBox, port);
            EnableSettingsControls(true);
            break;
        }

        case 3:
            // The port and the number are those of the lost call: the controls stayed
            // disabled.
            URLLabel1->SetTag(1);
            URLLabel1->setText(QStringLiteral("Отмена подключения"));
            StartDialling();
            break;

        default:
            break;
    }
}

COMHandle TMainLintaroForm::OpenCOM() {
    FCOMHandle = InvalidCOMHandle;
    if (ReopenCOM()) {
        WriteLog(QStringLiteral("COM порт успешно открыт"), {});
        return FCOMHandle;
    }
    WriteLog(QStringLiteral("Ошибка открытия COM порта"), {});
    return InvalidCOMHandle;
}

bool TMainLintaroForm::ReopenCOM() {
    if (FCOMHandle != InvalidCOMHandle) CloseCOM();
    const int speed = FCOMSettings != nullptr ? FCOMSettings->ReadSpeed() : 19200;
    const bool opened =
        OpenCOMPort(PortsListComboBox->currentText().toStdString(), speed, FCOMHandle);
    if (opened) {
        FNeedCOMReconnect = false;
        FPortWaiter->Attach(FCOMHandle);
    }
    return opened;
}

void TMainLintaroForm::CloseCOM() {
    // No I/O is ever left pending on the port (every call is synchronous and bounded),
    // so there is nothing to cancel before the close.
    FPortWaiter->Detach();
    CloseCOMPort(FCOMHandle);
}

void TMainLintaroForm::DelayWithMessages(std::uint32_t milliseconds) {
    // Sleeps in the event loop until an event or the deadline, so handlers run nested
    // in the wait without a core spinning.
    QEventLoop loop;
    QTimer::singleShot(std::chrono::milliseconds(milliseconds), &loop, &QEventLoop::quit);
    loop.exec();
}

}  // namespace lintaro
