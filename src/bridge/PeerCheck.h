// Whether the other end of an accepted loopback TCP connection belongs to the user this
// program runs as. Other users' processes on the same machine must not reach the device.
#pragma once

#include <cstdint>
#include <string>

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
// For a connection of the user's own, `pid` (when given) gets the id of the process that
// holds the other end, 0 where the system does not tell.
PeerUser PeerUserOf(std::intptr_t descriptor, std::uint32_t* pid = nullptr);
inline bool PeerIsSameUser(std::intptr_t descriptor) { return PeerUserOf(descriptor) == PeerUser::Same; }

// A process of the user's own, for the log.
struct PeerProgram {
    std::string name;  // its executable's name, as the system tells it (not shown as is)
    // The configuration program this wizard started, or a process it started in turn.
    bool startedHere = false;
};
// `started`: the id of the configuration program this wizard started, 0 if none.
PeerProgram DescribePeer(std::uint32_t pid, std::uint32_t started);

}  // namespace lintaro
