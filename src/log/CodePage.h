// The system's 8-bit (ANSI) code page: how data bytes become log text and how the saved
// log becomes bytes. One character per byte value, so any byte string survives the trip.
#pragma once

#include <QByteArray>
#include <QString>

namespace lintaro {

QString BytesToText(const QByteArray& bytes);

// Characters the code page lacks become '?'.
QByteArray TextToBytes(const QString& text);

}  // namespace lintaro
