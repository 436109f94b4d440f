// Texts that other processes choose for themselves (their names, command lines) as the
// user may be shown them.
#pragma once

#include <string>
#include <string_view>

namespace lintaro {

// `text` (UTF-8) with every control character (C0, DEL, C1), every mark that changes the
// direction of what follows (U+061C, U+200E, U+200F, U+202A..U+202E, U+2066..U+2069) and
// every byte that is no valid UTF-8 replaced by U+FFFD: such a name could otherwise break
// a message's lines or show its words in another order than they stand.
std::string ShownForeignText(std::string_view text);

}  // namespace lintaro
