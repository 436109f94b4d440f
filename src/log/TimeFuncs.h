// Time stamps of the traffic log.
#pragma once

#include <QDateTime>
#include <QString>

namespace lintaro {

// The current local time as "yyyy.mm.dd hh:mm:ss.zzz", the colons being the user's time
// separator. Safe to call from any thread.
QString GetTimeStamp();

// The stamp of `time` with `separator` between hours, minutes and seconds.
QString FormatTimeStamp(const QDateTime& time, const QString& separator);
QString FormatTimeStamp(QDate date, QTime time, const QString& separator);

// The user's time separator, as GetTimeStamp uses it.
const QString& TimeStampSeparator();

// The separator between hours and minutes of a locale time format ("HH:mm" gives ":",
// "H.mm" gives "."); ":" when the format shows none.
QString TimeSeparator(const QString& timeFormat);

}  // namespace lintaro
