// Modem connection control: the link's modem branches (dial, cancel, hang up, redial) and
// the window's side of the dialling thread (its stages, its synchronised calls and its end
// notification, which takes the port over and runs the bridge cycle on a call that is up).
#include <QApplication>
#include <QComboBox>
#include <QEvent>
#include <QToolButton>
#include <thread>

#include "CodePage.h"
#include "DialString.h"
#include "ErrorReport.h"
#include "LOGUnit.h"
#include "LogLines.h"
#include "MainFormUnit.h"
#include "MessageBoxes.h"
#include "PortWaiter.h"
#include "TimeFuncs.h"
#include "URLLabel.h"

namespace lintaro {

namespace {

// WM_RINGSTATUS as a posted event: WM_USER + 5.
const QEvent::Type RingStatusEventType = static_cast<QEvent::Type>(QEvent::User + 5);

class RingStatusEvent : public QEvent {
public:
    explicit RingStatusEvent(int stage) : QEvent(RingStatusEventType), Stage(stage) {}
    const int Stage;
};

void Pause150ms() { std::this_thread::sleep_for(std::chrono::milliseconds(150)); }

}  // namespace

// Brings the dialling thread's requests onto the window's thread. Requests for a thread
// the window has already released are dropped.
class RingHost : public QObject, public RingThreadHost {
public:
    explicit RingHost(TMainLintaroForm* window) : QObject(window), FWindow(window) {}

    void RequestSynchronize(TRingThread& thread) override {
        TRingThread* target = &thread;
        QMetaObject::invokeMethod(
            this, [this, target] { ServeIfAlive(target); }, Qt::QueuedConnection);
    }

    void PostRingStatus(TRingThread&, int stage) override {
        QCoreApplication::postEvent(FWindow, new RingStatusEvent(stage));
    }

    void Adopt(TRingThread* thread) { FAlive.push_back(thread); }
    void Forget(TRingThread* thread) { std::erase(FAlive, thread); }

private:
    void ServeIfAlive(TRingThread* thread) {
        if (std::find(FAlive.begin(), FAlive.end(), thread) != FAlive.end()) {
            thread->ServeSynchronizedCalls();
        }
    }

    TMainLintaroForm* FWindow;
    std::vector<TRingThread*> FAlive;
};

bool TMainLintaroForm::HandleRingStatusEvent(QEvent* event) {
    if (event->type() != RingStatusEventType) return false;
    RunHandler([&] { WMRingStatus(static_cast<RingStatusEvent*>(event)->Stage); });
    return true;
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
    EnableSettingsControls(false);
    FModemConnect = true;

    if (FRingHost == nullptr) FRingHost = new RingHost(this);
    TRingThreadCreateStruct create;
    create.COM = PortsListComboBox->currentText().toStdString();
    create.BaudRate = 19200;
    create.Phone = TextToBytes(PhoneNumber->currentText()).toStdString();
    create.FormLines = [](const std::string& text, const std::string& tag) {
        std::vector<std::string> lines;
        const QStringList formed =
            FormLogLines(BytesToText(QByteArray::fromStdString(text)), QString::fromStdString(tag),
                         LogLayout::RingThread, GetTimeStamp);
        for (const QString& line : formed) lines.push_back(line.toStdString());
        return lines;
    };
    // The thread's lines go into the list whether or not the log window is shown.
    TLOGForm* log = FLOGForm;
    create.LogObject = [log](const std::string& line) {
        if (log != nullptr) log->AppendLines({QString::fromStdString(line)}, true);
    };
    create.TerminateHandler = [this](TRingThread& ring) { RingTerminated(ring); };
    create.Owner = FRingHost;
    create.Timings = FRingTimings;

    ReleaseFinishedRings();
    if (FRing) {
        FRetiredRings.push_back(std::move(FRing));
    }
    FRing = std::make_unique<TRingThread>(create);
    FRingHost->Adopt(FRing.get());
}

// Finished dialling threads are released; one whose end notification still runs further
// up this thread's stack (a lost call's cycle) waits until it has finished.
void TMainLintaroForm::ReleaseFinishedRings() {
    for (auto it = FRetiredRings.begin(); it != FRetiredRings.end();) {
        if ((*it)->Finished()) {
            FRingHost->Forget(it->get());
            it = FRetiredRings.erase(it);
        } else {
            ++it;
        }
    }
}

void TMainLintaroForm::StopRingThread() {
    if (!FRing) return;
    FRing->SetErrorCode(255);
    FRing->Terminate();
    // Serves the thread's log lines and its end notification while waiting.
    FRing->WaitFor();
    FRingHost->Forget(FRing.get());
    FRing.reset();
}

// At close: a thread still dialling is stopped and waited for, so its port is closed and
// the program can end. A thread whose call runs on this stack ends with that cycle (its
// WaitFor returns at once there).
void TMainLintaroForm::StopRingThreadForClose() {
    if (FRing && !FRing->Finished()) {
        FRing->SetErrorCode(255);
        FRing->Terminate();
        FRing->WaitFor();
    }
}

void TMainLintaroForm::EndModemCall() {
    FConnected = false;
    // "+++" as three separate writes, then the hang-up command, each given time to act.
    for (int i = 0; i < 3; ++i) WriteCOMPortStr(FCOMHandle, "+");
    Pause150ms();
    WriteCOMPortStr(FCOMHandle, "ATH\r\n");
    Pause150ms();
    CloseCOM();
    FModemConnect = false;
}

void TMainLintaroForm::RingTerminated(TRingThread& ring) {
    FCOMHandle = ring.TakePort();
    const std::uint32_t code = ring.ErrorCode();
    if (code == 0) {
        FPortWaiter->Attach(FCOMHandle);
        MainCycle();
    } else if (code >= 1 && code <= 7) {
        CloseCOMPort(FCOMHandle);
        SetStatus(QString::fromUtf8(RingErrorTexts[code]), RedColor());
        URLLabel1->SetTag(0);
        URLLabel1->setText(QStringLiteral("Подключить"));
        EnableSettingsControls(true);
    } else if (code == 255) {
        CloseCOMPort(FCOMHandle);
    }
}

void TMainLintaroForm::WMRingStatus(int stage) {
    QString text = Label7->text();
    switch (stage) {
        case 1:
            text = QStringLiteral("Инициализация модема");
            break;
        case 2:
            text = QStringLiteral("Регистрация в сети");
            break;
        case 3:
            text = QStringLiteral("Набор номера");
            break;
        default:
            break;
    }
    SetStatus(text, ButtonTextColor());
}

}  // namespace lintaro
