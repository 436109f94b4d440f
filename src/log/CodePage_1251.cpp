// Platforms without an ANSI code page stand in with Windows-1251, the code page of the
// program's own version block.
#include "log/CodePage.h"
#include "log/Cp1251.h"

namespace lintaro {

QString BytesToText(const QByteArray& bytes) {
    QString text(bytes.size(), Qt::Uninitialized);
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        text[i] = QChar(b < 0x80 ? char16_t(b) : Cp1251HighHalf[b - 0x80]);
    }
    return text;
}

QByteArray TextToBytes(const QString& text) {
    QByteArray bytes(text.size(), Qt::Uninitialized);
    for (qsizetype i = 0; i < text.size(); ++i) bytes[i] = Cp1251Byte(text[i].unicode());
    return bytes;
}

}  // namespace lintaro
