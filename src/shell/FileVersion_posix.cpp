// ELF files have no version resource, so the build stamps one into the binary: a marker
// followed by the version text. Reading it back from the file (rather than returning the
// compiled-in constant) keeps the Windows meaning: a file without the block gives "".
#include <QFile>
#include <QFileInfo>

#include "FileVersion.h"

namespace lintaro {

namespace {

#define LINTARO_VERSION_MARKER "LINTARO-FILE-VERSION:"

// Kept in the binary even though nothing reads it in memory.
[[gnu::used]] const char kVersionBlock[] = LINTARO_VERSION_MARKER LINTARO_FILE_VERSION;

bool IsVersionChar(char c) { return (c >= '0' && c <= '9') || c == '.'; }

}  // namespace

QString GetFileVersionStr(const QString& fileName) {
    if (fileName.isEmpty() || !QFileInfo(fileName).isFile()) return {};
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly)) return {};
    const QByteArray marker(LINTARO_VERSION_MARKER);
    constexpr qint64 kChunk = 1 << 20;
    QByteArray window;
    while (!file.atEnd()) {
        window += file.read(kChunk);
        qsizetype at = 0;
        while ((at = window.indexOf(marker, at)) >= 0) {
            qsizetype end = at + marker.size();
            while (end < window.size() && IsVersionChar(window[end])) ++end;
            if (end == window.size() && !file.atEnd()) break;  // may continue in the next chunk
            // The marker's own text (used for searching) is followed by no version digit.
            if (end > at + marker.size() && end < window.size() && window[end] == '\0') {
                return QString::fromLatin1(window.mid(at + marker.size(), end - at - marker.size()));
            }
            at += 1;
        }
        // Keep a tail long enough to hold a marker cut by the chunk boundary.
        if (window.size() > 256) window = window.right(256);
    }
    return {};
}

}  // namespace lintaro
