// The POSIX side of the serial layer: a port is a terminal device named by its path, and
// its handle is the file descriptor.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <system_error>
#include <thread>

#include "serial/COMUtils.h"
#include "serial/COMUtils_linux.h"
#include "serial/TTYDrivers.h"

namespace lintaro {

const char* const COMPortPrefix = "";

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// How long a write waits for a port that takes nothing more.
constexpr auto WriteStallLimit = 500ms;
// How long a close waits for queued output to leave before it discards the rest.
constexpr auto CloseDrainLimit = 500ms;

// The line settings each open port had before this process set its own. The driver keeps
// them from one open to the next (a USB modem's ttyACM for the next program that opens
// it), so the close gives them back.
std::mutex savedSettingsMutex;
std::map<int, termios> savedSettings;

constexpr const char* SysTTYDir = "/sys/class/tty";
constexpr const char* PortDirVariable = "LINTARO_PORT_DIR";

int FdOf(COMHandle handle) {
    return handle > INT_MAX ? -1 : static_cast<int>(handle);
}

int MillisecondsLeft(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(std::clamp<long long>(left.count(), 0, INT_MAX));
}

// The rates <termios.h> has constants for on every POSIX system; the rest go through
// the kernel's arbitrary-rate interface.
std::optional<speed_t> StandardSpeed(int speed) {
    struct Rate {
        int bitsPerSecond;
        speed_t constant;
    };
    static constexpr Rate rates[] = {
        {50, B50},       {75, B75},         {110, B110},      {134, B134},     {150, B150},
        {200, B200},     {300, B300},       {600, B600},      {1200, B1200},   {1800, B1800},
        {2400, B2400},   {4800, B4800},     {9600, B9600},    {19200, B19200}, {38400, B38400},
        {57600, B57600}, {115200, B115200}, {230400, B230400}};
    for (const Rate& rate : rates) {
        if (rate.bitsPerSecond == speed) return rate.constant;
    }
    return std::nullopt;
}

void MakeRaw8N1(termios& tio) {
    tio.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                          ICRNL | IXON | IXOFF | IXANY | INPCK);
    tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB);
#ifdef CRTSCTS
    tio.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
#endif
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    // Reads return at once with what is there; ReadCOMPort asks only for that anyway.
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
}

// Waits, within a bound, for the output queue to empty. tcdrain would wait without end
// on a line that flow control or a dead device holds up.
// True when the queue emptied (or cannot be asked), false when the port stalled.
bool DrainOutput(int fd) {
    const auto deadline = Clock::now() + CloseDrainLimit;
    for (;;) {
        int queued = 0;
        if (::ioctl(fd, TIOCOUTQ, &queued) != 0 || queued <= 0) return true;
        if (Clock::now() >= deadline) return false;
        // The kernel signals no "output queue empty" event, so look again shortly.
        std::this_thread::sleep_for(10ms);
    }
}

// Natural order: runs of digits compare by their value, so ttyUSB2 comes before ttyUSB10.
bool NaturalLess(std::string_view a, std::string_view b) {
    const auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
    std::size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (isDigit(a[i]) && isDigit(b[j])) {
            std::size_t aEnd = i, bEnd = j;
            while (aEnd < a.size() && isDigit(a[aEnd])) ++aEnd;
            while (bEnd < b.size() && isDigit(b[bEnd])) ++bEnd;
            while (i + 1 < aEnd && a[i] == '0') ++i;
            while (j + 1 < bEnd && b[j] == '0') ++j;
            const std::string_view aRun = a.substr(i, aEnd - i);
            const std::string_view bRun = b.substr(j, bEnd - j);
            if (aRun.size() != bRun.size()) return aRun.size() < bRun.size();
            if (aRun != bRun) return aRun < bRun;
            i = aEnd;
            j = bEnd;
            continue;
        }
        if (a[i] != b[j])
            return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
        ++i;
        ++j;
    }
    if (a.size() - i != b.size() - j) return a.size() - i < b.size() - j;
    return a < b;  // equal by value ("sim01", "sim1"): any fixed order will do
}

struct PresentPort {
    std::string name;
    std::string description;
};

using DirHandle = std::unique_ptr<DIR, int (*)(DIR*)>;

