// The peer check on real loopback connections held open at once, by this process, by
// processes that carry the started program's mark or another, and by another user: each
// connection is answered for its own other end.
#include <gtest/gtest.h>
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "OtherUser.h"
#include "bridge/PeerCheck.h"

namespace lintaro {
namespace {

struct PeerCase {
    const char* Name;
    const char* Mark;  // the run mark in the connecting program's environment, or null
    bool OtherUser;
    PeerUser User;
    bool StartedHere;
    bool Leaves = false;  // the connection is closed before it is asked about
};

constexpr const char* kStartedMark = "LINTARO_RUN_MARK=0123456789abcdef0123456789abcdef";
const PeerCase kPeerCases[] = {
    {"started_program", kStartedMark, false, PeerUser::Same, true},
    {"another_mark", "LINTARO_RUN_MARK=ffffffffffffffffffffffffffffffff", false, PeerUser::Same, false},
    {"unmarked", nullptr, false, PeerUser::Same, false},
    {"another_user", kStartedMark, true, PeerUser::Other, false},
    {"another_user_gone", kStartedMark, true, PeerUser::Other, false, true},
};

// A shell that connects to `port`, says which row it is and waits to be killed.
pid_t Spawn(const char* mark, bool otherUser, const std::string& script) {
    const pid_t pid = ::fork();
    if (pid != 0) return pid;
    if (otherUser && (::setgroups(0, nullptr) != 0 || ::setresgid(test::OtherUserId, test::OtherUserId, test::OtherUserId) != 0 ||
                      ::setresuid(test::OtherUserId, test::OtherUserId, test::OtherUserId) != 0)) {
        ::_exit(222);
    }
    char* argv[] = {const_cast<char*>("bash"), const_cast<char*>("-c"), const_cast<char*>(script.c_str()), nullptr};
    char* env[] = {const_cast<char*>("PATH=/usr/bin:/bin"),
                   const_cast<char*>(mark != nullptr ? mark : "LINTARO_TEST=1"), nullptr};
    ::execve("/bin/bash", argv, env);
    ::_exit(127);
}

TEST(PeerCheck, each_connection_is_told_by_its_own_other_end) {
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 8), 0);
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const std::string port = std::to_string(ntohs(address.sin_port));

    // The wizard's started program: only its mark matters.
    const pid_t started = Spawn(kStartedMark, false, "exec sleep 60");
    std::vector<pid_t> peers;
    for (std::size_t row = 0; row < std::size(kPeerCases); ++row) {
        const std::string script = "exec 3<>/dev/tcp/127.0.0.1/" + port + " && printf " +
                                   std::to_string(row) + " >&3 && " +
                                   (kPeerCases[row].Leaves ? "exit 0" : "exec sleep 60");
        peers.push_back(Spawn(kPeerCases[row].Mark, kPeerCases[row].OtherUser, script));
    }
    std::vector<int> accepted(std::size(kPeerCases), -1);
    for (std::size_t n = 0; n < std::size(kPeerCases); ++n) {
        pollfd wait{listener, POLLIN, 0};
        if (::poll(&wait, 1, 10000) != 1) break;
        const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        pollfd readable{fd, POLLIN, 0};
        char row = 0;
        if (::poll(&readable, 1, 10000) == 1 && ::read(fd, &row, 1) == 1 && row >= '0' &&
            row - '0' < static_cast<int>(std::size(kPeerCases))) {
            accepted[static_cast<std::size_t>(row - '0')] = fd;
        }
    }
    for (std::size_t row = 0; row < std::size(kPeerCases); ++row) {
        if (kPeerCases[row].Leaves) ::waitpid(peers[row], nullptr, 0);
    }
    for (std::size_t row = 0; row < std::size(kPeerCases); ++row) {
        const PeerCase& c = kPeerCases[row];
        if (accepted[row] < 0) {
            // Only the other user's part may be missing, where ids cannot be switched.
            EXPECT_TRUE(c.OtherUser) << c.Name << " never connected";
            continue;
        }
        std::uint32_t pid = 0;
        EXPECT_EQ(PeerUserOf(accepted[row], &pid), c.User) << c.Name;
        if (c.User != PeerUser::Same) continue;
        EXPECT_EQ(pid, static_cast<std::uint32_t>(peers[row])) << c.Name;
        const PeerProgram program = DescribePeer(pid, static_cast<std::uint32_t>(started));
        EXPECT_EQ(program.name, "sleep") << c.Name;
        EXPECT_EQ(program.startedHere, c.StartedHere) << c.Name;
    }
    for (const pid_t pid : peers) ::kill(pid, SIGKILL);
    ::kill(started, SIGKILL);
    for (const pid_t pid : peers) ::waitpid(pid, nullptr, 0);
    ::waitpid(started, nullptr, 0);
    for (const int fd : accepted) ::close(fd);
    ::close(listener);
}

}  // namespace
}  // namespace lintaro
