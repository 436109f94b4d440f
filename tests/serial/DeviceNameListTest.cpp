// The growth rule of the Windows device-name list, against a stand-in for QueryDosDeviceW.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "serial/DeviceNameList.h"

namespace {

using namespace std::string_literals;
using lintaro::DeviceNameQuery;
using lintaro::ReadDeviceNameList;

// A system whose device list is `names` (NUL-separated, double NUL at the end). A short
// buffer gets error 122 and, depending on the system's version, either nothing or the part
// that fitted with its length.
struct FakeSystem {
    explicit FakeSystem(std::wstring list, bool cutLength = false)
        : names(std::move(list)), reportsCutLength(cutLength) {}

    std::wstring names;
    bool reportsCutLength = false;
    std::uint32_t failWith = 0;  // any other error
    std::vector<std::uint32_t> asked;

    DeviceNameQuery query() {
        return [this](wchar_t* buffer, std::uint32_t capacity, std::uint32_t& error) {
            asked.push_back(capacity);
            error = 0;
            if (failWith != 0) {
                error = failWith;
                return std::uint32_t{0};
            }
            if (names.size() > capacity) {
                error = 122;
                if (!reportsCutLength) return std::uint32_t{0};
                std::copy_n(names.data(), capacity, buffer);
                return capacity;
            }
            std::copy(names.begin(), names.end(), buffer);
            return static_cast<std::uint32_t>(names.size());
        };
    }
};

std::wstring ListOfLength(std::size_t length) {
    std::wstring names;
    for (int n = 1; names.size() + 8 < length; ++n) names += L"COM" + std::to_wstring(n) + L'\0';
    names.resize(length - 1, L'X');
    names += L'\0';
    return names;
}

TEST(DeviceNameList, a_list_that_fits_is_read_at_once_and_cut_to_its_length) {
    FakeSystem system(L"COM1\0LPT1\0C:\0\0"s);
    std::wstring names = L"stale";
    EXPECT_EQ(ReadDeviceNameList(system.query(), names), 0u);
    EXPECT_EQ(names, system.names);
    EXPECT_EQ(system.asked, (std::vector<std::uint32_t>{5120}));
}

TEST(DeviceNameList, a_short_buffer_without_length_grows_by_1024_until_the_list_fits) {
    FakeSystem system(ListOfLength(7500));
    std::wstring names;
    EXPECT_EQ(ReadDeviceNameList(system.query(), names), 0u);
    EXPECT_EQ(names, system.names);
    EXPECT_EQ(system.asked, (std::vector<std::uint32_t>{5120, 6144, 7168, 8192}));
}

TEST(DeviceNameList, a_cut_list_with_its_length_grows_to_that_length_plus_1024) {
    FakeSystem system(ListOfLength(12000), true);
    std::wstring names;
    EXPECT_EQ(ReadDeviceNameList(system.query(), names), 0u);
    EXPECT_EQ(names, system.names);
    EXPECT_EQ(system.asked,
              (std::vector<std::uint32_t>{5120, 6144, 7168, 8192, 9216, 10240, 11264, 12288}));
}

TEST(DeviceNameList, any_other_error_ends_the_reading_with_its_code) {
    FakeSystem system(L"COM1\0\0"s);
    system.failWith = 5;
    std::wstring names = L"stale";
    EXPECT_EQ(ReadDeviceNameList(system.query(), names), 5u);
    EXPECT_EQ(names, L"");
    EXPECT_EQ(system.asked.size(), 1u);
}

TEST(DeviceNameList, an_empty_list_is_no_error) {
    FakeSystem system(L""s);
    std::wstring names = L"stale";
    EXPECT_EQ(ReadDeviceNameList(system.query(), names), 0u);
    EXPECT_EQ(names, L"");
}

}  // namespace
