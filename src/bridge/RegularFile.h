// Reading a small file that must be a regular file: whatever else stands at its place (a
// FIFO, a device such as /dev/zero) is refused at once instead of blocking the window's
// thread or being read without end. One implementation per platform.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>

namespace lintaro {

enum class ReadFileResult {
    Read,        // `bytes` holds the whole file
    NotRegular,  // a folder, FIFO, device, socket...
    TooLarge,    // more than the limit
    Failed,      // `error` holds the system's reason
};

ReadFileResult ReadRegularFile(const std::filesystem::path& path, std::size_t limit,
                               std::string& bytes, std::string& error);

}  // namespace lintaro
