// A per-user lock file held with flock(): the kernel drops the lock when the holder exits
// or crashes, so a stale sign can never block the next start. It lives in the user's
// private folder, so no other user can create it first and hold its lock.
#include "shell/InstanceSign.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "bridge/PrivateFolder.h"

namespace lintaro {

InstanceSign::InstanceSign() : FHandle(-1) {}

InstanceSign::~InstanceSign() { Release(); }

bool InstanceSign::TryAcquire() {
    if (FHandle >= 0) return true;
    // Without a place for the sign, starting is better than refusing; Problem() says why.
    PrivateFolder folder;
    if (!folder.Open()) {
        FProblem = folder.Problem();
        return true;
    }
    const int fd = ::openat(folder.Fd(), "TMainLintaroForm.lock",
                            O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        FProblem = folder.Path() + "TMainLintaroForm.lock: " + std::strerror(errno);
        return true;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return false;
    }
    FHandle = fd;
    return true;
}

bool InstanceSign::Held() const { return FHandle >= 0; }

void InstanceSign::Release() {
    if (FHandle >= 0) {
        ::close(static_cast<int>(FHandle));
        FHandle = -1;
    }
}

}  // namespace lintaro
