// Modem connection control: the dialling thread's side in the session (its stages, its
// synchronised calls and its end, which takes the port over and runs the bridge cycle on a
// call that is up), the hang-up of a call.
#include <QCoreApplication>
#include <QEvent>
#include <utility>

#include "bridge/ConnectionSession.h"
#include "bridge/PortWaiter.h"
#include "bridge/RelayThread.h"
#include "log/CodePage.h"
#include "log/LogLines.h"
#include "log/TimeFuncs.h"
#include "serial/ModemWords.h"

namespace lintaro {

namespace {

// WM_RINGSTATUS as a posted event: WM_USER + 5.
const QEvent::Type RingStatusEventType = static_cast<QEvent::Type>(QEvent::User + 5);

class RingStatusEvent : public QEvent {
public:
    explicit RingStatusEvent(int stage) : QEvent(RingStatusEventType), Stage(stage) {}
    const int Stage;
};

}  // namespace

// Brings the dialling thread's requests onto the session's thread. Requests for a thread
// the session has already released are dropped.
class RingHost : public QObject, public RingThreadHost {
public:
    explicit RingHost(ConnectionSession* session) : QObject(session), FSession(session) {}

    void RequestSynchronize(TRingThread& thread) override {
        TRingThread* target = &thread;
        QMetaObject::invokeMethod(
            this, [this, target] { ServeIfAlive(target); }, Qt::QueuedConnection);
    }

    void PostRingStatus(TRingThread&, int stage) override {
        QCoreApplication::postEvent(this, new RingStatusEvent(stage));
    }

    void Adopt(TRingThread* thread) { FAlive.push_back(thread); }
    void Forget(TRingThread* thread) { std::erase(FAlive, thread); }

protected:
    bool event(QEvent* event) override {
        if (event->type() != RingStatusEventType) return QObject::event(event);
        Q_EMIT FSession->RingStatus(static_cast<RingStatusEvent*>(event)->Stage);
        return true;
    }

private:
    void ServeIfAlive(TRingThread* thread) {
        if (std::find(FAlive.begin(), FAlive.end(), thread) != FAlive.end()) {
            thread->ServeSynchronizedCalls();
        }
    }

