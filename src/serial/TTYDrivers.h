// Which character devices are terminals a serial line can sit behind, after the kernel's
// table of terminal drivers (/proc/tty/drivers on Linux). Plain text parsing, kept apart
// from the file so that it is tested (and fuzzed) on its own.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace lintaro {

struct TTYDriverRange {
    unsigned major = 0;
    unsigned minorFirst = 0;
    unsigned minorLast = 0;
    std::string type;  // "serial", "pty:slave", "system:console", ...
};

// One range per well-formed line: name, device, major, minor or first-last, type.
// Malformed lines are skipped.
std::vector<TTYDriverRange> ParseTTYDrivers(std::string_view text);

// A serial driver's terminal or the far end of a pseudo-terminal. Not /dev/tty, the
// console, /dev/ptmx, virtual consoles or pseudo-terminal masters.
bool IsLineTerminal(const std::vector<TTYDriverRange>& drivers, unsigned major, unsigned minor);

}  // namespace lintaro
