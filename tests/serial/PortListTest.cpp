// Port listing and presence, through the port folder. Links to far ends of pseudo-terminals
// stand for ports there: a terminal is all the listing asks for.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "OtherUser.h"
#include "SerialTestSupport.h"
#include "StandInTerminal.h"
#include "serial/COMUtils.h"
#include "serial/COMUtils_linux.h"

namespace lintaro {
namespace {

using namespace testing_support;
using Names = std::vector<std::string>;

void AddPort(const PortFolder& folder, const std::string& name) {
    std::filesystem::create_symlink(test::StandInTerminal(), folder / name);
}

Names Listed(const std::string& prefix) {
    Names list{"left over"};
    GetCOMPortList(list, prefix);
    return list;
}

TEST(PortList, the_port_folder_gives_its_character_devices_in_natural_order) {
    PortFolder folder;
    for (const char* name : {"sim10", "sim2", "sim1", "usb9", "sim02x"}) AddPort(folder, name);
    std::ofstream(folder / "notes.txt") << "not a port";
    std::filesystem::create_directory(folder / "sub");
    std::filesystem::create_directory_symlink(folder / "sub", folder / "sublink");
    std::filesystem::create_symlink(folder / "missing", folder / "dangling");
    AddPort(folder, ".hidden");

    EXPECT_EQ(Listed(folder.path() + "/"),
              (Names{folder / "sim1", folder / "sim2", folder / "sim02x", folder / "sim10",
                     folder / "usb9"}));
    EXPECT_EQ(Listed(folder / "sim1"), (Names{folder / "sim1", folder / "sim10"}));
    // The prefix is compared as it is.
    EXPECT_EQ(Listed(folder / "SIM"), Names{});

    // Unfiltered, the folder's ports are there in the same order among the machine's own.
    Names all = Listed("");
    std::erase_if(all, [&](const std::string& n) { return !n.starts_with(folder.path()); });
    EXPECT_EQ(all, Listed(folder.path()));
}

TEST(PortList, a_missing_port_folder_adds_nothing) {
    PortFolder folder;
    AddPort(folder, "sim0");
    ::setenv("LINTARO_PORT_DIR", (folder / "gone").c_str(), 1);
    EXPECT_EQ(Listed(folder.path()), Names{});
    ::setenv("LINTARO_PORT_DIR", (folder / "sim0").c_str(), 1);  // not a folder
    EXPECT_EQ(Listed(folder.path()), Names{});
    // A trailing slash changes nothing.
    ::setenv("LINTARO_PORT_DIR", (folder.path() + "/").c_str(), 1);
    EXPECT_EQ(Listed(folder.path()), Names{folder / "sim0"});
}

#ifdef __linux__
// A USB adapter as sysfs shows it: tty -> interface -> device with its strings.
TEST(PortList, a_usb_adapter_is_described_by_its_maker_model_and_serial_number) {
    PortFolder sys;
    const std::filesystem::path usb = sys / "devices/pci0/usb1/1-2";
    std::filesystem::create_directories(usb / "1-2:1.0/ttyUSB7");
    std::filesystem::create_directories(sys / "class/tty/ttyUSB7");
    std::filesystem::create_directory_symlink(usb / "1-2:1.0", sys / "class/tty/ttyUSB7/device");
    for (const char* attribute : {"idVendor", "manufacturer", "product", "serial"})
        std::ofstream(usb / attribute) << attribute << "-text\n";
    const COMPortDescription found = posix::DescribeUSBPort(sys.path(), "/dev/ttyUSB7");
    EXPECT_EQ(found.manufacturer, "manufacturer-text");
    EXPECT_EQ(found.product, "product-text");
    EXPECT_EQ(found.serial, "serial-text");
    // An onboard port, or a name sysfs does not know: nothing to add.
    EXPECT_EQ(posix::DescribeUSBPort(sys.path(), "/dev/ttyS0").product, "");
}
#endif

TEST(PortList, friendly_names_number_the_listed_ports_and_end_with_their_names) {
    PortFolder folder;
    for (const char* name : {"sim3", "sim12"}) AddPort(folder, name);
    const Names ports = Listed("");
    std::vector<std::string> lines{"left over"};
    GetCOMPortFriendlyNames(lines);

    ASSERT_EQ(lines.size(), ports.size());
    for (std::size_t i = 0; i < lines.size(); ++i) {
        EXPECT_TRUE(lines[i].starts_with(std::to_string(i) + ": ")) << lines[i];
        EXPECT_TRUE(lines[i].ends_with(" (" + ports[i] + ")")) << lines[i];
    }
    const auto k = static_cast<std::size_t>(
        std::find(ports.begin(), ports.end(), folder / "sim12") - ports.begin());
    ASSERT_LT(k, ports.size());
    EXPECT_EQ(lines[k], std::to_string(k) + ": Virtual port (" + (folder / "sim12") + ")");
}

TEST(PortList, presence_asks_for_the_whole_name_in_any_letter_case) {
    PortFolder folder;
    AddPort(folder, "sim12");
    std::string upper = folder / "sim12";
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](unsigned char c) { return std::toupper(c); });

