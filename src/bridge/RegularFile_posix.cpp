#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "bridge/RegularFile.h"

namespace lintaro {

ReadFileResult ReadRegularFile(const std::filesystem::path& path, std::size_t limit,
                               std::string& bytes, std::string& error) {
    bytes.clear();
    // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        error = std::strerror(errno);
        return ReadFileResult::Failed;
    }
    struct stat st {};
    ReadFileResult result = ReadFileResult::Read;
    if (::fstat(fd, &st) != 0) {
        error = std::strerror(errno);
        result = ReadFileResult::Failed;
    } else if (!S_ISREG(st.st_mode)) {
        result = ReadFileResult::NotRegular;
    } else if (static_cast<unsigned long long>(st.st_size) > limit) {
        result = ReadFileResult::TooLarge;
    } else {
        // One byte past the limit tells a file that grew since fstat.
        bytes.resize(limit + 1);
        std::size_t got = 0;
        while (got < bytes.size()) {
            const ssize_t n = ::read(fd, bytes.data() + got, bytes.size() - got);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                error = std::strerror(errno);
                result = ReadFileResult::Failed;
                break;
            }
            if (n == 0) break;
            got += static_cast<std::size_t>(n);
        }
        if (result == ReadFileResult::Read && got > limit) result = ReadFileResult::TooLarge;
        bytes.resize(result == ReadFileResult::Read ? got : 0);
    }
    ::close(fd);
    return result;
}

}  // namespace lintaro
