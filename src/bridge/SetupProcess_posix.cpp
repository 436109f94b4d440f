#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bridge/PrivateFolder.h"
#include "bridge/RunRecord_posix.h"
#include "bridge/SetupProcess.h"

namespace lintaro::setupprocess {

namespace {

namespace fs = std::filesystem;

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

constexpr std::size_t kChunk = 64 * 1024;

std::string Reason(int error) {
    return std::strerror(error);
}

Failure FailureOf(int error) {
    switch (error) {
        case EACCES:
        case EPERM:
        case EROFS:
            return Failure::NoPermission;
        case ENOENT:
        case ENOTDIR:
            return Failure::NotFound;
        case ENOEXEC:
        case ELIBBAD:
        case EISDIR:
            return Failure::NotExecutable;
        case ENOSPC:
        case EDQUOT:
            return Failure::NoSpace;
        default:
            return Failure::Other;
    }
}

void Note(FailureReason* reason, int error) {
    if (reason != nullptr) *reason = {FailureOf(error), error != 0 ? Reason(error) : std::string()};
}

// A Windows program: an MZ header whose e_lfanew field points at a PE signature. Told
// by content, as the name of a copy always ends in ".exe".
bool IsWindowsProgram(int fd) {
    unsigned char head[64];
    if (::pread(fd, head, sizeof head, 0) != static_cast<ssize_t>(sizeof head)) return false;
    if (head[0] != 'M' || head[1] != 'Z') return false;
    const std::uint32_t peOffset = head[0x3c] | head[0x3d] << 8 | head[0x3e] << 16 |
                                   static_cast<std::uint32_t>(head[0x3f]) << 24;
    char signature[4];
    return ::pread(fd, signature, sizeof signature, static_cast<off_t>(peOffset)) == 4 &&
           std::memcmp(signature, "PE\0\0", 4) == 0;
}

// Root's or this user's, and nobody else may change it.
bool Trusted(const struct stat& st) {
    return (st.st_uid == 0 || st.st_uid == ::geteuid()) && (st.st_mode & 022) == 0;
}

// Wine as the user would start it: the first "wine" on PATH. Only absolute folders are
// searched, and only a program (and its folder) that no other user could have prepared
// is taken. Empty when there is none; `problem` then names a refused one.
std::string FindWine(std::string& problem) {
    const char* path = std::getenv("PATH");
    std::string folders = path != nullptr && *path != '\0' ? path : "/usr/local/bin:/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= folders.size()) {
        std::size_t end = folders.find(':', start);
        if (end == std::string::npos) end = folders.size();
        const std::string folder = folders.substr(start, end - start);
        start = end + 1;
        if (folder.empty() || folder[0] != '/') continue;
        const std::string candidate = folder + "/wine";
        char resolved[PATH_MAX];
        if (::realpath(candidate.c_str(), resolved) == nullptr) continue;
        const std::string program = resolved;
        const std::string parent = program.substr(0, program.rfind('/') + 1);
        struct stat st {};
        struct stat parentStat {};
        if (::stat(program.c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
            ::access(program.c_str(), X_OK) != 0) {
            continue;
        }
        if (!Trusted(st) || ::stat(parent.c_str(), &parentStat) != 0 || !Trusted(parentStat)) {
            problem = "\"" + program + "\" may be changed by other users";
            continue;
        }
        return program;
    }
    return {};
}

void CloseFrom(int first, int maxFd) {
#ifdef SYS_close_range
    if (::syscall(SYS_close_range, static_cast<unsigned>(first), ~0U, 0) == 0) return;
#endif
    for (int fd = first; fd < maxFd; ++fd) ::close(fd);
}

// In the child between fork and exec: only async-signal-safe calls.
[[noreturn]] void ExecChild(const char* program, int programFd, const char* wine,
                            char* const argv[], char* const envp[], const char* workDir,
                            int devNull, int errorPipe, int maxFd, pid_t parent) {
    auto fail = [&errorPipe] {
        const int error = errno;
        [[maybe_unused]] ssize_t n = ::write(errorPipe, &error, sizeof error);
        ::_exit(127);
    };
    // A session of its own: its own process group (killed as a whole) and no controlling
    // terminal, as a program started from a desktop.
    if (::setsid() < 0) fail();
    // The program must not outlive the wizard: it would keep connecting to a port that any
    // local process could then take. The parent may have died before the request.
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) fail();
    if (::getppid() != parent) ::_exit(127);
    // Nothing of the wizard's stays open in the program (the serial port least of all).
    // The pipe that reports a failed exec and the program's descriptor move to 3 and 4,
    // by way of numbers above the standard handles (which may have been closed in the
    // wizard), and close on exec by themselves.
    const int keep = ::fcntl(errorPipe, F_DUPFD_CLOEXEC, 5);
    if (keep < 0) fail();
    errorPipe = keep;
    const int exe = ::fcntl(programFd, F_DUPFD_CLOEXEC, 5);
    if (exe < 0) fail();
    for (int fd = 0; fd < 3; ++fd) {
        if (::dup2(devNull, fd) < 0 || ::fcntl(fd, F_SETFD, 0) < 0) fail();
    }
    if (::dup3(keep, 3, O_CLOEXEC) < 0) fail();
    errorPipe = 3;
    if (::dup3(exe, 4, O_CLOEXEC) < 0) fail();
    programFd = 4;
    CloseFrom(5, maxFd);

    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction defaults {};
    defaults.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; ++sig) {
        if (sig != SIGKILL && sig != SIGSTOP) ::sigaction(sig, &defaults, nullptr);
    }

