// Whether the other end of an accepted loopback TCP connection belongs to the user this
// program runs as. Other users' processes on the same machine must not reach the device.
#pragma once

#include <cstdint>

namespace lintaro {

enum class PeerUser {
    Same,
    // Another user's, or it cannot be established (it closed already, or the system does
    // not tell).
    Other,
    // The system does not know the owner yet, and may soon: Wine lists a connection's
    // owner only once the owner has used its socket. Never on Linux.
    NotYetKnown,
};

// `descriptor` is the connected socket (a file descriptor on POSIX, a SOCKET on Windows).
PeerUser PeerUserOf(std::intptr_t descriptor);
inline bool PeerIsSameUser(std::intptr_t descriptor) { return PeerUserOf(descriptor) == PeerUser::Same; }

}  // namespace lintaro
