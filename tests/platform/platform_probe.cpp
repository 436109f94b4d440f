// Probe program of the platform tests.
//   (no arguments)  a stand-in configuration program: writes how it was started to
//                   "probe.txt" in its working directory, then waits to be ended
//   --sign          takes the single-instance sign: exit code 0 when it got it, 3 when
//                   another copy holds it
//   --wizard P F    plays the wizard: starts program P in folder F as the wizard does,
//                   writes its process id to F/wizard.txt, then waits to be killed
//   --reused-id P F as --wizard, killed; the program's id then goes to a daemon of the
//                   user's, whose worker must survive the next start's clean-up: exit
//                   code 0 when it did, 5 when it was killed (in a private process
//                   namespace, where ids can be handed out at will)
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "bridge/SetupProcess.h"
#include "shell/InstanceSign.h"

int main(int argc, char** argv) {
    if (argc == 2 && std::string(argv[1]) == "--sign") {
        lintaro::InstanceSign sign;
        return sign.TryAcquire() ? 0 : 3;
    }

    if (argc == 4 && std::string(argv[1]) == "--wizard") {
        lintaro::setupprocess::StartedProcess started;
        std::string problem;
        if (lintaro::setupprocess::StartProcess(argv[2], argv[3], started, problem) !=
            lintaro::setupprocess::StartResult::Started)
            return 1;
        {
            std::ofstream out(std::filesystem::path(argv[3]) / "wizard.tmp");
            out << started.processId << "\n";
        }
        std::filesystem::rename(std::filesystem::path(argv[3]) / "wizard.tmp",
                                std::filesystem::path(argv[3]) / "wizard.txt");
        for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
    }

#ifndef _WIN32
    if (argc == 4 && std::string(argv[1]) == "--reused-id") {
        int channel[2];
        if (::pipe(channel) != 0) return 11;
        const pid_t wizard = ::fork();
        if (wizard == 0) {
            lintaro::setupprocess::StartedProcess started;
            std::string problem;
            lintaro::setupprocess::StartProcess(argv[2], argv[3], started, problem);
            [[maybe_unused]] ssize_t n = ::write(channel[1], &started.processId, sizeof(pid_t));
            for (;;) ::pause();
        }
        pid_t program = 0;
        if (::read(channel[0], &program, sizeof program) != sizeof program || program <= 0)
            return 12;
        ::kill(wizard, SIGKILL);  // the program dies with it and comes to this process, the init
        for (int reaped = 0; reaped < 2;) {
            const pid_t r = ::waitpid(-1, nullptr, 0);
            if (r == wizard || r == program) ++reaped;
            if (r < 0 && errno != EINTR) return 13;
        }
        std::ofstream("/proc/sys/kernel/ns_last_pid") << program - 1;
        const pid_t leader = ::fork();
        if (leader == 0) {
            ::setsid();
            const pid_t worker = ::fork();
            if (worker == 0)
                for (;;) ::pause();
            [[maybe_unused]] ssize_t n = ::write(channel[1], &worker, sizeof worker);
            ::_exit(0);
        }
        pid_t worker = 0;
        if (leader != program || ::read(channel[0], &worker, sizeof worker) != sizeof worker)
            return 14;
        ::waitpid(leader, nullptr, 0);
        lintaro::setupprocess::EndEarlierRuns();
        ::kill(worker, SIGTERM);
        int status = 0;
        ::waitpid(worker, &status, 0);
        return WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM ? 0 : 5;
    }
#endif

    std::string report;
    report += "argc=" + std::to_string(argc) + "\n";
    const std::u8string cwd = std::filesystem::current_path().u8string();
    report += "cwd=" + std::string(cwd.begin(), cwd.end()) + "\n";
#ifdef _WIN32
    STARTUPINFOW startup{};
    GetStartupInfoW(&startup);
    report += "startup_flags=" + std::to_string(startup.dwFlags) + "\n";
    report += "show_window=" + std::to_string(startup.wShowWindow) + "\n";
#endif
    // Relative names: written into the working directory, complete before it appears.
    {
        std::ofstream out("probe.tmp", std::ios::binary);
        out << report;
        if (!out) return 1;
    }
    std::error_code error;
    std::filesystem::rename("probe.tmp", "probe.txt", error);
    if (error) return 1;
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}
