#include "log/LogLines.h"

namespace lintaro {
namespace {

// One splitter for text and for bytes: `at(i)` is the code of the i-th character.
template <typename At>
std::vector<LogPiece> SplitPieces(qsizetype size, At at) {
    // The presence of a carriage return is judged on the whole text, also past a NUL.
    bool split = false;
    qsizetype n = size;
    for (qsizetype i = 0; i < size; ++i) {
        const char16_t c = at(i);
        if (c == u'\r') split = true;
        if (c == u'\0' && n == size) n = i;
    }
    if (!split) return {{0, n}};

    std::vector<LogPiece> pieces;
    qsizetype start = 0;
    qsizetype i = 0;
    while (i < n) {
        const char16_t c = at(i);
        if (c == u'\r' || c == u'\n') {
            pieces.push_back({start, i - start});
            i += (c == u'\r' && i + 1 < n && at(i + 1) == u'\n') ? 2 : 1;
            start = i;
        } else {
            ++i;
        }
    }
    if (start < n) pieces.push_back({start, n - start});
    return pieces;
}

}  // namespace

QStringList SplitLogText(const QString& text) {
    QStringList pieces;
    for (const LogPiece& piece :
         SplitPieces(text.size(), [&text](qsizetype i) { return text[i].unicode(); })) {
        pieces.append(text.mid(piece.start, piece.size));
    }
    return pieces;
}

std::vector<LogPiece> SplitLogBytes(QByteArrayView bytes) {
    // Most data holds no carriage return: one piece up to a NUL, found without a look at
    // each byte in turn.
    if (!bytes.contains('\r')) {
        const qsizetype nul = bytes.indexOf('\0');
        return {{0, nul < 0 ? bytes.size() : nul}};
    }
    return SplitPieces(bytes.size(), [bytes](qsizetype i) {
        return static_cast<char16_t>(static_cast<unsigned char>(bytes[i]));
    });
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
