#include <gtest/gtest.h>
#include "OtherUser.h"
#include "SerialTestSupport.h"
#include "StandInSysfs.h"
#include "StandInTerminal.h"
#include "serial/PortIdentity.h"

namespace lintaro {
namespace {

TEST(PortIdentity, usb_adapters_are_known_by_ids_and_serial_number_else_by_their_socket) {
    test::StandInSysfs sysfs;
    std::string a, clone, socket, second, onboard;
    for (std::string* t : {&a, &clone, &socket, &second, &onboard}) *t = test::StandInTerminal();
    sysfs.Attach(a, "usb1/1-2", "1-2:1.0/ttyUSB0", "0403 6001 A5\a0");
    sysfs.Attach(clone, "usb1/1-3", "1-3:1.0/ttyUSB1", "0403 6001 A5\a0");
    sysfs.Attach(socket, "usb1/1-1/1-1.4", "1-1.4:1.0", "1a86 7523");
    sysfs.Attach(second, "usb2/2-1", "2-1:1.1/ttyUSB3", "0403 6010 FT2", {{"usb2/2-1/2-1:1.1/bInterfaceNumber", "01"}});
    sysfs.Attach(onboard, "platform", "serial8250");
    const std::pair<std::string, std::string> rows[] = {
        {a, "usb:0403:6001:A5?0"}, {socket, "usb:1a86:7523@1-1.4"},
        {second, "usb:0403:6010:FT2/01.0"}, {onboard, ""}, {"/dev/null", ""}, {"/dev", ""}, {"", ""}};
    for (const auto& [name, identity] : rows) EXPECT_EQ(COMPortIdentity(name), identity) << name;
    EXPECT_EQ(FindCOMPortByIdentity("usb:0403:6001:A5?0", {"/dev/null", a, socket, second}), a);
    EXPECT_EQ(FindCOMPortByIdentity("usb:0403:6001:A5?0", {a, clone}), "");  // clones: nobody
    EXPECT_EQ(FindCOMPortByIdentity("", {"/dev/null", a}), "");

    // An adapter without a serial number, moved from socket 1-1.2: found in its new socket
    // while it is the only one of its kind, not at all beside a twin.
    using Names = std::vector<std::string>;
    EXPECT_EQ(FindMovedAdapter("usb:1a86:7523@1-1.2", {"/dev/null", a, socket, second}), Names{socket});
    EXPECT_EQ(FindMovedAdapter("usb:1a86:7523@1-1.2/01.0", {socket}), Names{});
    EXPECT_EQ(FindMovedAdapter("usb:0403:6001:A5?0", {a, socket}), Names{});
    const std::string twin = test::StandInTerminal();
    sysfs.Attach(twin, "usb1/1-1/1-1.3", "1-1.3:1.0", "1a86 7523");
    EXPECT_EQ(FindMovedAdapter("usb:1a86:7523@1-1.2", {socket, twin}), (Names{socket, twin}));
}

// The test holds the port: named to the user, "another user" to anybody else.
TEST(PortHolder, a_busy_port_names_the_users_own_holder_or_else_another_user) {
    const std::string port = test::StandInTerminal();
    COMHandle held = InvalidCOMHandle;
    ASSERT_TRUE(::chmod(port.c_str(), 0666) == 0 && OpenCOMPort(port, 19200, held));
    std::string program, why;
    std::getline(std::ifstream("/proc/self/comm"), program);
    EXPECT_EQ(COMPortHolder(port), program + " (PID " + std::to_string(::getpid()) + ")");
    const int seen = test::RunAsOtherUser([&] {
        ::close(static_cast<int>(held));  // the copy that came with the fork
        return OpenCOMPort(port, 19200, held) || COMPortHolder(port) != "другой пользователь";
    }, why);
    CloseCOMPort(held);
    if (seen < 0) GTEST_SKIP() << why;
    EXPECT_EQ(seen, 0);
}

// The far end of a pseudo-terminal (here the test, as the device simulator: the master
// and an open of the port) is not named beside a program that holds the port.
TEST(PortHolder, the_far_end_of_a_pseudo_terminal_is_no_holder_beside_another) {
    const std::string port = test::StandInTerminal();
    const int keep = ::open(port.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(keep, 0);
    const pid_t child = ::fork();
    if (child == 0) {
        const int fd = ::open(port.c_str(), O_RDWR | O_NOCTTY);
        if (fd >= 0 && ::dup2(fd, 0) == 0) ::execl("/bin/sleep", "sleep", "60", nullptr);
        ::_exit(1);
    }
    const std::string expected = "sleep (PID " + std::to_string(child) + ")";
    EXPECT_TRUE(testing_support::WaitUntil([&] { return COMPortHolder(port) == expected; }))
        << COMPortHolder(port);
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    ::close(keep);
}

}  // namespace
}  // namespace lintaro