    struct Case {
        std::string name;
        bool present;
    };
    for (const Case& c :
         {Case{folder / "sim12", true}, Case{upper, true}, Case{folder / "sim1", false},
          Case{folder / "sim123", false}, Case{folder / "im12", false}, Case{"sim12", false},
          Case{folder.path(), false}, Case{"", false}}) {
        EXPECT_EQ(COMPortExists(c.name), c.present) << c.name;
    }
    EXPECT_TRUE(IsCOMPortName("/dev/ttyUSB0"));
    EXPECT_FALSE(IsCOMPortName(""));
}

TEST(PortList, character_devices_that_are_no_line_terminals_are_neither_listed_nor_present) {
    PortFolder folder;
    AddPort(folder, "sim1");
    for (const char* device : {"/dev/null", "/dev/urandom", "/dev/zero", "/dev/ptmx", "/dev/tty"}) {
        std::filesystem::create_symlink(device, folder / ("bad" + std::string(device + 5)));
    }
    EXPECT_EQ(Listed(folder.path()), Names{folder / "sim1"});
    for (const char* name : {"badnull", "badurandom", "badzero", "badptmx", "badtty"}) {
        EXPECT_FALSE(COMPortExists(folder / name)) << name;
    }
}

}  // namespace
}  // namespace lintaro

namespace lintaro {

// Why an open failed, as the window tells the user: the system's own errors, a missing
// permission played by another user, a port that is gone and one that is held.
TEST(PortOpen, failures_say_whether_access_is_missing_the_device_gone_or_the_port_held) {
    const struct {
        int error;
        COMOpenFailure failure;
    } table[] = {{0, COMOpenFailure::None},          {EACCES, COMOpenFailure::NoAccess},
                 {EPERM, COMOpenFailure::NoAccess},  {ENOENT, COMOpenFailure::Gone},
                 {ENXIO, COMOpenFailure::Gone},      {ENODEV, COMOpenFailure::Gone},
                 {EIO, COMOpenFailure::Gone},        {EBUSY, COMOpenFailure::Busy},
                 {EWOULDBLOCK, COMOpenFailure::Busy}, {EINVAL, COMOpenFailure::Other}};
    for (const auto& row : table) {
        EXPECT_EQ(ClassifyCOMOpenError(row.error), row.failure) << row.error;
    }

    const std::string terminal = test::StandInTerminal();
    ASSERT_FALSE(terminal.empty());
    COMHandle handle = InvalidCOMHandle;
    EXPECT_FALSE(OpenCOMPort(terminal + "-gone", 19200, handle));
    EXPECT_EQ(LastCOMOpenFailure(), COMOpenFailure::Gone);

    ASSERT_TRUE(OpenCOMPort(terminal, 19200, handle));
    EXPECT_EQ(LastCOMOpenFailure(), COMOpenFailure::None);
    COMHandle second = InvalidCOMHandle;
    EXPECT_FALSE(OpenCOMPort(terminal, 19200, second));
    EXPECT_EQ(LastCOMOpenFailure(), COMOpenFailure::Busy);
    CloseCOMPort(handle);

    // A terminal of root's, closed to others, opened by another user.
    ASSERT_EQ(::chmod(terminal.c_str(), 0600), 0);
    std::string why;
    const int seen = test::RunAsOtherUser(
        [&] {
            COMHandle h = InvalidCOMHandle;
            if (OpenCOMPort(terminal, 19200, h)) return 1;
            return static_cast<int>(LastCOMOpenFailure()) + 10;
        },
        why);
    if (seen < 0) GTEST_SKIP() << why;
    EXPECT_EQ(seen, static_cast<int>(COMOpenFailure::NoAccess) + 10);
}

}  // namespace lintaro
