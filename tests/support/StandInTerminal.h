// A terminal that lists like a serial port but has nothing behind it: the far end of a
// pseudo-terminal whose master this test program keeps open until it ends. Plain POSIX,
// for the Qt-free tests as well.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace lintaro::test {

// The path of a new such terminal; empty when none could be made.
inline std::string StandInTerminal() {
    static std::vector<int> masters;  // kept open: the far end exists while they do
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0) return {};
    const char* name =
        ::grantpt(master) == 0 && ::unlockpt(master) == 0 ? ::ptsname(master) : nullptr;
    if (name == nullptr) {
        ::close(master);
        return {};
    }
    masters.push_back(master);
    return name;
}

}  // namespace lintaro::test
