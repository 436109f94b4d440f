#include "serial/COMUtils_linux.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>

#if defined(__linux__)
#include <asm/termbits.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#endif

namespace lintaro::posix {

#if defined(__linux__)

bool SetArbitraryCOMSpeed(int fd, int speed) {
    if (speed <= 0) {
        errno = EINVAL;
        return false;
    }
    struct termios2 tio {};
    if (::ioctl(fd, TCGETS2, &tio) != 0) return false;
    tio.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
    tio.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    tio.c_ispeed = static_cast<speed_t>(speed);
    tio.c_ospeed = static_cast<speed_t>(speed);
    if (::ioctl(fd, TCSETS2, &tio) != 0) return false;

    // A driver that cannot reach a rate keeps another one instead of failing the call. It
    // reports the rate it really uses, which may miss the asked one by the rounding of its
    // clock divider; a UART link tolerates a few percent.
    struct termios2 now {};
    if (::ioctl(fd, TCGETS2, &now) != 0) return false;
    const long long asked = speed;
    const long long got = now.c_ospeed;
    if (std::llabs(got - asked) * 100 > asked * 3) {
        errno = EINVAL;
        return false;
    }
    return true;
}

bool UARTPresent(int fd) {
    struct serial_struct info {};
    return ::ioctl(fd, TIOCGSERIAL, &info) == 0 && info.type != PORT_UNKNOWN;
}

namespace {

// The ports whose low-latency flag this process turned on, to be turned off at close. The
// flag belongs to the port, not to the descriptor, and outlives the close.
std::mutex lowLatencyMutex;
std::set<int> lowLatencySet;

}  // namespace

void RequestLowLatency(int fd) {
    const char* wanted = std::getenv("LINTARO_LOW_LATENCY");
    if (wanted != nullptr && std::strcmp(wanted, "0") == 0) return;
    const int saved = errno;
    struct serial_struct info {};
    if (::ioctl(fd, TIOCGSERIAL, &info) == 0 && (info.flags & ASYNC_LOW_LATENCY) == 0) {
        info.flags |= ASYNC_LOW_LATENCY;
        if (::ioctl(fd, TIOCSSERIAL, &info) == 0) {
            const std::lock_guard lock(lowLatencyMutex);
            lowLatencySet.insert(fd);
        }
    }
    errno = saved;
}

void RestoreLowLatency(int fd) {
    {
        const std::lock_guard lock(lowLatencyMutex);
        if (lowLatencySet.erase(fd) == 0) return;
    }
    const int saved = errno;
    struct serial_struct info {};
    // A vanished adapter refuses both calls; its next open starts from the default anyway.
    if (::ioctl(fd, TIOCGSERIAL, &info) == 0) {
        info.flags &= ~ASYNC_LOW_LATENCY;
        ::ioctl(fd, TIOCSSERIAL, &info);
    }
    errno = saved;
}

#else

bool SetArbitraryCOMSpeed(int, int) {
    errno = EINVAL;
    return false;
}

bool UARTPresent(int) {
    return false;
}

void RequestLowLatency(int) {}

void RestoreLowLatency(int) {}


#endif

}  // namespace lintaro::posix
