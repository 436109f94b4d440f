// Terminal interfaces of the Linux kernel that go beyond POSIX. They need kernel headers
// (<asm/termbits.h>, whose struct termios clashes with the one of <termios.h>), so they
// live apart from COMUtils_posix.cpp. Elsewhere they refuse.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

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

// Asks the driver of the open terminal `fd` for its low-latency mode: USB adapters then
// pass received bytes on at once instead of holding them for their latency timer (16 ms
// on the common chips), which every request/response exchange would wait for. A driver
// without the mode (a pseudo-terminal, most onboard UARTs) keeps its own; that is no
// error. LINTARO_LOW_LATENCY=0 leaves every driver alone (for measurements).
void RequestLowLatency(int fd);
// Gives the driver the mode it had before RequestLowLatency, before `fd` is closed.
void RestoreLowLatency(int fd);

// The user's own processes that have a descriptor open on one of `targets` (what a link
// in /proc/<pid>/fd names: a device's path, "socket:[<inode>]"), each once as
// "<program> (PID <id>)" with the name as ShownForeignText gives it, joined by ", ". Empty
// when none has.
std::string OwnProcessesHolding(const std::vector<std::string>& targets);
// The same processes by id.
std::vector<pid_t> OwnProcessIdsHolding(const std::vector<std::string>& targets);

}  // namespace lintaro::posix
