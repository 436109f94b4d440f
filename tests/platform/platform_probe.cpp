// Probe program of the platform tests.
//   (no arguments)  a stand-in configuration program: writes how it was started to
//                   "probe.txt" in its working directory, then waits to be ended
//   --sign          takes the single-instance sign: exit code 0 when it got it, 3 when
//                   another copy holds it
//   --wizard P F    plays the wizard: starts program P in folder F as the wizard does,
//                   writes its process id to F/wizard.txt, then waits to be killed
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#ifdef _WIN32
#include <windows.h>
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
