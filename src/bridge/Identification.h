// The device's identification on an attached port: the line is let fall quiet, the
// request goes out, and the reply is collected until its end mark or the time runs out.
// The relay thread is the port's only writer and reader; this drives it and tells the
// session how it ended.
#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <functional>

#include "serial/COMUtils.h"

class QTimer;

namespace lintaro {

class RelayThread;

class Identification : public QObject {
    Q_OBJECT
public:
    // A log entry: text with its direction tag ("APP->COM", or empty), or data bytes.
    struct LogSink {
        std::function<void(const QString& text, const QString& direction)> line;
        std::function<void(const QByteArray& bytes, const QString& direction)> data;
    };
    Identification(RelayThread* relay, LogSink log, QObject* parent = nullptr);

    // Most bytes of a reply that are kept.
    static constexpr int ReplyCap = 64 * 1024;
    static const QByteArray& Request();
    static constexpr int TimeoutMs = 10000;

    // Attaches `port` to the relay for identification and asks the device once the line
    // is quiet; ends with Finished unless stopped first.
    void Begin(COMHandle port, bool watchResultWords);
    // Ends it without Finished (the session left the identification).
    void Stop();
    // The reply so far (or as it came when Finished).
    const QByteArray& Reply() const { return FReply; }
    // The relay's current hold of the port; its reports about earlier ones are stale.
    quint64 Generation() const { return FGeneration; }

Q_SIGNALS:
    // The reply's end mark came (`answered`), or the wait for it ran out.
    void Finished(bool answered, const QByteArray& reply);

private:
    void SendRequest();
    void Read(quint64 generation, const QByteArray& bytes);
    void TimedOut();
    void Finish(bool answered);

    RelayThread* FRelay;
    LogSink FLog;
    bool FRunning = false;
    quint64 FGeneration = 0;
    // The reply so far, and its last bytes, in which the end mark may have begun.
    QByteArray FReply;
    QByteArray FCarry;
    // Before the request: how long the line has been waited on, and what it brought.
    QElapsedTimer FQuietWait;
    qint64 FStaleBytes = 0;
    bool FRequestSent = false;
    // The quiet wait before the request, then the wait for the reply.
    QTimer* FTimer = nullptr;
};

}  // namespace lintaro
