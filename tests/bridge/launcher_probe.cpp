// Stand-in configuration program for the launcher's tests. It writes how it was started
// (arguments, working directory, session, standard input, inherited descriptors) to
// "probe.txt" in its working directory, then waits to be killed. A helper process of its
// own shows whether the whole process group ends with it.
#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::string Link(const char* path) {
    char target[PATH_MAX];
    const ssize_t n = readlink(path, target, sizeof target - 1);
    return n < 0 ? std::string() : std::string(target, static_cast<std::size_t>(n));
}

int ExtraDescriptors() {
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) return -1;
    int count = 0;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        const int fd = std::atoi(entry->d_name);
        if (fd > 2 && fd != dirfd(dir)) ++count;
    }
    closedir(dir);
    return count;
}

}  // namespace

int main(int argc, char** argv) {
    const pid_t helper = fork();
    if (helper == 0) {
        for (;;) pause();
    }
    char cwd[PATH_MAX] = {};
    if (getcwd(cwd, sizeof cwd) == nullptr) return 1;

    std::string report;
    report += "argc=" + std::to_string(argc) + "\n";
    report += "argv0=" + std::string(argv[0]) + "\n";
    report += "cwd=" + std::string(cwd) + "\n";
    report += "pid=" + std::to_string(getpid()) + "\n";
    report += "sid=" + std::to_string(getsid(0)) + "\n";
    report += "pgid=" + std::to_string(getpgrp()) + "\n";
    report += "stdin=" + Link("/proc/self/fd/0") + "\n";
    report += "extra_fds=" + std::to_string(ExtraDescriptors()) + "\n";
    report += "helper=" + std::to_string(helper) + "\n";

    // Relative names: written into the working directory, complete before it appears.
    FILE* file = std::fopen("probe.tmp", "w");
    if (file == nullptr) return 1;
    std::fputs(report.c_str(), file);
    std::fclose(file);
    if (std::rename("probe.tmp", "probe.txt") != 0) return 1;
    for (;;) pause();
}
