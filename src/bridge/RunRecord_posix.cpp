#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "bridge/PrivateFolder.h"
#include "bridge/RunRecord_posix.h"

namespace lintaro::setupprocess {

namespace {

// The record of the program this user's wizard started: its process id, its start time,
// the boot it ran in, and the mark that it and everything it started carry in their
// environment, so that a wizard killed outright can be cleaned up after.
constexpr const char* kRecordName = "started";

std::string BootId() {
    std::ifstream in("/proc/sys/kernel/random/boot_id");
    std::string id;
    std::getline(in, id);
    return id;
}

bool OwnProcess(pid_t pid) {
    struct stat st {};
    return ::stat(("/proc/" + std::to_string(pid)).c_str(), &st) == 0 && st.st_uid == ::geteuid();
}

// A field of a process's stat line (3 is the state) of a process of this user's.
std::optional<unsigned long long> StatField(pid_t pid, int wanted) {
    if (!OwnProcess(pid)) return std::nullopt;
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (!std::getline(in, text)) return std::nullopt;
    // The name in parentheses may hold anything; the fields follow the last ')'.
    const std::size_t close = text.rfind(')');
    if (close == std::string::npos) return std::nullopt;
    std::istringstream fields(text.substr(close + 1));
    std::string field;
    for (int index = 3; fields >> field; ++index) {
        if (index == wanted) {
            char* end = nullptr;
            const unsigned long long value = std::strtoull(field.c_str(), &end, 10);
            if (*end != '\0' || end == field.c_str()) return std::nullopt;
            return value;
        }
    }
    return std::nullopt;
}

// Start time (clock ticks since boot) of a process of this user's.
std::optional<unsigned long long> StartTime(pid_t pid) {
    return StatField(pid, 22);
}

// Whether the environment a process of this user's was started with holds `entry`.
bool CarriesEntry(pid_t pid, const std::string& entry) {
    if (!OwnProcess(pid)) return false;
    std::ifstream in("/proc/" + std::to_string(pid) + "/environ", std::ios::binary);
    const std::string vars{std::istreambuf_iterator<char>(in), {}};
    return vars.rfind(entry + '\0', 0) == 0 || vars.find('\0' + entry + '\0') != std::string::npos;
}

// A process held by a descriptor where the kernel has them (pidfd): a signal then reaches
// the very process that was examined, even if it has ended and its id was taken since.
class HeldProcess {
public:
    explicit HeldProcess(pid_t pid) : FPid(pid) {
#ifdef SYS_pidfd_open
        FFd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
        FHeld = FFd >= 0 || errno != ESRCH;
#endif
    }
    HeldProcess(const HeldProcess&) = delete;
    HeldProcess& operator=(const HeldProcess&) = delete;
    ~HeldProcess() {
        if (FFd >= 0) ::close(FFd);
    }
    // False when the process had ended before it could be held.
    bool Held() const {
        return FHeld;
    }
    void Kill() const {
#ifdef SYS_pidfd_send_signal
        if (FFd >= 0) {
            ::syscall(SYS_pidfd_send_signal, FFd, SIGKILL, nullptr, 0);
            return;
        }
#endif
        ::kill(FPid, SIGKILL);
    }

private:
    pid_t FPid;
    int FFd = -1;
    bool FHeld = true;
};

// Wine's own processes of a prefix: its server, and the services it starts for every
// program of the prefix. The first program of a prefix starts them, and they carry its
// mark, yet every later program of the prefix, the user's others too, needs them; they end
// by themselves once no program of the prefix runs.
constexpr const char* kWineServices[] = {"services.exe", "plugplay.exe", "winedevice.exe",
                                         "rpcss.exe",    "svchost.exe",  "explorer.exe"};

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// A file installed by the system: root's, and nobody else may change it. A program cannot
// make one, so what such a file runs is what it claims to be.
bool SystemFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == 0 &&
           (st.st_mode & 022) == 0;
}

std::string FileName(const std::string& path) {
    return path.substr(path.rfind('/') + 1);
}

// Whether a process of this user's is Wine's server or one of the prefix's services, told
// by what the program cannot fake cheaply: the executable the kernel runs (a Wine
// installed by the system), and for a service the image Wine mapped for it (the system's
// own build of that program) besides its Windows path in the prefix's system folder.
bool WineInfrastructure(pid_t pid) {
    const std::string folder = "/proc/" + std::to_string(pid);
    char target[PATH_MAX];
    const ssize_t n = ::readlink((folder + "/exe").c_str(), target, sizeof target - 1);
    if (n <= 0) return false;
    const std::string executable = FileName(std::string(target, static_cast<std::size_t>(n)));
    if (!executable.starts_with("wine") || !SystemFile(folder + "/exe")) return false;
    if (executable.starts_with("wineserver")) return true;

    std::ifstream commandLine(folder + "/cmdline", std::ios::binary);
    std::string image;
    std::getline(commandLine, image, '\0');
    image = Lower(image);
    std::string service;
    for (const char* name : kWineServices) {
        for (const char* system : {"c:\\windows\\system32\\", "c:\\windows\\syswow64\\"}) {
            if (image == std::string(system) + name) service = name;
        }
    }
    if (service.empty()) return false;
    std::ifstream maps(folder + "/maps");
    std::string line;
    while (std::getline(maps, line)) {
        const std::size_t path = line.find(" /");
        if (path != std::string::npos && Lower(FileName(line.substr(path + 1))) == service &&
            SystemFile(line.substr(path + 1))) {
            return true;
        }
    }
    return false;
}

}  // namespace

