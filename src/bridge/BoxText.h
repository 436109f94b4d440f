// A message box's text and the detail shown beneath it (the model, the file, the folder
// the program looked in) travel as one string through the connection's error signal.
#pragma once

#include <QString>

namespace lintaro {

// Unicode's paragraph separator: no message text contains it.
inline constexpr char16_t BoxDetailSeparator = u'\u2029';

// Text taken from another process (its name, its command line) as it may be shown: control
// characters and the marks that reorder text on screen (which could make a name read
// as another) become U+FFFD.
inline QString ShownText(QString text) {
    for (QChar& c : text) {
        const char16_t u = c.unicode();
        const bool control = u < 0x20 || (u >= 0x7f && u < 0xa0);
        const bool bidi = u == 0x061c || u == 0x200e || u == 0x200f || (u >= 0x202a && u <= 0x202e) ||
                          (u >= 0x2066 && u <= 0x2069);
        if (control || bidi) c = QChar(0xfffd);
    }
    return text;
}

inline QString WithDetail(const QString& text, const QString& detail) {
    return detail.isEmpty() ? text : text + QChar(BoxDetailSeparator) + detail;
}

}  // namespace lintaro