    if (::chdir(workDir) != 0) fail();
    // Wine takes the program by its path, which lies in a folder nobody else may change.
    if (wine != nullptr) {
        ::execve(wine, argv, envp);
        fail();
    }
    // The very file that was checked is executed. A script cannot run from a descriptor
    // that closes on exec (its interpreter opens it by name): it goes by its path, which
    // lies in a folder nobody else may change.
    ::fexecve(programFd, argv, envp);
    if (errno == ENOENT) ::execve(program, argv, envp);
    fail();
    ::_exit(127);
}

}  // namespace

const bool kPlainTextMayBeUtf8 = true;

fs::path TempFolder(std::string& problem) {
    PrivateFolder folder;
    if (!folder.Open()) {
        problem = folder.Problem();
        return {};
    }
    return folder.Path();
}

CopyResult CopyForStart(const fs::path& source, const fs::path& target, std::string& problem,
                        FailureReason* reason) {
    if (reason != nullptr) *reason = {};
    const auto failed = [&problem, reason](const std::string& what, int error = 0) {
        problem = what;
        Note(reason, error);
        return CopyResult::Failed;
    };
    // Non-blocking: a FIFO in the program's place must not hang the window; and only a
    // regular file counts, so a device cannot feed the copy without end.
    Fd in(::open(source.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (in.get() < 0) {
        const int error = errno;
        return failed("cannot open \"" + source.native() + "\": " + Reason(error), error);
    }
    struct stat sourceStat {};
    if (::fstat(in.get(), &sourceStat) != 0) return failed(Reason(errno), errno);
    if (!S_ISREG(sourceStat.st_mode)) {
        return failed("\"" + source.native() + "\" is not a regular file");
    }

    PrivateFolder folder;
    if (!folder.Open()) return failed(folder.Problem());
    if (target.parent_path().native() + "/" != folder.Path()) {
        return failed("\"" + target.native() + "\" is not in \"" + folder.Path() + "\"");
    }
    const std::string name = target.filename().native();

    // Exclusive create under a short name: a long program name must not run over the
    // file name limit here, and nothing that stood in the folder is ever reused.
    std::string temp = folder.Path() + kPartialPrefix + "XXXXXX";
    Fd out(::mkostemp(temp.data(), O_CLOEXEC));
    if (out.get() < 0) {
        const int error = errno;
        return failed("cannot create a file in \"" + folder.Path() + "\": " + Reason(error), error);
    }
    const std::string tempName = temp.substr(folder.Path().size());

    // Exactly the size the source had when opened: a file that grows meanwhile does not
    // make the copy grow with it.
    std::string error;
    int code = 0;
    const auto fail = [&error, &code](const std::string& what, int errorCode) {
        error = what + Reason(errorCode);
        code = errorCode;
    };
    std::string buffer(kChunk, '\0');
    auto left = static_cast<std::uint64_t>(sourceStat.st_size);
    while (left > 0 && error.empty()) {
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(left, kChunk));
        const ssize_t n = ReadFull(in.get(), buffer.data(), want);
        if (n < 0) {
            fail("cannot read \"" + source.native() + "\": ", errno);
        } else if (n == 0) {
            error = "\"" + source.native() + "\" became shorter while it was copied";
        } else if (!WriteFull(out.get(), buffer.data(), static_cast<std::size_t>(n))) {
            fail("cannot write \"" + temp + "\": ", errno);
        } else {
            left -= static_cast<std::uint64_t>(n);
        }
    }
    if (error.empty() && ::fchmod(out.get(), sourceStat.st_mode & 0700) != 0) fail("", errno);
    if (::close(out.release()) != 0 && error.empty())
        fail("cannot write \"" + temp + "\": ", errno);
    if (error.empty() &&
        ::renameat(folder.Fd(), tempName.c_str(), folder.Fd(), name.c_str()) != 0) {
        fail("cannot create \"" + target.native() + "\": ", errno);
    }
    if (!error.empty()) {
        ::unlinkat(folder.Fd(), tempName.c_str(), 0);
        return failed(error, code);
    }
    return CopyResult::Ready;
}

void EndEarlierRuns() {
    PrivateFolder folder;
    if (!folder.Open()) return;
    EndRecordedProgram(folder);
    const int fd = ::dup(folder.Fd());
    if (fd < 0) return;
    DIR* dir = ::fdopendir(fd);
    if (dir == nullptr) {
        ::close(fd);
        return;
    }
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        const bool copy = name.size() > 4 && name.ends_with(".exe");
        if (copy || name.starts_with(kPartialPrefix)) {
            // Only files and links go; a folder of that name is not one of ours.
            ::unlinkat(folder.Fd(), name.c_str(), 0);
        }
    }
    ::closedir(dir);
}

