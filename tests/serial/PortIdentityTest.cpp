// What a port is, from a stand-in sysfs behind the test's own terminals; who holds one.
#include <gtest/gtest.h>

#include <fstream>

#include "OtherUser.h"
#include "SerialTestSupport.h"
#include "StandInSysfs.h"
#include "StandInTerminal.h"
#include "serial/PortIdentity.h"

namespace lintaro {
namespace {

TEST(PortIdentity, usb_adapters_are_known_by_ids_and_serial_number_else_by_their_socket) {
    test::StandInSysfs sysfs;
    testing_support::PortFolder folder;
    const std::string a = test::StandInTerminal(), clone = test::StandInTerminal(),
                      socket = test::StandInTerminal(), second = test::StandInTerminal(),
                      onboard = test::StandInTerminal(), bare = test::StandInTerminal();
    sysfs.AttachUsb(a, "usb1/1-2", "1-2:1.0/ttyUSB0", "0403", "6001", "A5\a0");
    sysfs.AttachUsb(clone, "usb1/1-3", "1-3:1.0/ttyUSB1", "0403", "6001", "A5\a0");
    sysfs.AttachUsb(socket, "usb1/1-1/1-1.4", "1-1.4:1.0", "1a86", "7523", "");
    sysfs.AttachUsb(second, "usb2/2-1", "2-1:1.1/ttyUSB3", "0403", "6010", "FT2");
    sysfs.Write("usb2/2-1/2-1:1.1/bInterfaceNumber", "01");
    sysfs.Attach(onboard, "platform/serial8250");
    std::filesystem::create_symlink(a, folder / "a");
    const std::pair<std::string, std::string> rows[] = {{a, "usb:0403:6001:A5?0"},
                                                        {folder / "a", "usb:0403:6001:A5?0"},
                                                        {socket, "usb:1a86:7523@1-1.4"},
                                                        {second, "usb:0403:6010:FT2/01.0"},
                                                        {onboard, ""},
                                                        {bare, ""},
                                                        {"/dev/null", ""},
                                                        {folder.path(), ""},
                                                        {"", ""}};
    for (const auto& [name, identity] : rows) EXPECT_EQ(COMPortIdentity(name), identity) << name;

    // Found again under its name; two names of one port are one; clones are nobody.
    const std::vector<std::string> names{bare, folder / "a", a, socket, second};
    EXPECT_EQ(FindCOMPortByIdentity("usb:1a86:7523@1-1.4", names), socket);
    EXPECT_EQ(FindCOMPortByIdentity("usb:0403:6001:A5?0", names), folder / "a");
    EXPECT_EQ(FindCOMPortByIdentity("usb:0403:6001:A5?0", {a, clone}), "");
    EXPECT_EQ(FindCOMPortByIdentity("usb:0403:6001:B", names), "");
    EXPECT_EQ(FindCOMPortByIdentity("", names), "");
}

// The test holds the port: named to the user, "another user" to anybody else.
TEST(PortHolder, a_busy_port_names_the_users_own_holder_or_else_another_user) {
    const std::string port = test::StandInTerminal();
    ASSERT_EQ(::chmod(port.c_str(), 0666), 0);
    COMHandle held = InvalidCOMHandle;
    ASSERT_TRUE(OpenCOMPort(port, 19200, held));
    std::string program;
    std::getline(std::ifstream("/proc/self/comm"), program);
    EXPECT_EQ(COMPortHolder(port), program + " (PID " + std::to_string(::getpid()) + ")");
    std::string why;
    const int seen = test::RunAsOtherUser(
        [&] {
            ::close(static_cast<int>(held));  // the copy that came with the fork
            COMHandle mine = InvalidCOMHandle;
            return !OpenCOMPort(port, 19200, mine) &&
                           LastCOMOpenFailure() == COMOpenFailure::Busy &&
                           COMPortHolder(port) == "другой пользователь"
                       ? 0
                       : 1;
        },
        why);
    CloseCOMPort(held);
    if (seen < 0) GTEST_SKIP() << why;
    EXPECT_EQ(seen, 0);
}

}  // namespace
}  // namespace lintaro
