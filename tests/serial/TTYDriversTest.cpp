#include <gtest/gtest.h>

#include "serial/TTYDrivers.h"

namespace lintaro {
namespace {

// The table of a Debian machine, with lines a newer or odder kernel might add.
constexpr const char* kTable =
    "/dev/tty             /dev/tty        5       0 system:/dev/tty\n"
    "/dev/console         /dev/console    5       1 system:console\n"
    "/dev/ptmx            /dev/ptmx       5       2 system\n"
    "/dev/vc/0            /dev/vc/0       4       0 system:vtmaster\n"
    "usbserial            /dev/ttyUSB   188 0-511 serial\n"
    "serial               /dev/ttyS       4      64 serial\n"
    "pty_slave            /dev/pts      136 0-1048575 pty:slave\n"
    "pty_master           /dev/ptm      128 0-1048575 pty:master\n"
    "unknown              /dev/tty        4 1-63 console\n"
    "broken line\n"
    "bad                  /dev/bad      x 0-3 serial\n"
    "backwards            /dev/bw       9 5-1 serial\n"
    "ttyGS                /dev/ttyGS    239 0-3 serial";

TEST(TTYDrivers, only_serial_drivers_and_pseudo_terminal_far_ends_are_line_terminals) {
    const std::vector<TTYDriverRange> drivers = ParseTTYDrivers(kTable);
    EXPECT_EQ(drivers.size(), 10u);
    const struct {
        unsigned major, minor;
        bool line;
    } cases[] = {
        {188, 0, true}, {188, 511, true}, {188, 512, false},  // ttyUSB and past its range
        {4, 64, true},  {4, 65, false},                       // ttyS64 only
        {136, 7, true}, {239, 2, true},                       // pts/7, a dynamic major
        {5, 0, false},  {5, 1, false},    {5, 2, false},      // tty, console, ptmx
        {4, 0, false},  {4, 1, false},    {128, 3, false},    // consoles, pty master
        {1, 3, false},  {1, 9, false},    {9, 3, false},      // null, urandom, bad lines
    };
    for (const auto& c : cases) {
        EXPECT_EQ(IsLineTerminal(drivers, c.major, c.minor), c.line) << c.major << ":" << c.minor;
    }
    EXPECT_TRUE(ParseTTYDrivers("").empty());
    EXPECT_TRUE(ParseTTYDrivers("\n\n  \n").empty());
}

}  // namespace
}  // namespace lintaro
