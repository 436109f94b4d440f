// Forming the traffic log's lines. Plain code: the main window and the dialling thread
// both use it, each with its own layout.
#pragma once

#include <QByteArrayView>
#include <QString>
#include <QStringList>
#include <functional>
#include <vector>

namespace lintaro {

enum class LogLayout {
    MainWindow,  // stamp ": " direction " " piece
    RingThread,  // stamp ":" direction " " piece
};

// The pieces of a log text. Without a carriage return anywhere in the text it is one
// piece, line feeds included. With one, the text is cut at every CR, LF and CR LF; a
// break at the end gives no empty last piece. A NUL ends the text in both cases.
QStringList SplitLogText(const QString& text);

// Where the pieces of SplitLogText lie in a text of bytes, each byte one character.
struct LogPiece {
    qsizetype start = 0;
    qsizetype size = 0;
};
std::vector<LogPiece> SplitLogBytes(QByteArrayView bytes);

// One line of the layout from a stamp, a direction (may be empty) and a piece.
QString FormLogLine(const QString& stamp, const QString& direction, const QString& piece,
                    LogLayout layout);

// The lines of one log entry; `stamp` is called once per line, when it is formed.
QStringList FormLogLines(const QString& text, const QString& direction, LogLayout layout,
                         const std::function<QString()>& stamp);

}  // namespace lintaro
