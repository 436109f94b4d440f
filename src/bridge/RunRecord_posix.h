// The record of the configuration program a wizard started, and the clean-up after a
// wizard that was killed outright: the POSIX launcher (SetupProcess_posix.cpp) writes the
// record on a start, removes it on the end, and ends what an earlier run left. Internal to
// those two files.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <string>
#include <utility>

namespace lintaro {
class PrivateFolder;
}

namespace lintaro::setupprocess {

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

inline bool WriteFull(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// The copies in the private folder end in ".exe"; those being written carry this prefix.
inline constexpr const char* kPartialPrefix = ".cp-";

// The mark: a random value under this name, given to the program's environment alone.
// Every process the program starts inherits it (Wine's helpers too, which leave the
// program's session and process group); no process that this program did not start has
// it, as nobody else knows the value.
inline constexpr const char* kMarkName = "LINTARO_RUN_MARK";

// A new mark; empty when no random numbers could be had.
std::string NewMark();

// Records the program `pid`, just started with `mark`, in the private folder.
void WriteRecord(const PrivateFolder& folder, pid_t pid, const std::string& mark);
// Ends what is left of the program an earlier run recorded, and removes the record.
void EndRecordedProgram(const PrivateFolder& folder);
// The recorded program was ended: its record goes.
void RemoveRecord();

}  // namespace lintaro::setupprocess
