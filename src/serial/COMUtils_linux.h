// Terminal interfaces of the Linux kernel that go beyond POSIX. They need kernel headers
// (<asm/termbits.h>, whose struct termios clashes with the one of <termios.h>), so they
// live apart from COMUtils_posix.cpp. Elsewhere they refuse.
#pragma once

#include <string>

#include "serial/COMUtils.h"

namespace lintaro::posix {

// DescribeCOMPort under the sysfs root `sysRoot` ("/sys"): the USB device above the
// port's tty (a link to a port, as in /dev/serial/by-id, is followed first).
COMPortDescription DescribeUSBPort(const std::string& sysRoot, const std::string& name);

// Sets both directions of the open terminal `fd` to `speed` bit/s, for the rates that
// <termios.h> has no constant for (14400, 28800, 56000, 128000, 256000...), and leaves
// every other setting alone. False, with errno set, when the system or the driver refuses.
bool SetArbitraryCOMSpeed(int fd, int speed);

// Whether the UART behind the open terminal `fd` answers. The kernel registers a ttyS
// device for every possible onboard port whether or not a chip is there.
bool UARTPresent(int fd);

}  // namespace lintaro::posix
