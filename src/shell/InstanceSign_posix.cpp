// A per-user lock file held with flock(): the kernel drops the lock when the holder exits
// or crashes, so a stale sign can never block the next start.
#include "shell/InstanceSign.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace lintaro {

namespace {

std::string SignPath() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    std::string dir = (runtime != nullptr && *runtime != '\0') ? runtime : "/tmp";
    return dir + "/lintaro-" + std::to_string(getuid()) + "-TMainLintaroForm.lock";
}

}  // namespace

InstanceSign::InstanceSign() : FHandle(-1) {}

InstanceSign::~InstanceSign() { Release(); }

bool InstanceSign::TryAcquire() {
    if (FHandle >= 0) return true;
    const int fd = ::open(SignPath().c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    // Without a place for the sign, starting is better than refusing.
    if (fd < 0) return true;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return false;
    }
    FHandle = fd;
    return true;
}

void InstanceSign::Release() {
    if (FHandle >= 0) {
        ::close(static_cast<int>(FHandle));
        FHandle = -1;
    }
}

}  // namespace lintaro
