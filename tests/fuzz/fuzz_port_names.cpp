// Port lists: the kernel's terminal driver table and the NUL-separated device name list.
#include <stdexcept>
#include <string>

#include "serial/COMUtils.h"
#include "FuzzCheck.h"
#include "serial/TTYDrivers.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::vector<lintaro::TTYDriverRange> drivers = lintaro::ParseTTYDrivers(text);
    for (const lintaro::TTYDriverRange& range : drivers) {
        FUZZ_CHECK(range.minorFirst <= range.minorLast);
        FUZZ_CHECK(lintaro::IsLineTerminal(drivers, range.major, range.minorFirst) ==
                   lintaro::IsLineTerminal(drivers, range.major, range.minorFirst));
    }

    // The same bytes as a list of names: the walk ends, every step moves on.
    const std::wstring names(text.begin(), text.end());
    int position = 1;
    std::wstring item;
    for (std::size_t steps = 0;; ++steps) {
        FUZZ_CHECK(steps <= names.size() + 1);
        const int before = position;
        lintaro::GetNextToken(names, position, item);
        if (item.empty()) break;
        FUZZ_CHECK(position > before);
    }
    return 0;
}
