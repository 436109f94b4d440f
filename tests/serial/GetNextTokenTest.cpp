#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "serial/COMUtils.h"

namespace {

using namespace std::string_literals;
using lintaro::GetNextToken;

struct TokenWalk {
    const char* title;
    std::wstring text;
    int start;
    std::vector<std::wstring> items;  // in order, up to and including the empty one
    int endPos;                       // aStartPos after the empty item
};

class GetNextTokenWalk : public testing::TestWithParam<TokenWalk> {};

TEST_P(GetNextTokenWalk, yields_the_items_then_an_empty_one) {
    const TokenWalk& walk = GetParam();
    int pos = walk.start;
    std::wstring item = L"stale";
    for (const std::wstring& expected : walk.items) {
        GetNextToken(walk.text, pos, item);
        ASSERT_EQ(item, expected);
    }
    EXPECT_EQ(pos, walk.endPos);
}

INSTANTIATE_TEST_SUITE_P(
    Lists, GetNextTokenWalk,
    testing::Values(
        // The double NUL at the end of a device list ends the walk.
        TokenWalk{"device_list", L"COM1\0COM3\0\0"s, 1, {L"COM1", L"COM3", L""}, 12},
        // A walk may start inside an item.
        TokenWalk{"start_inside", L"COM1\0COM3\0\0"s, 3, {L"M1", L"COM3", L""}, 12},
        // Adjacent NULs end it early, like the end of the list.
        TokenWalk{"adjacent_nuls", L"A\0\0B\0"s, 1, {L"A", L""}, 4},
        // Without a closing NUL the last characters are no item and the walk restarts at 1.
        TokenWalk{"unterminated", L"COM1\0COM3"s, 1, {L"COM1", L""}, 1},
        // Past the end: empty, and the position stays.
        TokenWalk{"past_the_end", L"COM1\0"s, 6, {L""}, 6},
        TokenWalk{"far_past_the_end", L"COM1\0"s, 1000, {L""}, 1000},
        TokenWalk{"empty_text", L""s, 1, {L""}, 1}),
    [](const testing::TestParamInfo<TokenWalk>& info) { return info.param.title; });

TEST(GetNextToken, start_below_one_is_a_range_error_with_its_message) {
    for (int start : {0, -1, -1000}) {
        int pos = start;
        std::wstring item;
        try {
            GetNextToken(L"COM1\0\0"s, pos, item);
            ADD_FAILURE() << "no error for " << start;
        } catch (const std::out_of_range& e) {
            EXPECT_STREQ(e.what(), "aStartPos должен быть больше 0");
        }
        EXPECT_EQ(pos, start);
    }
}

}  // namespace
