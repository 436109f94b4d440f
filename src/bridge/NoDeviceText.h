// What the box says when the device does not answer the identification request: the
// port and its line, what was sent and what came back, and what to try.
#pragma once

#include <QByteArray>
#include <QString>

namespace lintaro {

struct UnansweredRequest {
    QString Port;
    int Speed = 0;  // bit/s; not shown for a modem line
    bool Modem = false;
    QByteArray Request;
    QByteArray Reply;  // what came before the wait ended; empty when nothing did
    int WaitSeconds = 0;
};

// The box text with its detail (see BoxText.h).
QString NoDeviceMessage(const UnansweredRequest& request);

// Bytes as a user can read them: printable ASCII as it is, CR and LF as <CR> and <LF>,
// every other byte as its hex code in angle brackets; cut after `limit` bytes.
QString ShownBytes(const QByteArray& bytes, qsizetype limit);

}  // namespace lintaro
