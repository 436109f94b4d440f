// The system's ANSI code page.
#include "log/CodePage.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace lintaro {

QString BytesToText(const QByteArray& bytes) {
    if (bytes.isEmpty()) return {};
    const int size = static_cast<int>(bytes.size());
    const int count = MultiByteToWideChar(CP_ACP, 0, bytes.constData(), size, nullptr, 0);
    if (count <= 0) return {};
    QString text(count, Qt::Uninitialized);
    MultiByteToWideChar(CP_ACP, 0, bytes.constData(), size, reinterpret_cast<wchar_t*>(text.data()),
                        count);
    return text;
}

QByteArray TextToBytes(const QString& text) {
    if (text.isEmpty()) return {};
    const auto* wide = reinterpret_cast<const wchar_t*>(text.utf16());
    const int size = static_cast<int>(text.size());
    const int count = WideCharToMultiByte(CP_ACP, 0, wide, size, nullptr, 0, nullptr, nullptr);
    if (count <= 0) return {};
    QByteArray bytes(count, Qt::Uninitialized);
    WideCharToMultiByte(CP_ACP, 0, wide, size, bytes.data(), count, nullptr, nullptr);
    return bytes;
}

}  // namespace lintaro
