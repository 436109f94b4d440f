// A connection's first bytes: a browser's request is told at once, anything else is
// passed on as soon as it can no longer be one.
#include <gtest/gtest.h>

#include "bridge/BrowserTraffic.h"

namespace lintaro {
namespace {

struct FirstBytesCase {
    std::string_view bytes;
    FirstBytes kind;
};

constexpr FirstBytesCase kFirstBytes[] = {
    {"", FirstBytes::Undecided},
    {"POST", FirstBytes::Undecided},
    {"POST ", FirstBytes::Undecided},
    {"POST /cfg HTTP/1.1\r\n", FirstBytes::Http},
    {"GET /ws HTTP/1.1\r\nUpgrade: websocket", FirstBytes::Http},
    {"OPTIONS * HTTP/1.1", FirstBytes::Http},
    {"PRI * HTTP/2.0", FirstBytes::Http},
    {"VERSION-CONTROL /", FirstBytes::Http},
    {std::string_view("\x16\x03\x01\x02\x00\x01", 6), FirstBytes::Tls},
    {std::string_view("\x16\x03\x01\x02\x00", 5), FirstBytes::Undecided},
    // The device's own words, and binary frames, pass at the first byte that tells.
    {"+SET_ADDR=99\r\n", FirstBytes::Plain},
    {"ping", FirstBytes::Plain},
    {"AT+CSQ", FirstBytes::Plain},
    {"GET", FirstBytes::Undecided},
    {"GET\r", FirstBytes::Plain},
    {"GET ADDR", FirstBytes::Plain},
    {"-GET /", FirstBytes::Plain},
    {"ABCDEFGHIJKLMNOPQRSTUVWXY /", FirstBytes::Plain},
    {std::string_view("\x16\x03\x01\x02\x00\x02", 6), FirstBytes::Plain},
    {std::string_view("\x16\x04", 2), FirstBytes::Plain},
    {std::string_view("\0\x03", 2), FirstBytes::Plain},
};

TEST(FirstBytes, a_browsers_request_is_told_and_nothing_else_waits) {
    for (const auto& [bytes, kind] : kFirstBytes) {
        EXPECT_EQ(ClassifyFirstBytes(bytes), kind) << testing::PrintToString(std::string(bytes));
    }
}

}  // namespace
}  // namespace lintaro
