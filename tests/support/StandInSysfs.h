// A stand-in for sysfs, named by LINTARO_SYSFS_DIR while it lives: the hardware behind the
// test's own terminals. Plain POSIX, for the Qt-free tests as well.
#pragma once

#include <stdlib.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace lintaro::test {

class StandInSysfs {
public:
    StandInSysfs() { ::setenv("LINTARO_SYSFS_DIR", ::mkdtemp(FRoot.data()), 1); }
    ~StandInSysfs() {
        ::unsetenv("LINTARO_SYSFS_DIR");
        std::filesystem::remove_all(FRoot);
    }

    // Puts `terminal`'s device at devices/<device>.
    void Attach(const std::string& terminal, const std::string& device) {
        struct stat st {};
        ::stat(terminal.c_str(), &st);
        const std::string entry = FRoot + "/dev/char/" + std::to_string(major(st.st_rdev)) + ":" +
                                  std::to_string(minor(st.st_rdev));
        std::filesystem::create_directories(FRoot + "/devices/" + device);
        std::filesystem::create_directories(entry);
        std::filesystem::create_directory_symlink(FRoot + "/devices/" + device, entry + "/device");
    }
    // A USB adapter at devices/<usb>, the terminal's port below it; no serial number if empty.
    void AttachUsb(const std::string& terminal, const std::string& usb, const std::string& port,
                   const std::string& vendor, const std::string& product,
                   const std::string& serial) {
        Attach(terminal, usb + "/" + port);
        Write(usb + "/idVendor", vendor);
        Write(usb + "/idProduct", product);
        if (!serial.empty()) Write(usb + "/serial", serial);
    }
    void Write(const std::string& path, const std::string& text) {
        std::ofstream(FRoot + "/devices/" + path) << text << "\n";
    }

private:
    std::string FRoot = std::filesystem::temp_directory_path() / "lintaro-sysfs-XXXXXX";
};

}  // namespace lintaro::test
