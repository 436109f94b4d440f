#include "PrivateNetwork.h"

#ifdef __linux__
#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#endif

namespace lintaro::test {

namespace {

bool privateNetwork = false;

#ifdef __linux__
bool WriteProcFile(const char* path, const std::string& text) {
    const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ::close(fd);
    return written;
}

bool LoopbackUp(std::string& why) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        why = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    bool up = ::ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    if (up && (request.ifr_flags & IFF_UP) == 0) {
        request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
        up = ::ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    }
    if (!up) why = std::string("loopback: ") + std::strerror(errno);
    ::close(fd);
    return up;
}

// Past the unshare there is no way back into the machine's network: a namespace without
// a working loopback would only make every test fail for a reason none of them names.
[[noreturn]] void HalfDone(const std::string& why) {
    std::fprintf(stderr, "private network: %s\n", why.c_str());
    std::exit(2);
}
#endif

}  // namespace

bool EnterPrivateNetwork(std::string& why) {
#ifdef __linux__
    // As root a plain network namespace: ids stay as they are, so checks of a socket's
    // owner and switches to another user behave as outside.
    if (::geteuid() != 0 || ::unshare(CLONE_NEWNET) != 0) {
        const uid_t uid = ::geteuid();
        const gid_t gid = ::getegid();
        if (::unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) {
            why = std::string("unshare: ") + std::strerror(errno);
            return false;
        }
        // The same ids inside as outside.
        if (!WriteProcFile("/proc/self/setgroups", "deny") ||
            !WriteProcFile("/proc/self/uid_map", std::to_string(uid) + ' ' + std::to_string(uid) + " 1") ||
            !WriteProcFile("/proc/self/gid_map", std::to_string(gid) + ' ' + std::to_string(gid) + " 1")) {
            HalfDone(std::string("id maps: ") + std::strerror(errno));
        }
    }
    if (!LoopbackUp(why)) HalfDone(why);
    privateNetwork = true;
    return true;
#else
    why = "no network namespaces on this system";
    return false;
#endif
}

bool HasPrivateNetwork() { return privateNetwork; }

}  // namespace lintaro::test
