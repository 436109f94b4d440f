// A stand-in for sysfs (LINTARO_SYSFS_DIR while it lives): the hardware behind test terminals.
#pragma once

#include <stdlib.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

namespace lintaro::test {

class StandInSysfs {
    std::string FRoot = std::filesystem::temp_directory_path() / "lintaro-sysfs-XXXXXX";
public:
    StandInSysfs() { ::setenv("LINTARO_SYSFS_DIR", ::mkdtemp(FRoot.data()), 1); }
    ~StandInSysfs() { std::filesystem::remove_all(FRoot), ::unsetenv("LINTARO_SYSFS_DIR"); }
    // `terminal`'s device at devices/<usb>/<port>; `ids` "vendor product [serial]" of <usb>.
    void Attach(const std::string& terminal, const std::string& usb, const std::string& port,
                const std::string& ids = {}, std::map<std::string, std::string> files = {}) {
        struct stat st {};
        ::stat(terminal.c_str(), &st);
        const auto device = FRoot + "/devices/" + usb + "/" + port;
        const auto entry = FRoot + "/dev/char/" + std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev));
        for (const auto& folder : {device, entry}) std::filesystem::create_directories(folder);
        std::filesystem::create_directory_symlink(device, entry + "/device");
        std::istringstream words(ids);
        for (const char* name : {"/idVendor", "/idProduct", "/serial"})
            if (std::string word; words >> word) files[usb + name] = word;
        for (const auto& [path, text] : files) std::ofstream(FRoot + "/devices/" + path) << text;
    }
};

}  // namespace lintaro::test