// The kernel's terminal drivers; the classic fixed numbers where the table cannot be read
// (ttyS, pseudo-terminal far ends, ACM and USB serial adapters, ttyAMA).
std::vector<TTYDriverRange> TerminalDrivers() {
    std::ifstream in("/proc/tty/drivers");
    if (in) {
        const std::string text((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
        std::vector<TTYDriverRange> drivers = ParseTTYDrivers(text);
        if (!drivers.empty()) return drivers;
    }
    return {{4, 64, 255, "serial"},
            {136, 0, 1048575, "pty:slave"},
            {166, 0, 255, "serial"},
            {188, 0, 511, "serial"},
            {204, 64, 255, "serial"}};
}

// Only terminals count as ports: any other character device (/dev/null, /dev/urandom,
// /dev/ptmx) is no serial line and must not be opened for writing.
bool IsLineTerminalPath(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode) &&
           IsLineTerminal(TerminalDrivers(), major(st.st_rdev), minor(st.st_rdev));
}

std::string FirstLineOf(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    return line;
}

// An onboard UART only counts when the chip answers. The serial core shows the type it
// found in sysfs, which spares opening the port (an open raises DTR and RTS on the line);
// older kernels tell it only through TIOCGSERIAL. A port that another program holds
// exclusively cannot be probed that way, but it is clearly there.
bool OnboardUARTPresent(const std::string& sysDir, const std::string& path) {
    const std::string type = FirstLineOf(sysDir + "/type");
    if (!type.empty()) return type != "0";  // 0: PORT_UNKNOWN
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return errno == EBUSY;
    const bool present = posix::UARTPresent(fd);
    ::close(fd);
    return present;
}

// The product name a USB device reports, found on the device above the tty's interface;
// otherwise a name after the driver's kind.
std::string DescribeHardwarePort(const std::string& ttyName, const std::string& sysDir) {
    if (char* real = ::realpath((sysDir + "/device").c_str(), nullptr)) {
        std::string dir = real;
        std::free(real);
        for (int level = 0; level < 4 && dir.size() > 1; ++level) {
            const std::string product = FirstLineOf(dir + "/product");
            if (!product.empty()) return product;
            dir.erase(dir.rfind('/'));
        }
    }
    if (ttyName.starts_with("ttyUSB")) return "USB Serial";
    if (ttyName.starts_with("ttyACM")) return "USB Modem";
    return "Serial port";
}

// Terminals with hardware behind them: virtual consoles and pseudo-terminals have no
// device link in sysfs.
// LINTARO_ONLY_PORT_DIR=1 lists the port folder alone: the demo and the tests must not
// see, or open, the machine's own serial ports.
bool OnlyPortDir() {
    const char* only = std::getenv("LINTARO_ONLY_PORT_DIR");
    return only != nullptr && std::string(only) == "1";
}

// The port folder with a trailing separator; empty when none is named.
std::string PortFolderPrefix() {
    const char* value = std::getenv(PortDirVariable);
    if (value == nullptr || *value == '\0') return {};
    std::string folder = value;
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    return folder == "/" ? folder : folder + "/";
}

void AddHardwarePorts(std::vector<PresentPort>& ports) {
    DirHandle dir(::opendir(SysTTYDir), ::closedir);
    if (!dir) {
        if (errno == ENOENT || errno == ENOTDIR) return;
        throw std::system_error(errno, std::generic_category(), SysTTYDir);
    }
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(dir.get());
        if (entry == nullptr) {
            if (errno != 0) throw std::system_error(errno, std::generic_category(), SysTTYDir);
            return;
        }
        const std::string name = entry->d_name;
        if (name.starts_with('.')) continue;
        const std::string sysDir = std::string(SysTTYDir) + "/" + name;
        struct stat st {};
        if (::stat((sysDir + "/device").c_str(), &st) != 0) continue;
        const std::string path = "/dev/" + name;
        if (!IsLineTerminalPath(path)) continue;
        if (name.starts_with("ttyS") && !OnboardUARTPresent(sysDir, path)) continue;
        ports.push_back({path, DescribeHardwarePort(name, sysDir)});
    }
}

// The folder that LINTARO_PORT_DIR names holds ports that are no hardware: links to
// pseudo-terminals of device simulators, or stable names for adapters. Hidden entries
// are left out, so a link can be built under a hidden name and then renamed into place.
void AddFolderPorts(std::vector<PresentPort>& ports) {
    const std::string base = PortFolderPrefix();
    if (base.empty()) return;
    DirHandle dir(::opendir(base.c_str()), ::closedir);
    if (!dir) return;
    while (const dirent* entry = ::readdir(dir.get())) {
        const std::string name = entry->d_name;
        if (name.starts_with('.')) continue;
        const std::string path = base + name;
        if (IsLineTerminalPath(path)) ports.push_back({path, "Virtual port"});
    }
}

std::vector<PresentPort> PresentPorts() {
    std::vector<PresentPort> ports;
    if (!OnlyPortDir()) AddHardwarePorts(ports);
    AddFolderPorts(ports);
    std::sort(ports.begin(), ports.end(), [](const PresentPort& a, const PresentPort& b) {
        return NaturalLess(a.name, b.name);
    });
    ports.erase(
        std::unique(ports.begin(), ports.end(),
                    [](const PresentPort& a, const PresentPort& b) { return a.name == b.name; }),
        ports.end());
    return ports;
}

}  // namespace

