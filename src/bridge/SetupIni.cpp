#include "bridge/SetupIni.h"

#include <QStringDecoder>

#include "log/CodePage.h"

namespace lintaro {

namespace {

bool StartsWith(const QByteArray& bytes, std::initializer_list<unsigned char> mark) {
    if (bytes.size() < static_cast<qsizetype>(mark.size())) return false;
    qsizetype i = 0;
    for (unsigned char b : mark) {
        if (static_cast<unsigned char>(bytes[i++]) != b) return false;
    }
    return true;
}

QString Decode(QStringDecoder::Encoding encoding, QByteArrayView bytes) {
    QStringDecoder decoder(encoding, QStringDecoder::Flag::Stateless);
    return decoder.decode(bytes);
}

}  // namespace

QString DecodeSetupIni(const QByteArray& bytes, bool utf8WithoutBom) {
    const QByteArrayView view(bytes);
    if (StartsWith(bytes, {0xEF, 0xBB, 0xBF})) {
        return Decode(QStringDecoder::Utf8, view.sliced(3));
    }
    if (StartsWith(bytes, {0xFF, 0xFE})) return Decode(QStringDecoder::Utf16LE, view.sliced(2));
    if (StartsWith(bytes, {0xFE, 0xFF})) return Decode(QStringDecoder::Utf16BE, view.sliced(2));
    if (utf8WithoutBom) {
        QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        QString text = decoder.decode(view);
        if (!decoder.hasError()) return text;
    }
    return BytesToText(bytes);
}

QString SetupIniValue(const QString& text, const QString& key) {
    qsizetype lineStart = 0;
    while (lineStart < text.size()) {
        qsizetype lineEnd = lineStart;
        while (lineEnd < text.size() && text[lineEnd] != QLatin1Char('\r') &&
               text[lineEnd] != QLatin1Char('\n')) {
            ++lineEnd;
        }
        const QStringView line = QStringView(text).sliced(lineStart, lineEnd - lineStart);
        const qsizetype equals = line.indexOf(QLatin1Char('='));
        if (equals >= 0 && line.first(equals).compare(key, Qt::CaseInsensitive) == 0) {
            return line.sliced(equals + 1).toString();
        }
        // CR LF is one line end; a lone CR or LF is one too.
        if (lineEnd < text.size() && text[lineEnd] == QLatin1Char('\r') &&
            lineEnd + 1 < text.size() && text[lineEnd + 1] == QLatin1Char('\n')) {
            ++lineEnd;
        }
        lineStart = lineEnd + 1;
    }
    return {};
}

}  // namespace lintaro

namespace lintaro {

bool IsPlainProgramName(const QString& value) {
    if (value.isEmpty() || value.contains(QLatin1String(".."))) return false;
    for (const QChar c : value) {
        const char16_t u = c.unicode();
        if (u < 32 || u == 127 || u == '/' || u == '\\' || u == ':') return false;
        // C1 controls and the line and paragraph separators break lines as well.
        if ((u >= 0x80 && u < 0xA0) || u == 0x2028 || u == 0x2029) return false;
    }
    return true;
}

}  // namespace lintaro
