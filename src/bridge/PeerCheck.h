// Whether the other end of an accepted loopback TCP connection belongs to the user this
// program runs as. Other users' processes on the same machine must not reach the device.
#pragma once

#include <cstdint>

namespace lintaro {

// `descriptor` is the connected socket (a file descriptor on POSIX, a SOCKET on Windows).
// False when the peer is another user's or cannot be established (it closed already, or
// the system does not tell).
bool PeerIsSameUser(std::intptr_t descriptor);

}  // namespace lintaro
