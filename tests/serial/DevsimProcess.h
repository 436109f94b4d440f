// A running lintaro-devsim for the tests of the program itself (POSIX only), killed if
// the test ends before it exits.
#pragma once

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "SerialTestSupport.h"

extern char** environ;

namespace lintaro::testing_support {

class DevsimProcess {
public:
    explicit DevsimProcess(std::vector<std::string> args) {
        int out[2];
        if (::pipe(out) != 0) throw std::runtime_error("pipe failed");
        args.insert(args.begin(), LINTARO_DEVSIM_PROGRAM);
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        posix_spawn_file_actions_addclose(&actions, out[1]);
        const int failed = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        output_ = out[0];
        if (failed != 0) pid_ = -1;
    }
    ~DevsimProcess() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        ::close(output_);
    }

    bool running() const { return pid_ > 0; }
    void signal(int s) { ::kill(pid_, s); }

    std::string readLine() {
        std::string line;
        const auto deadline = Clock::now() + WaitLimit;
        char c = 0;
        while (c != '\n') {
            pollfd p{output_, POLLIN, 0};
            if (::poll(&p, 1, MillisecondsUntil(deadline)) <= 0 || ::read(output_, &c, 1) != 1)
                return line;
            if (c != '\n') line.push_back(c);
        }
        return line;
    }

    int waitForExit() {
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return status;
    }

private:
    pid_t pid_ = -1;
    int output_ = -1;
};

}  // namespace lintaro::testing_support
