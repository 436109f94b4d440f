// Runs a piece of a test as another local user, the way an attacker on a shared machine
// would act: in a forked child whose ids are switched to "nobody". Plain POSIX.
#pragma once

#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <string>

namespace lintaro::test {

inline constexpr uid_t OtherUserId = 65534;  // nobody

// Runs `attack` as OtherUserId and gives its exit code. -1 when this machine cannot switch
// ids (not root, or no such right in this container); `why` then says so. The child uses
// system calls only: it was forked from a program that may run threads.
inline int RunAsOtherUser(const std::function<int()>& attack, std::string& why) {
    constexpr int kCannotSwitch = 222;
    const pid_t pid = ::fork();
    if (pid < 0) {
        why = "fork failed";
        return -1;
    }
    if (pid == 0) {
        if (::setgroups(0, nullptr) != 0 ||
            ::setresgid(OtherUserId, OtherUserId, OtherUserId) != 0 ||
            ::setresuid(OtherUserId, OtherUserId, OtherUserId) != 0) {
            ::_exit(kCannotSwitch);
        }
        ::_exit(attack());
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status)) {
        why = "the other user's part did not end normally";
        return -1;
    }
    if (WEXITSTATUS(status) == kCannotSwitch) {
        why = "this machine cannot switch to user id 65534 (not root, or not allowed here)";
        return -1;
    }
    return WEXITSTATUS(status);
}

}  // namespace lintaro::test
