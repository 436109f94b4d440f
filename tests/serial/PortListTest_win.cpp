// Port listing and presence on Windows: the names come from the MS-DOS device names
// (QueryDosDeviceW), presence from SetupAPI's present Ports-class devices. Under Wine the
// run's set-up maps the simulator's port (LINTARO_TEST_COMPORT); the port devices are
// registered by the tests themselves. The buffer growth for long lists is tested apart
// (DeviceNameListTest.cpp): no system here has a list that long.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "serial/COMUtils.h"
#include "PortDevice_win.h"

namespace lintaro {
namespace {

using testing_support::RegisteredPortDevice;
using Names = std::vector<std::string>;

Names Listed(const std::string& prefix) {
    Names list{"left over"};
    GetCOMPortList(list, prefix);
    return list;
}

bool Contains(const Names& names, const std::string& name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

std::string MappedPort() {
    const char* port = std::getenv("LINTARO_TEST_COMPORT");
    return port != nullptr ? port : "";
}

TEST(PortList, the_mapped_port_is_listed_and_only_names_with_the_prefix_are_kept) {
    const std::string port = MappedPort();
    ASSERT_FALSE(port.empty()) << "LINTARO_TEST_COMPORT names no mapped port";

    const Names com = Listed("COM");
    EXPECT_TRUE(Contains(com, port));
    for (const std::string& name : com) EXPECT_EQ(name.rfind("COM", 0), 0u) << name;

    // Unfiltered, the system's other device names are there too (drive letters and the like).
    const Names all = Listed("");
    EXPECT_TRUE(Contains(all, port));
    EXPECT_GT(all.size(), com.size());
    for (const std::string& name : com) EXPECT_TRUE(Contains(all, name)) << name;

    // The prefix is compared as it is.
    const Names exact = Listed(port);
    EXPECT_TRUE(Contains(exact, port));
    for (const std::string& name : exact) EXPECT_EQ(name.rfind(port, 0), 0u) << name;
    EXPECT_EQ(Listed("com"), Names{});
}

std::string LineOf(const Names& lines, const std::string& ending) {
    for (const std::string& line : lines) {
        if (line.size() >= ending.size() &&
            line.compare(line.size() - ending.size(), ending.size(), ending) == 0) {
            return line;
        }
    }
    return {};
}

TEST(PortPresence, present_port_devices_are_numbered_and_found_by_their_whole_name) {
    const RegisteredPortDevice com12("COM12");
    const RegisteredPortDevice nameless("COM31", std::nullopt);

    Names lines{"left over"};
    GetCOMPortFriendlyNames(lines);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i].rfind(std::to_string(i) + ": ", 0), 0u) << lines[i];
    }
    EXPECT_NE(LineOf(lines, ": Simulated port (COM12)"), "");
    // A device without a friendly name still has its line: the index and ": ".
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
        return !line.empty() && line.back() == ' ' && line.find(": ") == line.size() - 2;
    }));

    struct Case {
        const char* name;
        bool present;
    };
    for (const Case& c : {Case{"COM12", true}, Case{"com12", true}, Case{"COM1", false},
                          Case{"COM123", false}, Case{"COM31", false}, Case{"", false}}) {
        EXPECT_EQ(COMPortExists(c.name), c.present) << c.name;
    }
    EXPECT_TRUE(IsCOMPortName("COM12"));
    EXPECT_FALSE(IsCOMPortName("LPT1"));
}

TEST(PortPresence, a_removed_port_device_is_absent) {
    {
        const RegisteredPortDevice com12("COM12");
        ASSERT_TRUE(COMPortExists("COM12"));
    }
    EXPECT_FALSE(COMPortExists("COM12"));
    Names lines;
    GetCOMPortFriendlyNames(lines);
    EXPECT_EQ(LineOf(lines, "(COM12)"), "");
}

}  // namespace
}  // namespace lintaro
