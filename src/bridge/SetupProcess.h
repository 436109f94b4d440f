// The platform side of the configuration program launcher: the temporary folder, the copy
// that is started, the process and its end. One implementation per platform
// (SetupProcess_posix.cpp, SetupProcess_win.cpp); the launcher's rules live in
// SetupLauncher.cpp.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace lintaro::setupprocess {

// Whether "setup.ini" without a byte-order mark may be UTF-8 (read as such when valid).
// Windows takes such a file in the ANSI code page, as Notepad used to write it.
extern const bool kPlainTextMayBeUtf8;

// On POSIX `process` and `processId` are the process id and the thread fields are 0.
struct StartedProcess {
    std::intptr_t process = 0;
    std::intptr_t thread = 0;
    std::uint32_t processId = 0;
    std::uint32_t threadId = 0;
    bool ended = false;  // it ended by itself and was reaped (ReapIfEnded)
};

// The usual reasons a copy or a start fails, told apart so the user reads them in the
// program's language; for the rest there is the system's own text.
enum class Failure { Other, NoPermission, NotFound, NotExecutable, NoSpace };
struct FailureReason {
    Failure kind = Failure::Other;
    std::string systemText;  // the system's description of the error, where there is one
};

// The folder the copies are made in, with its trailing separator: the user's temporary
// folder on Windows, a folder of this user's alone elsewhere (created when missing). Empty
// when there is none; then `problem` says why where the platform tells.
std::filesystem::path TempFolder(std::string& problem);

enum class CopyResult {
    Ready,   // target holds the source's content (written now, or already equal on Windows)
    InUse,   // target differs but is in use and cannot be replaced; it stays as it was
    Failed,  // target could not be written; `problem` says why
};

// Puts a copy of `source`, which must be a regular file, at `target` in TempFolder(). The
// copy is written under a short temporary name and renamed into place in one step, so a
// start never sees a half-written file. On POSIX it is always written afresh by this
// process (never taken over from what stood there) and holds exactly the source's size.
CopyResult CopyForStart(const std::filesystem::path& source, const std::filesystem::path& target,
                        std::string& problem, FailureReason* reason = nullptr);

// Ends what earlier runs of this user left behind (a crash or a kill): the program the
// last run started and whatever it started (its record names the process and the mark
// they all carry in their environment), and the copies in TempFolder(). Only where the
// folder is this program's own; elsewhere nothing. Only for the copy that holds the
// single-instance sign: another copy's program would be ended too.
void EndEarlierRuns();

enum class StartResult {
    Started,
    Failed,       // `problem` says why where the platform tells
    WineMissing,  // a Windows program, and no Wine to run it with
};

// Starts `program` with no arguments, `workDir` as working directory, in a process group
// of its own and without the caller's terminal or open handles. On POSIX only a file of
// this user's that nobody else may write is started, a Windows program (told by its
// content) through Wine, and the program is ended by the kernel when this process ends,
// a crash or kill included; what it started itself is ended at the next start.
StartResult StartProcess(const std::filesystem::path& program, const std::filesystem::path& workDir,
                         StartedProcess& started, std::string& problem,
                         FailureReason* reason = nullptr);

// Never blocks. When the program has ended by itself, it is reaped at once (no zombie
// waits for the stop), `started.ended` is set and its exit code returned (128 + the
// signal's number for a POSIX program ended by a signal), once.
std::optional<int> ReapIfEnded(StartedProcess& started);

// Ends the program at once (no chance to clean up, as a terminated process), releases
// what refers to it and clears `started`. Of a program that ended by itself only what it
// left running in its process group is ended.
void TerminateProcess(StartedProcess& started);

// Deletes the started copy; a symbolic link to a folder at that place is removed too.
// Failure is not reported: the copy may still be in use.
void DeleteCopy(const std::filesystem::path& file);

}  // namespace lintaro::setupprocess
