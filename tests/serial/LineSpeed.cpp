#include "LineSpeed.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

unsigned ReadLineSpeed(int fd) {
    struct termios2 tio {};
    if (::ioctl(fd, TCGETS2, &tio) != 0) return 0;
    return tio.c_ospeed;
}
