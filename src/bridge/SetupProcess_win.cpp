#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "bridge/SetupProcess.h"

namespace lintaro::setupprocess {

namespace {

namespace fs = std::filesystem;

constexpr DWORD kTempPathBuffer = 260;

class Handle {
public:
    explicit Handle(HANDLE h) : FHandle(h) {}
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() {
        if (FHandle != INVALID_HANDLE_VALUE) ::CloseHandle(FHandle);
    }
    HANDLE get() const { return FHandle; }

private:
    HANDLE FHandle;
};

// The system's own description, in its language and the ANSI code page.
std::string SystemText(DWORD error) {
    char* text = nullptr;
    const DWORD length = ::FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string result(text != nullptr ? text : "", length);
    if (text != nullptr) ::LocalFree(text);
    while (!result.empty() &&
           (result.back() == '\n' || result.back() == '\r' || result.back() == ' '))
        result.pop_back();
    return result.empty() ? "system error " + std::to_string(error) : result;
}

std::string ErrorText(DWORD error) {
    return "system error " + std::to_string(error);
}

Failure FailureOf(DWORD error) {
    switch (error) {
        case ERROR_ACCESS_DENIED:
        case ERROR_WRITE_PROTECT:
            return Failure::NoPermission;
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return Failure::NotFound;
        case ERROR_BAD_EXE_FORMAT:
        case ERROR_EXE_MACHINE_TYPE_MISMATCH:
        case ERROR_BAD_FORMAT:
        case ERROR_INVALID_EXE_SIGNATURE:
            return Failure::NotExecutable;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
            return Failure::NoSpace;
        default:
            return Failure::Other;
    }
}

void Note(FailureReason* reason, DWORD error) {
    if (reason != nullptr) *reason = {FailureOf(error), SystemText(error)};
}

bool SameContent(const fs::path& a, const fs::path& b) {
    Handle fa(::CreateFileW(a.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    Handle fb(::CreateFileW(b.c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (fa.get() == INVALID_HANDLE_VALUE || fb.get() == INVALID_HANDLE_VALUE) return false;
    LARGE_INTEGER sa{}, sb{};
    if (!::GetFileSizeEx(fa.get(), &sa) || !::GetFileSizeEx(fb.get(), &sb) ||
        sa.QuadPart != sb.QuadPart) {
        return false;
    }
    constexpr DWORD kChunk = 64 * 1024;
    std::vector<char> ba(kChunk), bb(kChunk);
    for (;;) {
        DWORD na = 0, nb = 0;
        if (!::ReadFile(fa.get(), ba.data(), kChunk, &na, nullptr) ||
            !::ReadFile(fb.get(), bb.data(), kChunk, &nb, nullptr) || na != nb) {
            return false;
        }
        if (na == 0) return true;
        if (std::memcmp(ba.data(), bb.data(), na) != 0) return false;
    }
}

}  // namespace

const bool kPlainTextMayBeUtf8 = false;

fs::path TempFolder(std::string& problem) {
    wchar_t buffer[kTempPathBuffer];
    const DWORD length = ::GetTempPathW(kTempPathBuffer, buffer);
    // 0 is a failure; a longer path does not fit the buffer and counts as none.
    if (length == 0 || length >= kTempPathBuffer) {
        problem =
            length == 0 ? ErrorText(::GetLastError()) : "the temporary folder's path is too long";
        return {};
    }
    return fs::path(std::wstring(buffer, length));
}

CopyResult CopyForStart(const fs::path& source, const fs::path& target, std::string& problem,
                        FailureReason* reason) {
    if (reason != nullptr) *reason = {};
    if (::CopyFileW(source.c_str(), target.c_str(), TRUE)) return CopyResult::Ready;
    DWORD error = ::GetLastError();
    if (error != ERROR_FILE_EXISTS) {
        problem = "copy failed, " + ErrorText(error);
        Note(reason, error);
        return CopyResult::Failed;
    }
    if (SameContent(source, target)) return CopyResult::Ready;

    // A stale copy: the new one is written beside it under a short unique name (a long
    // program name must not run over the path limit) and renamed over it in one step. A
    // copy that is running cannot be replaced; then it stays and is started as it is.
    wchar_t temp[MAX_PATH];
    const fs::path folder = target.parent_path();
    if (::GetTempFileNameW(folder.c_str(), L"lnt", 0, temp) == 0) {
        error = ::GetLastError();
        problem = "cannot create a file in the temporary folder, " + ErrorText(error);
        Note(reason, error);
        return CopyResult::Failed;
    }
    if (!::CopyFileW(source.c_str(), temp, FALSE)) {
        error = ::GetLastError();
        problem = "copy failed, " + ErrorText(error);
        Note(reason, error);
        ::DeleteFileW(temp);
        return CopyResult::Failed;
    }
    if (::MoveFileExW(temp, target.c_str(), MOVEFILE_REPLACE_EXISTING)) return CopyResult::Ready;
    error = ::GetLastError();
    ::DeleteFileW(temp);
    if (error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED) return CopyResult::InUse;
    problem = "cannot replace the old copy, " + ErrorText(error);
    Note(reason, error);
    return CopyResult::Failed;
}

void EndEarlierRuns() {
    // The temporary folder is shared with every other program of the user: nothing in it
    // can be told apart as a copy of ours. A stale copy is replaced at the next start, and
    // the job object ended the programs of a killed wizard with it.
}

// A job that ends every process in it when its last handle closes: the wizard holds the
// only one for as long as it runs, so a crash or a kill of the wizard ends its
// configuration programs too (the kernel closes the handle), as an orderly stop would.
HANDLE KillOnCloseJob() {
    static const HANDLE job = [] {
        HANDLE created = ::CreateJobObjectW(nullptr, nullptr);
        if (created == nullptr) return created;
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        if (!::SetInformationJobObject(created, JobObjectExtendedLimitInformation, &limits,
                                       sizeof limits)) {
            ::CloseHandle(created);
            return HANDLE{nullptr};
        }
        return created;
    }();
    return job;
}

StartResult StartProcess(const fs::path& program, const fs::path& workDir, StartedProcess& started,
                         std::string& problem, FailureReason* reason) {
    if (reason != nullptr) *reason = {};
    // The quoted path and a blank, no arguments; the whole path, however long.
    std::wstring commandLine = L"\"" + program.native() + L"\" ";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOWNORMAL;
    PROCESS_INFORMATION info{};
    // Suspended until it is in the job, so nothing it starts can escape the job.
    if (!::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED,
                          nullptr, workDir.c_str(), &startup, &info)) {
        const DWORD error = ::GetLastError();
        problem = "CreateProcessW failed, " + ErrorText(error);
        Note(reason, error);
        return StartResult::Failed;
    }
    // Without a job (none could be made, or a job of ours cannot nest in the one the
    // wizard runs in) the program still starts; only the end with a killed wizard is lost.
    if (const HANDLE job = KillOnCloseJob()) ::AssignProcessToJobObject(job, info.hProcess);
    ::ResumeThread(info.hThread);
    started.process = reinterpret_cast<std::intptr_t>(info.hProcess);
    started.thread = reinterpret_cast<std::intptr_t>(info.hThread);
    started.processId = info.dwProcessId;
    started.threadId = info.dwThreadId;
    return StartResult::Started;
}

std::optional<int> ReapIfEnded(StartedProcess& started) {
    const auto process = reinterpret_cast<HANDLE>(started.process);
    DWORD code = 0;
    if (process == nullptr || started.ended || ::WaitForSingleObject(process, 0) != WAIT_OBJECT_0 ||
        !::GetExitCodeProcess(process, &code)) {
        return std::nullopt;
    }
    // The handles stay until the stop, which closes them: an ended process holds no more.
    started.ended = true;
    return static_cast<int>(code);
}

void TerminateProcess(StartedProcess& started) {
    const auto process = reinterpret_cast<HANDLE>(started.process);
    const auto thread = reinterpret_cast<HANDLE>(started.thread);
    started = {};
    if (process != nullptr) {
        ::TerminateProcess(process, 0);
        // Termination is asynchronous; until the process is gone its file cannot be
        // deleted. The wait is bounded so a stuck process does not hang the window.
        ::WaitForSingleObject(process, 5000);
    }
    if (thread != nullptr) ::CloseHandle(thread);
    if (process != nullptr) ::CloseHandle(process);
}

void DeleteCopy(const fs::path& file) {
    if (::DeleteFileW(file.c_str())) return;
    const DWORD error = ::GetLastError();
    const DWORD attributes = ::GetFileAttributesW(file.c_str());
    const DWORD linkToFolder = FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY;
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & linkToFolder) == linkToFolder) {
        ::RemoveDirectoryW(file.c_str());
    } else {
        ::SetLastError(error);
    }
}

}  // namespace lintaro::setupprocess
