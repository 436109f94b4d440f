// The platform-free part of the serial layer; COMUtils_posix.cpp and COMUtils_win.cpp hold
// the operating-system side.
#include "serial/COMUtils.h"

#include "serial/ModemWords.h"

#include <array>
#include <climits>
#include <stdexcept>
#include <string_view>

namespace lintaro {

namespace {

bool AsciiEqualNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (AsciiUpper(a[i]) != AsciiUpper(b[i])) return false;
    }
    return true;
}

}  // namespace

// Only the whole name in the closing parentheses counts, so COM1 is not taken for COM12
// and /dev/ttyUSB1 not for /dev/ttyUSB10.
bool FriendlyNameNamesPort(std::string_view line, std::string_view name) {
    if (line.size() < name.size() + 2 || line.back() != ')') return false;
    const std::size_t open = line.size() - name.size() - 2;
    if (line[open] != '(') return false;
    return AsciiEqualNoCase(line.substr(open + 1, name.size()), name);
}

void ReadCOMPortStr(COMHandle handle, std::string& data) {
    data.clear();
    std::array<std::uint8_t, COMBufferSize> buffer;
    const int n = ReadCOMPort(handle, buffer.data(), buffer.size());
    if (n > 0)
        data.assign(reinterpret_cast<const char*>(buffer.data()), static_cast<std::size_t>(n));
}

int WriteCOMPortStr(COMHandle handle, const std::string& data) {
    const int count =
        data.size() > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(data.size());
    return WriteCOMPort(handle, reinterpret_cast<const std::uint8_t*>(data.data()), count);
}

void GetNextToken(const std::wstring& text, int& aStartPos, std::wstring& item) {
    if (aStartPos < 1) throw std::out_of_range("aStartPos должен быть больше 0");
    const auto start = static_cast<std::size_t>(aStartPos) - 1;  // positions are 1-based
    item.clear();
    if (text.size() <= start) return;
    const std::size_t nul = text.find(L'\0', start);
    if (nul == std::wstring::npos) {
        aStartPos = 1;
        return;
    }
    item = text.substr(start, nul - start);
    aStartPos = static_cast<int>(nul) + 2;
}

bool COMPortListed(const std::string& name) {
    if (name.empty()) return false;
    std::vector<std::string> lines;
    GetCOMPortFriendlyNames(lines);
    for (const std::string& line : lines) {
        if (FriendlyNameNamesPort(line, name)) return true;
    }
    return false;
}

}  // namespace lintaro
