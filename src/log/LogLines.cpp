#include "log/LogLines.h"

namespace lintaro {

QStringList SplitLogText(const QString& text) {
    // The presence of a carriage return is judged on the whole text, also past a NUL.
    const bool split = text.contains(u'\r');
    const qsizetype nul = text.indexOf(QChar(u'\0'));
    const QString body = nul < 0 ? text : text.left(nul);
    if (!split) return {body};

    QStringList pieces;
    qsizetype start = 0;
    qsizetype i = 0;
    const qsizetype n = body.size();
    while (i < n) {
        const QChar c = body[i];
        if (c == u'\r' || c == u'\n') {
            pieces.append(body.mid(start, i - start));
            i += (c == u'\r' && i + 1 < n && body[i + 1] == u'\n') ? 2 : 1;
            start = i;
        } else {
            ++i;
        }
    }
    if (start < n) pieces.append(body.mid(start));
    return pieces;
}

QString FormLogLine(const QString& stamp, const QString& direction, const QString& piece,
                    LogLayout layout) {
    const QLatin1String colon =
        layout == LogLayout::MainWindow ? QLatin1String(": ") : QLatin1String(":");
    return stamp + colon + direction + QLatin1Char(' ') + piece;
}

QStringList FormLogLines(const QString& text, const QString& direction, LogLayout layout,
                         const std::function<QString()>& stamp) {
    QStringList lines;
    for (const QString& piece : SplitLogText(text)) {
        lines.append(FormLogLine(stamp(), direction, piece, layout));
    }
    return lines;
}

}  // namespace lintaro