namespace {
thread_local COMOpenFailure lastOpenFailure = COMOpenFailure::None;
}  // namespace

COMOpenFailure LastCOMOpenFailure() { return lastOpenFailure; }

COMOpenFailure ClassifyCOMOpenError(int error) {
    switch (error) {
        case 0:
            return COMOpenFailure::None;
        case EACCES:
        case EPERM:
            return COMOpenFailure::NoAccess;
        case ENOENT:
        case ENXIO:
        case ENODEV:
        case EIO:
            return COMOpenFailure::Gone;
        case EBUSY:
        case EWOULDBLOCK:
            return COMOpenFailure::Busy;
        default:
            return COMOpenFailure::Other;
    }
}

bool OpenCOMPort(const std::string& name, int speed, COMHandle& handle) {
    handle = InvalidCOMHandle;
    lastOpenFailure = COMOpenFailure::Other;
    // Non-blocking for good: reads and writes must never hang the caller's thread.
    const int fd = ::open(name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        lastOpenFailure = ClassifyCOMOpenError(errno);
        return false;
    }
    // TIOCEXCL refuses further opens of the terminal, except by root. The advisory lock
    // also stops root and the programs that honour the usual lock. It is flock and not a
    // POSIX record lock, which any close of the same file in this process would release
    // (the port listing opens ports to probe them).
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || ::ioctl(fd, TIOCEXCL) != 0) {
        ::close(fd);
        lastOpenFailure = COMOpenFailure::Busy;
        return false;
    }
    handle = static_cast<COMHandle>(fd);
    posix::RequestLowLatency(fd);
    if (termios before{}; ::tcgetattr(fd, &before) == 0) {
        const std::lock_guard lock(savedSettingsMutex);
        savedSettings[fd] = before;
    }

    if (!SetCOMPortState(handle, speed)) return false;
    if (::tcflush(fd, TCIOFLUSH) != 0) return false;
    // The line state the devices expect: DTR off, RTS on. Pseudo-terminals have no modem
    // lines and refuse both calls, which does no harm.
    int dtr = TIOCM_DTR;
    int rts = TIOCM_RTS;
    ::ioctl(fd, TIOCMBIC, &dtr);
    ::ioctl(fd, TIOCMBIS, &rts);
    lastOpenFailure = COMOpenFailure::None;
    return true;
}

bool SetCOMPortState(COMHandle handle, int speed) {
    const int fd = FdOf(handle);
    if (speed <= 0) return false;
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0) return false;
    MakeRaw8N1(tio);
    const std::optional<speed_t> standard = StandardSpeed(speed);
    if (standard) {
        if (::cfsetispeed(&tio, *standard) != 0 || ::cfsetospeed(&tio, *standard) != 0)
            return false;
    }
    if (::tcsetattr(fd, TCSANOW, &tio) != 0) return false;
    if (!standard) return posix::SetArbitraryCOMSpeed(fd, speed);

    // tcsetattr succeeds when any part of the request was applied; a driver that cannot
    // reach the rate keeps another.
    termios now{};
    return ::tcgetattr(fd, &now) == 0 && ::cfgetospeed(&now) == *standard;
}

bool CloseCOMPort(COMHandle& handle) {
    if (handle == InvalidCOMHandle) return true;
    const int fd = FdOf(handle);
    // Stands in for a flush of the output: bounded, and only what a stalled port kept is
    // dropped. (A pseudo-terminal reports an empty queue while its reader has not yet
    // taken the bytes; discarding then would lose a last command such as "ATH".) A
    // vanished port refuses these calls, which is fine.
    if (!DrainOutput(fd)) ::tcflush(fd, TCOFLUSH);
    // The exclusive mode belongs to the terminal, not to this descriptor, and outlives
    // the close while anybody else keeps the terminal open.
    ::ioctl(fd, TIOCNXCL);
    posix::RestoreLowLatency(fd);
    std::optional<termios> before;
    {
        const std::lock_guard lock(savedSettingsMutex);
        if (const auto saved = savedSettings.find(fd); saved != savedSettings.end()) {
            before = saved->second;
            savedSettings.erase(saved);
        }
    }
    if (before) ::tcsetattr(fd, TCSANOW, &*before);
    // Linux releases the descriptor even when close reports EINTR or EIO.
    if (::close(fd) != 0 && errno == EBADF) return false;
    handle = InvalidCOMHandle;
    return true;
}

bool DiscardCOMPortInput(COMHandle handle) {
    return ::tcflush(FdOf(handle), TCIFLUSH) == 0;
}

