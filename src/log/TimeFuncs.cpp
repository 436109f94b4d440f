#include "log/TimeFuncs.h"

#include <QLocale>

namespace lintaro {

QString TimeSeparator(const QString& timeFormat) {
    qsizetype i = 0;
    const qsizetype n = timeFormat.size();
    while (i < n && timeFormat[i] != u'h' && timeFormat[i] != u'H') ++i;
    while (i < n && (timeFormat[i] == u'h' || timeFormat[i] == u'H')) ++i;
    QString separator;
    for (; i < n && timeFormat[i] != u'm'; ++i) {
        if (timeFormat[i] != u'\'') separator += timeFormat[i];  // quotes only escape
    }
    if (i == n || separator.isEmpty()) return QStringLiteral(":");
    return separator;
}

QString FormatTimeStamp(const QDateTime& time, const QString& separator) {
    return FormatTimeStamp(time.date(), time.time(), separator);
}

QString FormatTimeStamp(QDate date, QTime clock, const QString& separator) {
    const auto pad = [](int value, int width) {
        return QString::number(value).rightJustified(width, QLatin1Char('0'));
    };
    return pad(date.year(), 4) + QLatin1Char('.') + pad(date.month(), 2) + QLatin1Char('.') +
           pad(date.day(), 2) + QLatin1Char(' ') + pad(clock.hour(), 2) + separator +
           pad(clock.minute(), 2) + separator + pad(clock.second(), 2) + QLatin1Char('.') +
           pad(clock.msec(), 3);
}

const QString& TimeStampSeparator() {
    // Read once, like the other locale settings of the process; the dialling thread
    // stamps its lines too, and a function-local static is initialised thread-safely.
    static const QString separator =
        TimeSeparator(QLocale::system().timeFormat(QLocale::ShortFormat));
    return separator;
}

QString GetTimeStamp() {
    return FormatTimeStamp(QDateTime::currentDateTime(), TimeStampSeparator());
}

}  // namespace lintaro
