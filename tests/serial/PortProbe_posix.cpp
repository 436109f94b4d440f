#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "LineSpeed.h"
#include "PortProbe.h"

namespace lintaro::testing_support {

std::optional<LineSettings> ReadLineSettings(COMHandle handle) {
    const int fd = static_cast<int>(handle);
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0) return std::nullopt;
    LineSettings line;
    line.speed = ReadLineSpeed(fd);
    switch (tio.c_cflag & CSIZE) {
        case CS5:
            line.dataBits = 5;
            break;
        case CS6:
            line.dataBits = 6;
            break;
        case CS7:
            line.dataBits = 7;
            break;
        default:
            line.dataBits = 8;
            break;
    }
    line.parity = (tio.c_cflag & PARENB) != 0;
    line.twoStopBits = (tio.c_cflag & CSTOPB) != 0;
    return line;
}

std::optional<std::size_t> BytesWaiting(COMHandle handle) {
    int waiting = 0;
    if (::ioctl(static_cast<int>(handle), FIONREAD, &waiting) != 0 || waiting < 0)
        return std::nullopt;
    return static_cast<std::size_t>(waiting);
}

bool IsOpenHandle(COMHandle handle) {
    return handle <= 0x7fffffff && ::fcntl(static_cast<int>(handle), F_GETFD) != -1;
}

COMHandle ClosedHandle() {
    const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ::close(fd);
    return static_cast<COMHandle>(fd);
}

}  // namespace lintaro::testing_support
