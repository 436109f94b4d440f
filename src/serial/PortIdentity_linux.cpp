// Port identities from sysfs, and the holders of a port from /proc (Linux).
#include "serial/PortIdentity.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string_view>

#include "serial/COMUtils_linux.h"
#include "serial/ForeignText.h"

namespace lintaro {

namespace {

constexpr const char* SysfsVariable = "LINTARO_SYSFS_DIR";
// From the port's device up to the USB device: usb-serial port, interface, device.
constexpr int UsbSearchDepth = 4;
// Sysfs attributes are short; /proc/<pid>/status has the ids near its top.
constexpr std::size_t AttributeLimit = 256;
constexpr std::size_t StatusLimit = 4096;

using DirHandle = std::unique_ptr<DIR, int (*)(DIR*)>;

std::string RealPath(const std::string& path) {
    char* real = ::realpath(path.c_str(), nullptr);
    if (real == nullptr) return {};
    std::string resolved = real;
    std::free(real);
    return resolved;
}

bool Inside(const std::string& path, const std::string& root) {
    return path.size() > root.size() && path.starts_with(root) &&
           (root.back() == '/' || path[root.size()] == '/');
}

// The start of a regular file. Never waits: a FIFO put in an attribute's place is not
// read.
std::string ReadStart(const std::string& path, std::size_t limit) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return {};
    struct stat st {};
    std::string text;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        text.resize(limit);
        const ssize_t n = ::read(fd, text.data(), limit);
        text.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    }
    ::close(fd);
    return text;
}

// The first line of an attribute, without trailing blanks; control characters (a
// device's serial number is its own to choose) become '?'.
std::string Attribute(const std::string& path) {
    std::string line = ReadStart(path, AttributeLimit);
    line.erase(std::min(line.find('\n'), line.size()));
    while (!line.empty() && (line.back() == ' ' || line.back() == '\r')) line.pop_back();
    for (char& c : line) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    }
    return line;
}

std::string SysfsRoot() {
    const char* folder = std::getenv(SysfsVariable);
    return RealPath(folder != nullptr && *folder != '\0' ? folder : "/sys");
}

// The real uid on the status file's "Uid:" line; false when it cannot be read.
bool ProcessUid(const std::string& folder, uid_t& uid) {
    const std::string status = ReadStart(folder + "/status", StatusLimit);
    const std::size_t at = status.find("\nUid:");
    if (at == std::string::npos) return false;
    char* end = nullptr;
    const unsigned long value = std::strtoul(status.c_str() + at + 5, &end, 10);
    if (end == status.c_str() + at + 5) return false;
    uid = static_cast<uid_t>(value);
    return true;
}

bool HasOpen(const std::string& folder, const std::vector<std::string>& targets) {
    const std::string fds = folder + "/fd";
    DirHandle dir(::opendir(fds.c_str()), ::closedir);
    if (!dir) return false;  // another user's, or gone
    while (const dirent* entry = ::readdir(dir.get())) {
        if (entry->d_name[0] == '.') continue;
        char target[4096];
        const ssize_t n = ::readlink((fds + "/" + entry->d_name).c_str(), target, sizeof target);
        if (n > 0 && std::find(targets.begin(), targets.end(),
                               std::string_view(target, static_cast<std::size_t>(n))) !=
                         targets.end()) {
            return true;
        }
    }
    return false;
}

// The number N of "/dev/pts/N"; empty for any other device.
std::string PtyNumber(const std::string& device) {
    constexpr std::string_view prefix = "/dev/pts/";
    if (!device.starts_with(prefix)) return {};
    const std::string number = device.substr(prefix.size());
    if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos) return {};
    return number;
}