StartResult StartProcess(const fs::path& program, const fs::path& workDir, StartedProcess& started,
                         std::string& problem, FailureReason* reason) {
    if (reason != nullptr) *reason = {};
    // The file that runs: not a link, a regular file of this user's that nobody else may
    // change. Its descriptor is what the child executes.
    Fd programFd(::open(program.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st {};
    if (programFd.get() < 0 || ::fstat(programFd.get(), &st) != 0) {
        const int error = errno;
        problem = "cannot open \"" + program.native() + "\": " + Reason(error);
        Note(reason, error);
        return StartResult::Failed;
    }
    if (!S_ISREG(st.st_mode) || st.st_uid != ::geteuid() || (st.st_mode & 022) != 0) {
        problem = "\"" + program.native() + "\" is not a file of this user's closed to others";
        return StartResult::Failed;
    }
    PrivateFolder folder;
    if (!folder.Open()) {
        problem = folder.Problem();
        return StartResult::Failed;
    }

    // Everything the child needs is prepared here: after fork it may not allocate.
    std::string path = program.native();
    const std::string dir = workDir.native();
    std::string wine;
    std::string wineName = "wine";
    const bool windows = IsWindowsProgram(programFd.get());
    if (windows) {
        wine = FindWine(problem);
        if (wine.empty()) return StartResult::WineMissing;
    }
    char* const nativeArgv[] = {path.data(), nullptr};
    char* const wineArgv[] = {wineName.data(), path.data(), nullptr};
    // The program's environment is this one's plus the mark of this start.
    const std::string mark = NewMark();
    if (mark.empty()) {
        problem = "no random numbers for the mark: " + Reason(errno);
        return StartResult::Failed;
    }
    const std::string markPrefix = std::string(kMarkName) + "=";
    std::string markEntry = markPrefix + mark;
    std::vector<char*> envp;
    for (char** variable = environ; *variable != nullptr; ++variable) {
        if (std::strncmp(*variable, markPrefix.c_str(), markPrefix.size()) != 0)
            envp.push_back(*variable);
    }
    envp.push_back(markEntry.data());
    envp.push_back(nullptr);
    const long openMax = ::sysconf(_SC_OPEN_MAX);
    const int maxFd = openMax > 0 && openMax < 65536 ? static_cast<int>(openMax) : 65536;

    Fd devNull(::open("/dev/null", O_RDWR | O_CLOEXEC));
    int pipeFds[2];
    if (devNull.get() < 0 || ::pipe2(pipeFds, O_CLOEXEC) != 0) {
        problem = Reason(errno);
        return StartResult::Failed;
    }
    Fd readEnd(pipeFds[0]);
    Fd writeEnd(pipeFds[1]);

    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0) {
        problem = Reason(errno);
        return StartResult::Failed;
    }
    if (pid == 0) {
        ExecChild(path.c_str(), programFd.get(), windows ? wine.c_str() : nullptr,
                  windows ? wineArgv : nativeArgv, envp.data(), dir.c_str(), devNull.get(),
                  writeEnd.get(), maxFd, parent);
    }

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
        const int error = n > 0 ? childError : errno;
        problem = "cannot start \"" + (windows ? wine : path) + "\": " + Reason(error);
        Note(reason, error);
        return StartResult::Failed;
    }
    WriteRecord(folder, pid, mark);
    started.process = pid;
    started.processId = static_cast<std::uint32_t>(pid);
    started.thread = 0;
    started.threadId = 0;
    return StartResult::Started;
}

std::optional<int> ReapIfEnded(StartedProcess& started) {
    const auto pid = static_cast<pid_t>(started.process);
    if (pid <= 0 || started.ended) return std::nullopt;
    int status = 0;
    pid_t r;
    do {
        r = ::waitpid(pid, &status, WNOHANG);
    } while (r < 0 && errno == EINTR);
    if (r != pid) return std::nullopt;
    started.ended = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void TerminateProcess(StartedProcess& started) {
    const auto pid = static_cast<pid_t>(started.process);
    const bool ended = started.ended;
    started = {};
    if (pid <= 0) return;
    RemoveRecord();
    // The whole group: helpers the program started die with it. Of a program that was
    // reaped, the id may now be another process's: only its group is signalled, whose
    // id stays taken while any member of it lives.
    ::kill(-pid, SIGKILL);
    if (ended) return;
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