std::string NewMark() {
    unsigned char bytes[16];
    std::size_t got = 0;
    while (got < sizeof bytes) {
        const ssize_t n = ::getrandom(bytes + got, sizeof bytes - got, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return {};
        got += static_cast<std::size_t>(n);
    }
    static const char digits[] = "0123456789abcdef";
    std::string mark;
    for (const unsigned char b : bytes) {
        mark += digits[b >> 4];
        mark += digits[b & 15];
    }
    return mark;
}

void WriteRecord(const PrivateFolder& folder, pid_t pid, const std::string& mark) {
    const auto startTime = StartTime(pid);
    if (!startTime || mark.empty()) return;
    std::string temp = folder.Path() + kPartialPrefix + "XXXXXX";
    Fd out(::mkostemp(temp.data(), O_CLOEXEC));
    if (out.get() < 0) return;
    const std::string text =
        std::to_string(pid) + " " + std::to_string(*startTime) + " " + BootId() + " " + mark + "\n";
    const bool written = WriteFull(out.get(), text.data(), text.size());
    ::close(out.release());
    if (!written || ::rename(temp.c_str(), (folder.Path() + kRecordName).c_str()) != 0)
        ::unlink(temp.c_str());
}

// Ends what is left of the recorded program: the program itself when it still runs (the
// same process: same id, start time and boot), and every process of this user's that
// carries the program's mark, except what the user's other programs need: Wine's server
// and services of the prefix, and a marked process that one of the user's unmarked
// processes has as its parent. Nothing else: a process id, a session or a group id
// outlives its process and is given to another.
void EndRecordedProgram(const PrivateFolder& folder) {
    const std::string record = folder.Path() + kRecordName;
    std::ifstream in(record);
    long pid = 0;
    unsigned long long startTime = 0;
    std::string boot;
    std::string mark;
    const bool read = static_cast<bool>(in >> pid >> startTime >> boot >> mark);
    ::unlink(record.c_str());
    if (!read || pid <= 1 || boot != BootId() || mark.size() != 32) return;
    {
        const HeldProcess program(static_cast<pid_t>(pid));
        if (program.Held() && StartTime(static_cast<pid_t>(pid)) == startTime) program.Kill();
    }
    // What a marked process starts while the folder is walked is marked too: walk again
    // until a walk ends none.
    const std::string entry = std::string(kMarkName) + "=" + mark;
    const pid_t self = ::getpid();
    for (int walk = 0; walk < 10; ++walk) {
        DIR* proc = ::opendir("/proc");
        if (proc == nullptr) return;
        // Each marked process is held before it is examined, so that the end reaches the
        // process that was examined.
        std::vector<std::pair<pid_t, std::unique_ptr<HeldProcess>>> marked;
        std::vector<pid_t> parentsOfUnmarked;
        while (const dirent* dirEntry = ::readdir(proc)) {
            char* end = nullptr;
            const long other = std::strtol(dirEntry->d_name, &end, 10);
            if (other <= 1 || *end != '\0' || other == self) continue;
            const auto id = static_cast<pid_t>(other);
            auto process = std::make_unique<HeldProcess>(id);
            if (!process->Held() || !OwnProcess(id)) continue;
            if (CarriesEntry(id, entry)) {
                marked.emplace_back(id, std::move(process));
            } else if (const auto parent = StatField(id, 4)) {
                parentsOfUnmarked.push_back(static_cast<pid_t>(*parent));
            }
        }
        ::closedir(proc);
        int ended = 0;
        for (const auto& [id, process] : marked) {
            if (std::find(parentsOfUnmarked.begin(), parentsOfUnmarked.end(), id) !=
                    parentsOfUnmarked.end() ||
                WineInfrastructure(id)) {
                continue;
            }
            process->Kill();
            ++ended;
        }
        if (ended == 0) return;
    }
}

void RemoveRecord() {
    PrivateFolder folder;
    if (folder.Open()) ::unlinkat(folder.Fd(), kRecordName, 0);
}

}  // namespace lintaro::setupprocess
