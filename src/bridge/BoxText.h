// A message box's text and the detail shown beneath it (the model, the file, the folder
// the program looked in) travel as one string through the connection's error signal.
#pragma once

#include <QString>

namespace lintaro {

// Unicode's paragraph separator: no message text contains it.
inline constexpr char16_t BoxDetailSeparator = u'\u2029';

inline QString WithDetail(const QString& text, const QString& detail) {
    return detail.isEmpty() ? text : text + QChar(BoxDetailSeparator) + detail;
}

}  // namespace lintaro