    ConnectionSession* FSession;
    std::vector<TRingThread*> FAlive;
};

// ---- Modem connection control ----

void ConnectionSession::StartDialling(const QString& port, const QByteArray& phone) {
    Q_EMIT SettingsControlsEnabled(false);
    FModemConnect = true;

    if (FRingHost == nullptr) FRingHost = new RingHost(this);
    TRingThreadCreateStruct create;
    create.COM = port.toStdString();
    create.BaudRate = DefaultCOMSpeed;
    create.Phone = phone.toStdString();
    create.FormLines = [](const std::string& text, const std::string& tag) {
        std::vector<std::string> lines;
        const QStringList formed =
            FormLogLines(BytesToText(QByteArray::fromStdString(text)), QString::fromStdString(tag),
                         LogLayout::RingThread, GetTimeStamp);
        for (const QString& line : formed) lines.push_back(line.toStdString());
        return lines;
    };
    create.LogObject = [this](const std::string& line) {
        Q_EMIT RingLogLines({QString::fromStdString(line)});
    };
    create.TerminateHandler = [this](TRingThread& ring) { RingTerminated(ring); };
    create.Owner = FRingHost;
    create.Timings = FRingTimings;

    ReleaseFinishedRings();
    if (FRing) FRetiredRings.push_back(std::move(FRing));
    FRing = std::make_unique<TRingThread>(create);
    FRingHost->Adopt(FRing.get());
}

// Finished dialling threads are released; one whose end notification still runs further
// up this thread's stack waits until it has finished.
void ConnectionSession::ReleaseFinishedRings() {
    for (auto it = FRetiredRings.begin(); it != FRetiredRings.end();) {
        if ((*it)->Finished()) {
            FRingHost->Forget(it->get());
            it = FRetiredRings.erase(it);
        } else {
            ++it;
        }
    }
}

void ConnectionSession::StopRingThread() {
    if (!FRing) return;
    FRing->SetErrorCode(RingCode(RingResult::Cancelled));
    FRing->Terminate();
    // Serves the thread's log lines and its end notification while waiting.
    FRing->WaitFor();
    FRingHost->Forget(FRing.get());
    FRing.reset();
}

void ConnectionSession::EndModemCall() {
    HangUpCall(ModemLine::Data);
    FModemConnect = false;
}

void ConnectionSession::RingTerminated(TRingThread& ring) {
    FCOMHandle = ring.TakePort();
    FCallUp = ring.CallUp();
    const std::uint32_t code = ring.ErrorCode();
    if (code == RingCode(RingResult::Connected)) {
        FPortWaiter->Attach(FPortName.toStdString());
        MainCycle();
    } else if (code >= RingCode(RingResult::PortNotOpened) && code <= RingCode(RingResult::NoAnswer)) {
        ReleasePort();
        Q_EMIT StatusChanged(QString::fromUtf8(RingErrorTexts[code]), StatusColour::Red);
        Enter(ConnectionState::Idle);
        Q_EMIT SettingsControlsEnabled(true);
    } else if (code == RingCode(RingResult::Cancelled) || FCallUp) {
        // A cancel just after CONNECT leaves a call up: it is hung up, not just dropped.
        ReleasePort();
    }
}

void ConnectionSession::ReleasePort() {
    if (FCOMHandle == InvalidCOMHandle) {
        FCallUp = false;
        return;
    }
    if (FCallUp) {
        HangUpCall(ModemLine::Data);
    } else {
        CloseCOM();
    }
}

// The hang-up runs on its own thread with the port; its steps and its end come back here
// as queued calls (dropped should the session be gone first).
void ConnectionSession::HangUpCall(ModemLine line) {
    FRelay->DetachPort();
    FPortWaiter->Detach();
    const COMHandle port = std::exchange(FCOMHandle, InvalidCOMHandle);
    FCallUp = false;
    if (port == InvalidCOMHandle) return;
    // One port, one hang-up: a new call waits until the last one is down, so an earlier
    // hang-up has at most its end notice still queued.
    FHangUp.reset();
    FHangUp = std::make_unique<TModemHangUp>(
        port, line, FHangUpTimings,
        [this](HangUpStep step, const std::string& bytes) {
            QMetaObject::invokeMethod(
                this, [this, step, text = QByteArray::fromStdString(bytes)] { ReportHangUp(step, text); },
                Qt::QueuedConnection);
        },
        [this] { QMetaObject::invokeMethod(this, &ConnectionSession::HangUpEnded, Qt::QueuedConnection); });
}

void ConnectionSession::ReportHangUp(HangUpStep step, const QByteArray& bytes) {
    switch (step) {
        case HangUpStep::Sent:
            Q_EMIT LogLine(QString::fromLatin1(bytes), QStringLiteral("APP->COM"));
            break;
        case HangUpStep::Answer:
            if (!bytes.isEmpty()) Q_EMIT LogData(bytes, QStringLiteral("COM->APP"));
            break;
        case HangUpStep::NoAnswer:
            Log(QStringLiteral("Модем не ответил на завершение вызова"));
            break;
        case HangUpStep::DTRDropped:
            Log(QStringLiteral("Вызов завершён сбросом DTR"));
            break;
        case HangUpStep::DTRRefused:
            Log(QStringLiteral("Сбросить DTR не удалось: порт не управляет этой линией"));
            break;
    }
}

void ConnectionSession::HangUpEnded() {
    if (!FHangUp || !FHangUp->Finished()) return;
    FHangUp.reset();
    Q_EMIT HangUpFinished();
    if (FAfterHangUp) std::exchange(FAfterHangUp, nullptr)();
}
}  // namespace lintaro