// Whether the process holds the master end of pseudo-terminal `pty` too: then it is the
// far end of the line (a device simulator, socat's virtual port), not a user of the port.
bool HoldsFarEnd(const std::string& folder, const std::string& pty) {
    if (pty.empty()) return false;
    const std::string fds = folder + "/fd";
    DirHandle dir(::opendir(fds.c_str()), ::closedir);
    while (const dirent* entry = dir ? ::readdir(dir.get()) : nullptr) {
        if (entry->d_name[0] == '.') continue;
        char target[4096];
        const ssize_t n = ::readlink((fds + "/" + entry->d_name).c_str(), target, sizeof target);
        const std::string_view link(target, n > 0 ? static_cast<std::size_t>(n) : 0);
        if (link != "/dev/ptmx" && link != "/dev/pts/ptmx") continue;
        // Every master reads as ptmx; which terminal it drives is in its fdinfo.
        const std::string info = ReadStart(folder + "/fdinfo/" + entry->d_name, StatusLimit);
        if (info.find("\ntty-index:\t" + pty + "\n") != std::string::npos) return true;
    }
    return false;
}

}  // namespace

std::string COMPortIdentity(const std::string& name) {
    struct stat st {};
    if (name.empty() || ::stat(name.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) return {};
    const std::string root = SysfsRoot();
    if (root.empty()) return {};
    // By device number, so that every name of the port (a link in /dev/serial/by-id, one in
    // the port folder) leads to the same device.
    const std::string port = RealPath(root + "/dev/char/" + std::to_string(major(st.st_rdev)) +
                                      ":" + std::to_string(minor(st.st_rdev)) + "/device");
    if (!Inside(port, root)) return {};

    std::string usb = port;
    std::string below;  // the folder under the USB device on the way: its interface
    for (int level = 0;
         Attribute(usb + "/idVendor").empty() || Attribute(usb + "/idProduct").empty(); ++level) {
        const std::size_t slash = usb.rfind('/');
        if (level == UsbSearchDepth || slash == std::string::npos) return {};
        below = usb.substr(slash + 1);
        usb.erase(slash);
        if (!Inside(usb, root)) return {};  // no USB device above: an onboard or PCI port
    }

    std::string identity =
        "usb:" + Attribute(usb + "/idVendor") + ":" + Attribute(usb + "/idProduct");
    const std::string serial = Attribute(usb + "/serial");
    // Without a serial number the adapter is known by the socket it sits in (bus and
    // hub ports, the USB device's folder name).
    identity += serial.empty() ? "@" + usb.substr(usb.rfind('/') + 1) : ":" + serial;

    // Adapters with several ports have one interface per port, or several ports on one.
    std::string iface =
        below.empty() ? std::string() : Attribute(usb + "/" + below + "/bInterfaceNumber");
    std::string number = Attribute(port + "/port_number");
    if (iface.empty()) iface = "00";
    if (number.empty()) number = "0";
    if (iface != "00" || number != "0") identity += "/" + iface + "." + number;
    return identity;
}

namespace {

// The first name of each device among `names` whose identity `matches`.
template <typename Match>
std::vector<std::string> DevicesWith(const std::vector<std::string>& names, Match matches) {
    std::vector<std::string> found;
    std::vector<dev_t> devices;
    for (const std::string& name : names) {
        struct stat st {};
        if (!matches(COMPortIdentity(name)) || ::stat(name.c_str(), &st) != 0) continue;
        // Two names of one device (a link in the port folder) are one port.
        if (std::find(devices.begin(), devices.end(), st.st_rdev) != devices.end()) continue;
        devices.push_back(st.st_rdev);
        found.push_back(name);
    }
    return found;
}

// "usb:<vendor>:<product>" and "/<interface>.<port>" of an adapter known by its socket.
bool SocketIdentity(const std::string& identity, std::string& ids, std::string& port) {
    const std::size_t at = identity.find('@');
    if (!identity.starts_with("usb:") || at == std::string::npos) return false;
    ids = identity.substr(0, at);
    const std::size_t slash = identity.find('/', at);
    port = slash == std::string::npos ? std::string() : identity.substr(slash);
    return true;
}

}  // namespace

std::string FindCOMPortByIdentity(const std::string& identity,
                                  const std::vector<std::string>& names) {
    if (identity.empty()) return {};
    const std::vector<std::string> found =
        DevicesWith(names, [&](const std::string& other) { return other == identity; });
    // Two devices claim it (clone adapters): a guess could open the wrong one.
    return found.size() == 1 ? found.front() : std::string();
}

std::vector<std::string> FindMovedAdapter(const std::string& identity,
                                          const std::vector<std::string>& names) {
    std::string ids, port;
    if (!SocketIdentity(identity, ids, port)) return {};
    return DevicesWith(names, [&](const std::string& other) {
        std::string otherIds, otherPort;
        return SocketIdentity(other, otherIds, otherPort) && otherIds == ids && otherPort == port;
    });
}

std::string COMPortHolder(const std::string& name) {
    const std::string device = RealPath(name);
    if (device.empty()) return {};
    const std::string pty = PtyNumber(device);
    // The far end of a pseudo-terminal keeps the port open as well, to keep the line up:
    // it is named only when nobody else is.
    std::string holders, farEnds;
    for (const pid_t pid : posix::OwnProcessIdsHolding({device})) {
        const std::string folder = "/proc/" + std::to_string(pid);
        std::string program = Attribute(folder + "/comm");
        program = program.empty() ? "?" : ShownForeignText(program);
        std::string& list = HoldsFarEnd(folder, pty) ? farEnds : holders;
        list += (list.empty() ? "" : ", ") + program + " (PID " + std::to_string(pid) + ")";
    }
    if (holders.empty()) holders = farEnds;
    // The open said the port is in use, and none of the user's own processes has it.
    return holders.empty() ? "другой пользователь" : holders;
}

namespace posix {

std::vector<pid_t> OwnProcessIdsHolding(const std::vector<std::string>& targets) {
    const uid_t me = ::getuid();
    std::vector<pid_t> holders;
    DirHandle proc(::opendir("/proc"), ::closedir);
    while (const dirent* entry = proc ? ::readdir(proc.get()) : nullptr) {
        const std::string pid = entry->d_name;
        if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
        const std::string folder = "/proc/" + pid;
        uid_t uid = 0;
        if (!ProcessUid(folder, uid) || uid != me || !HasOpen(folder, targets)) continue;
        holders.push_back(static_cast<pid_t>(std::stol(pid)));
    }
    return holders;
}

std::string OwnProcessesHolding(const std::vector<std::string>& targets) {
    std::string holders;
    for (const pid_t pid : OwnProcessIdsHolding(targets)) {
        std::string program = ReadStart("/proc/" + std::to_string(pid) + "/comm", AttributeLimit);
        if (program.ends_with('\n')) program.pop_back();
        program = program.empty() ? "?" : ShownForeignText(program);
        holders += (holders.empty() ? "" : ", ") + program + " (PID " + std::to_string(pid) + ")";
    }
    return holders;
}

COMPortDescription DescribeUSBPort(const std::string& sysRoot, const std::string& name) {
    COMPortDescription result;
    const std::string real = RealPath(name);
    const std::string device = real.empty() ? name : real;
    const std::string tty = device.substr(device.rfind('/') + 1);
    if (tty.empty() || tty == "." || tty == "..") return result;
    std::string dir = RealPath(sysRoot + "/class/tty/" + tty + "/device");
    // The tty hangs below the USB interface, which hangs below the device: the one with
    // idVendor. An onboard UART has none.
    for (int level = 0; level < UsbSearchDepth && dir.size() > 1; ++level) {
        if (::access((dir + "/idVendor").c_str(), F_OK) == 0) {
            result.manufacturer = Attribute(dir + "/manufacturer");
            result.product = Attribute(dir + "/product");
            result.serial = Attribute(dir + "/serial");
            break;
        }
        dir.erase(dir.rfind('/'));
    }
    return result;
}

}  // namespace posix

}  // namespace lintaro