bool SetCOMPortDTR(COMHandle handle, bool on) {
    int dtr = TIOCM_DTR;
    return ::ioctl(FdOf(handle), on ? TIOCMBIS : TIOCMBIC, &dtr) == 0;
}

int ReadCOMPort(COMHandle handle, std::uint8_t* buffer, std::size_t capacity) {
    if (buffer == nullptr) return -1;
    const int fd = FdOf(handle);
    // Take only what is waiting, so the read returns at once; what does not fit stays
    // queued in the driver for the next poll instead of being dropped.
    int waiting = 0;
    if (::ioctl(fd, FIONREAD, &waiting) != 0 || waiting <= 0) return 0;
    const std::size_t wanted =
        std::min({static_cast<std::size_t>(waiting), capacity, static_cast<std::size_t>(INT_MAX)});
    if (wanted == 0) return 0;
    ssize_t got;
    do {
        got = ::read(fd, buffer, wanted);
    } while (got < 0 && errno == EINTR);
    return got > 0 ? static_cast<int>(got) : 0;
}

int WriteCOMPort(COMHandle handle, const std::uint8_t* bytes, int count) {
    if (count <= 0) return 0;
    if (bytes == nullptr) return -1;
    const int fd = FdOf(handle);
    int taken = 0;
    // Takes what the port's queue has room for and returns: a large block on a slow line
    // must not hold the caller (the window) until it is sent, and callers keep the rest.
    // Only a port that takes nothing at all is waited for, up to half a second, so that a
    // short command still goes out while the queue drains. A device that is gone answers
    // EIO (terminals raise no SIGPIPE), which ends the write at once.
    const auto deadline = Clock::now() + WriteStallLimit;
    while (taken < count) {
        const ssize_t n = ::write(fd, bytes + taken, static_cast<std::size_t>(count - taken));
        if (n > 0) {
            taken += static_cast<int>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (taken > 0) break;
            const int left = MillisecondsLeft(deadline);
            if (left <= 0) break;
            pollfd p{fd, POLLOUT, 0};
            const int ready = ::poll(&p, 1, left);
            if (ready < 0 && errno != EINTR) break;
            if (ready > 0 && (p.revents & POLLOUT) == 0) break;  // error or hang-up only
            continue;
        }
        break;
    }
    return taken;
}

void GetCOMPortList(std::vector<std::string>& list, const std::string& prefix) {
    list.clear();
    for (PresentPort& port : PresentPorts()) {
        if (port.name.starts_with(prefix)) list.push_back(std::move(port.name));
    }
}

void GetCOMPortFriendlyNames(std::vector<std::string>& list) {
    list.clear();
    std::vector<PresentPort> ports;
    try {
        ports = PresentPorts();
    } catch (const std::system_error&) {
        return;  // no device list: no ports present
    }
    for (std::size_t i = 0; i < ports.size(); ++i) {
        list.push_back(std::to_string(i) + ": " + ports[i].description + " (" + ports[i].name +
                       ")");
    }
}

COMPortDescription DescribeCOMPort(const std::string& name) {
    return posix::DescribeUSBPort("/sys", name);
}

std::vector<std::string> COMPortListPlaces() {
    std::vector<std::string> places;
    if (!OnlyPortDir()) places.emplace_back("/dev");
    if (const std::string folder = PortFolderPrefix(); !folder.empty()) places.push_back(folder);
    return places;
}

bool IsCOMPortName(const std::string& text) {
    return !text.empty();
}

namespace {

// The listing's own rules for this one port, under exactly this name.
bool PortPresentAsNamed(const std::string& name) {
    if (name.empty()) return false;
    const std::string folder = PortFolderPrefix();
    if (!folder.empty() && name.size() > folder.size() && name.starts_with(folder)) {
        const std::string entry = name.substr(folder.size());
        if (entry.find('/') == std::string::npos && !entry.starts_with('.') &&
            IsLineTerminalPath(name)) {
            return true;
        }
    }
    if (OnlyPortDir() || !name.starts_with("/dev/")) return false;
    const std::string tty = name.substr(5);
    if (tty.empty() || tty.find('/') != std::string::npos || tty.starts_with('.')) return false;
    const std::string sysDir = std::string(SysTTYDir) + "/" + tty;
    struct stat st {};
    if (::stat((sysDir + "/device").c_str(), &st) != 0 || !IsLineTerminalPath(name)) return false;
    return !tty.starts_with("ttyS") || OnboardUARTPresent(sysDir, name);
}

}  // namespace

// A port that is there under its exact name is answered for that one port: the bridge
// asks every 50 ms, and listing every tty of the system costs far more. Anything else (a
// name in another letter case, a port gone) asks the whole list.
bool COMPortExists(const std::string& name) {
    return PortPresentAsNamed(name) || COMPortListed(name);
}

}  // namespace lintaro
