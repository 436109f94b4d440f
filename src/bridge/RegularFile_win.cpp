#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <algorithm>

#include "bridge/RegularFile.h"

namespace lintaro {

ReadFileResult ReadRegularFile(const std::filesystem::path& path, std::size_t limit,
                               std::string& bytes, std::string& error) {
    bytes.clear();
    const HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error = "system error " + std::to_string(::GetLastError());
        return ReadFileResult::Failed;
    }
    ReadFileResult result = ReadFileResult::Read;
    BY_HANDLE_FILE_INFORMATION info{};
    LARGE_INTEGER size{};
    // A disk file that is no folder; pipes and devices report another type.
    if (::GetFileType(file) != FILE_TYPE_DISK || !::GetFileInformationByHandle(file, &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        result = ReadFileResult::NotRegular;
    } else if (!::GetFileSizeEx(file, &size)) {
        error = "system error " + std::to_string(::GetLastError());
        result = ReadFileResult::Failed;
    } else if (static_cast<unsigned long long>(size.QuadPart) > limit) {
        result = ReadFileResult::TooLarge;
    } else {
        bytes.resize(limit + 1);
        std::size_t got = 0;
        while (got < bytes.size()) {
            const DWORD want =
                static_cast<DWORD>(std::min<std::size_t>(bytes.size() - got, 1 << 20));
            DWORD n = 0;
            if (!::ReadFile(file, bytes.data() + got, want, &n, nullptr)) {
                error = "system error " + std::to_string(::GetLastError());
                result = ReadFileResult::Failed;
                break;
            }
            if (n == 0) break;
            got += n;
        }
        if (result == ReadFileResult::Read && got > limit) result = ReadFileResult::TooLarge;
        bytes.resize(result == ReadFileResult::Read ? got : 0);
    }
    ::CloseHandle(file);
    return result;
}

}  // namespace lintaro
