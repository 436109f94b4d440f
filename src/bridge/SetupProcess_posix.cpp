#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <utility>

#include "bridge/SetupProcess.h"

namespace lintaro::setupprocess {

namespace {

namespace fs = std::filesystem;

// Closes a descriptor when it goes out of scope.
class Fd {
public:
    explicit Fd(int fd = -1) : FFd(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() {
        if (FFd >= 0) ::close(FFd);
    }
    int get() const { return FFd; }
    int release() { return std::exchange(FFd, -1); }

private:
    int FFd;
};

ssize_t ReadFull(int fd, char* buffer, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::read(fd, buffer + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        done += static_cast<std::size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

bool WriteFull(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

constexpr std::size_t kChunk = 64 * 1024;

// Whether `target` already is a copy of the open source: same permissions, same bytes.
bool SameAsSource(int source, const struct stat& sourceStat, const fs::path& target) {
    Fd copy(::open(target.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat copyStat {};
    if (copy.get() < 0 || ::fstat(copy.get(), &copyStat) != 0) return false;
    if (!S_ISREG(copyStat.st_mode) || copyStat.st_size != sourceStat.st_size ||
        (copyStat.st_mode & 07777) != (sourceStat.st_mode & 07777)) {
        return false;
    }
    std::string a(kChunk, '\0');
    std::string b(kChunk, '\0');
    if (::lseek(source, 0, SEEK_SET) != 0) return false;
    for (;;) {
        const ssize_t na = ReadFull(source, a.data(), kChunk);
        const ssize_t nb = ReadFull(copy.get(), b.data(), kChunk);
        if (na < 0 || nb < 0 || na != nb) return false;
        if (na == 0) return true;
        if (a.compare(0, static_cast<std::size_t>(na), b, 0, static_cast<std::size_t>(nb)) != 0) {
            return false;
        }
    }
}

void CloseFrom(int first, int maxFd) {
#ifdef SYS_close_range
    if (::syscall(SYS_close_range, static_cast<unsigned>(first), ~0U, 0) == 0) return;
#endif
    for (int fd = first; fd < maxFd; ++fd) ::close(fd);
}

// In the child between fork and exec: only async-signal-safe calls.
[[noreturn]] void ExecChild(const char* program, char* const argv[], const char* workDir,
                            int devNull, int errorPipe, int maxFd) {
    auto fail = [&errorPipe] {
        const int error = errno;
        [[maybe_unused]] ssize_t n = ::write(errorPipe, &error, sizeof error);
        ::_exit(127);
    };
    // A session of its own: its own process group (killed as a whole) and no controlling
    // terminal, as a program started from a desktop.
    if (::setsid() < 0) fail();
    // Nothing of the wizard's stays open in the program (the serial port least of all).
    // The pipe that reports a failed exec moves to 3 first, out of the way of the standard
    // handles (which may have been closed in the wizard), and closes on exec by itself.
    const int keep = ::fcntl(errorPipe, F_DUPFD_CLOEXEC, 3);
    if (keep < 0) fail();
    errorPipe = keep;
    for (int fd = 0; fd < 3; ++fd) {
        if (::dup2(devNull, fd) < 0 || ::fcntl(fd, F_SETFD, 0) < 0) fail();
    }
    if (keep != 3) {
        if (::dup2(keep, 3) < 0) fail();
        errorPipe = 3;
        ::fcntl(3, F_SETFD, FD_CLOEXEC);
    }
    CloseFrom(4, maxFd);

    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction defaults {};
    defaults.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; ++sig) {
        if (sig != SIGKILL && sig != SIGSTOP) ::sigaction(sig, &defaults, nullptr);
    }

    if (::chdir(workDir) != 0) fail();
    ::execv(program, argv);
    fail();
    ::_exit(127);
}

}  // namespace

const bool kPlainTextMayBeUtf8 = true;

fs::path TempFolder() {
    const char* env = std::getenv("TMPDIR");
    std::string folder = (env != nullptr && *env != '\0') ? env : "/tmp";
    if (folder.back() != '/') folder += '/';
    return folder;
}

CopyResult CopyForStart(const fs::path& source, const fs::path& target) {
    Fd in(::open(source.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat sourceStat {};
    if (in.get() < 0 || ::fstat(in.get(), &sourceStat) != 0) return CopyResult::Failed;
    if (SameAsSource(in.get(), sourceStat, target)) return CopyResult::Ready;
    if (::lseek(in.get(), 0, SEEK_SET) != 0) return CopyResult::Failed;

    // Written beside the target and renamed over it: the rename is atomic, and a running
    // old copy keeps its own file, so on POSIX a copy is never "in use".
    std::string temp = (target.parent_path() / ("." + target.filename().native() + ".XXXXXX"));
    Fd out(::mkostemp(temp.data(), O_CLOEXEC));
    if (out.get() < 0) return CopyResult::Failed;
    bool ok = true;
    std::string buffer(kChunk, '\0');
    for (;;) {
        const ssize_t n = ReadFull(in.get(), buffer.data(), kChunk);
        if (n < 0) ok = false;
        if (n <= 0) break;
        if (!WriteFull(out.get(), buffer.data(), static_cast<std::size_t>(n))) {
            ok = false;
            break;
        }
    }
    ok = ok && ::fchmod(out.get(), sourceStat.st_mode & 07777) == 0;
    ok = ::close(out.release()) == 0 && ok;
    ok = ok && ::rename(temp.c_str(), target.c_str()) == 0;
    if (!ok) {
        ::unlink(temp.c_str());
        return CopyResult::Failed;
    }
    return CopyResult::Ready;
}

bool StartProcess(const fs::path& program, const fs::path& workDir, StartedProcess& started) {
    // Everything the child needs is prepared here: after fork it may not allocate.
    std::string path = program.native();
    const std::string dir = workDir.native();
    char* const argv[] = {path.data(), nullptr};
    const long openMax = ::sysconf(_SC_OPEN_MAX);
    const int maxFd = openMax > 0 && openMax < 65536 ? static_cast<int>(openMax) : 65536;

    Fd devNull(::open("/dev/null", O_RDWR | O_CLOEXEC));
    int pipeFds[2];
    if (devNull.get() < 0 || ::pipe2(pipeFds, O_CLOEXEC) != 0) return false;
    Fd readEnd(pipeFds[0]);
    Fd writeEnd(pipeFds[1]);

    const pid_t pid = ::fork();
    if (pid < 0) return false;
    if (pid == 0) ExecChild(path.c_str(), argv, dir.c_str(), devNull.get(), writeEnd.get(), maxFd);

    ::close(writeEnd.release());
    // The pipe closes without data when exec succeeded; otherwise it carries errno.
    int childError = 0;
    ssize_t n;
    do {
        n = ::read(readEnd.get(), &childError, sizeof childError);
    } while (n < 0 && errno == EINTR);
    if (n != 0) {
        int status;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        return false;
    }
    started.process = pid;
    started.processId = static_cast<std::uint32_t>(pid);
    started.thread = 0;
    started.threadId = 0;
    return true;
}

void TerminateProcess(StartedProcess& started) {
    const auto pid = static_cast<pid_t>(started.process);
    started = {};
    if (pid <= 0) return;
    // The whole group: helpers the program started die with it.
    ::kill(-pid, SIGKILL);
    ::kill(pid, SIGKILL);

    // SIGKILL ends a process at once unless it sleeps uninterruptibly in the kernel (a
    // hung network file system); the wait is bounded so the window does not hang, and
    // such a process is reaped in the background once it ends.
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    auto pause = std::chrono::microseconds(100);
    for (;;) {
        int status;
        const pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid || (r < 0 && errno != EINTR)) return;
        if (Clock::now() >= deadline) break;
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::microseconds(10000));
    }
    std::thread([pid] {
        int status;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }).detach();
}

void DeleteCopy(const fs::path& file) {
    // unlink removes a symbolic link itself, also one that points to a folder.
    ::unlink(file.c_str());
}

}  // namespace lintaro::setupprocess
