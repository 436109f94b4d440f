// The platform side of the configuration program launcher: the temporary folder, the copy
// that is started, the process and its end. One implementation per platform
// (SetupProcess_posix.cpp, SetupProcess_win.cpp); the launcher's rules live in
// SetupLauncher.cpp.
#pragma once

#include <cstdint>
#include <filesystem>

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
};

// The user's temporary folder as the platform reports it, with its trailing separator;
// empty when it reports none.
std::filesystem::path TempFolder();

enum class CopyResult {
    Ready,   // target holds the source's content (copied, replaced or already equal)
    InUse,   // target differs but is in use and cannot be replaced; it stays as it was
    Failed,  // target could not be written
};

// Puts a copy of `source` (a file) at `target`, keeping its permissions. A target with
// other content, left by an earlier run or an older program, is replaced in one step, so
// a start never sees a half-written file.
CopyResult CopyForStart(const std::filesystem::path& source, const std::filesystem::path& target);

// Starts `program` with no arguments, `workDir` as working directory, in a process group
// of its own and without the caller's terminal or open handles. False when the process
// could not be created (including a file that cannot be executed).
bool StartProcess(const std::filesystem::path& program, const std::filesystem::path& workDir,
                  StartedProcess& started);

// Ends the program at once (no chance to clean up, as a terminated process), releases
// what refers to it and clears `started`.
void TerminateProcess(StartedProcess& started);

// Deletes the started copy; a symbolic link to a folder at that place is removed too.
// Failure is not reported: the copy may still be in use.
void DeleteCopy(const std::filesystem::path& file);

}  // namespace lintaro::setupprocess
