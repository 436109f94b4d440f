// The identification: a device may still be sending what it sent before the port was
// opened (the echo of a transfer cut short by a quick reconnect), which would run into its
// reply: what comes is discarded until the line has been quiet a while, the port is
// emptied once more, and only then does the request go out.
#include "bridge/Identification.h"

#include <QTimer>
#include <utility>

#include "bridge/RelayThread.h"

namespace lintaro {

namespace {

const QByteArray kVerInfoRequest("+VER_INFO=?\r\n");
const QByteArray kVerInfoEnd("OK\r\n");
// Before the request the line must have been quiet this long; a line that never falls
// quiet gets the request after the limit all the same.
constexpr int kQuietBeforeRequestMs = 50;
constexpr qint64 kQuietWaitLimitMs = 1000;

}  // namespace

Identification::Identification(RelayThread* relay, LogSink log, QObject* parent)
    : QObject(parent), FRelay(relay), FLog(std::move(log)) {
    FTimer = new QTimer(this);
    FTimer->setSingleShot(true);
    connect(FTimer, &QTimer::timeout, this, &Identification::TimedOut);
    connect(FRelay, &RelayThread::PortData, this, &Identification::Read);
}

const QByteArray& Identification::Request() { return kVerInfoRequest; }

void Identification::Begin(COMHandle port, bool watchResultWords) {
    FReply.clear();
    FCarry.clear();
    FStaleBytes = 0;
    FRequestSent = false;
    FRunning = true;
    FQuietWait.start();
    FTimer->start(kQuietBeforeRequestMs);
    FGeneration = FRelay->AttachPort(port, watchResultWords, RelayThread::PortUse::Identify);
}

void Identification::Stop() {
    FRunning = false;
    FTimer->stop();
}

void Identification::TimedOut() {
    if (!FRunning) return;
    if (FRequestSent) {
        Finish(false);
    } else {
        SendRequest();
    }
}

// The relay writes the request itself, the port's one writer, after emptying the port's
// input; what it read before comes under an older generation, so it cannot pass for the
// reply.
void Identification::SendRequest() {
    if (FStaleBytes > 0) {
        FLog.line(QStringLiteral("Отброшено байт, пришедших до запроса: %1").arg(FStaleBytes), {});
    }
    FRequestSent = true;
    FGeneration = FRelay->SendRequest(kVerInfoRequest);
    FLog.line(QStringLiteral("+VER_INFO=?"), QStringLiteral("APP->COM"));
    FTimer->start(TimeoutMs);
}

// The reply is collected across reads until "OK" CR LF has come; the end mark is looked
// for only in the new bytes and the three before them, so a flood without it costs the
// time of reading it once.
void Identification::Read(quint64 generation, const QByteArray& bytes) {
    // Reads of an older generation came before the request went out.
    if (generation != FGeneration || !FRunning) return;
    if (!FRequestSent) {
        FStaleBytes += bytes.size();
        if (FQuietWait.elapsed() < kQuietWaitLimitMs) FTimer->start(kQuietBeforeRequestMs);
        FRelay->ContinueIdentify();
        return;
    }
    const QByteArray window = FCarry + bytes;
    if (FReply.size() < ReplyCap) FReply += bytes.left(ReplyCap - FReply.size());
    if (window.contains(kVerInfoEnd)) {
        FLog.data(FReply, QStringLiteral("COM->APP"));
        Finish(true);
        return;
    }
    FCarry = window.right(kVerInfoEnd.size() - 1);
    FRelay->ContinueIdentify();
}

// What the device sends next waits in the port: the relay reads no more until the port is
// given to the relay proper.
void Identification::Finish(bool answered) {
    Stop();
    const QByteArray reply = FReply;
    Q_EMIT Finished(answered, reply);
}

}  // namespace lintaro
