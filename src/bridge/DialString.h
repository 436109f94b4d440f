// The phone number as it may go to the modem after "ATD".
#pragma once

#include <QString>

namespace lintaro {

inline constexpr int DialStringLimit = 40;

// Digits, "+", "*", "#", ",", the pause and wait modifiers W and P (either case), and
// the blanks, "-", "(", ")" and "." people write numbers with (modems skip them in a dial
// string), at most DialStringLimit characters. Anything else could end the command and
// add another (CR, LF), make a voice call (";") or cut the log line (NUL).
bool IsDialString(const QString& phone);

// The message that refuses any other number.
QString DialStringRefusal();

}  // namespace lintaro
