// How the Windows port list reads the system's MS-DOS device names: the buffer starts at
// 5120 characters and grows by 1024 past whatever a short call reported. Kept apart from
// the system call so that the rule is tested on every platform with a stand-in query.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace lintaro {

inline constexpr std::uint32_t DeviceListFirstCapacity = 5120;
inline constexpr std::uint32_t DeviceListGrowth = 1024;
inline constexpr std::uint32_t ErrorInsufficientBuffer = 122;

// Fills `buffer` (room for `capacity` characters) with the NUL-separated names and returns
// the characters stored, setting `error` to the system's error code (0 for none): the
// contract of QueryDosDeviceW with a null device name followed by GetLastError.
using DeviceNameQuery =
    std::function<std::uint32_t(wchar_t* buffer, std::uint32_t capacity, std::uint32_t& error)>;

// Asks until the list fits and stores it in `names`, cut to the reported count (all its
// NUL separators included). Returns 0, or the error code of a failure other than a short
// buffer; `names` is then empty.
std::uint32_t ReadDeviceNameList(const DeviceNameQuery& query, std::wstring& names);

}  // namespace lintaro
