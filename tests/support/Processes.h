// Processes of the machine, looked for by what they carry.
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <iterator>
#include <string>

namespace lintaro::test {

// How many processes' /proc folders ("/proc/<pid>") satisfy `match`.
inline int CountProcesses(const std::function<bool(const std::string& folder)>& match) {
    int count = 0;
    DIR* proc = ::opendir("/proc");
    while (const dirent* e = proc != nullptr ? ::readdir(proc) : nullptr) {
        if (e->d_name[0] >= '0' && e->d_name[0] <= '9' && match(std::string("/proc/") + e->d_name))
            ++count;
    }
    if (proc != nullptr) ::closedir(proc);
    return count;
}

// Processes whose environment holds `entry` ("NAME=value"): all that a program started,
// Wine's servers of a prefix among them, carry its environment on.
inline int ProcessesWith(const std::string& entry) {
    return CountProcesses([&](const std::string& folder) {
        std::ifstream in(folder + "/environ", std::ios::binary);
        const std::string vars{std::istreambuf_iterator<char>(in), {}};
        return vars.find('\0' + entry + '\0') != std::string::npos ||
               vars.rfind(entry + '\0', 0) == 0;
    });
}

// Processes (not yet ended) whose working folder is `folder` (a canonical path).
inline int ProcessesIn(const std::string& folder) {
    return CountProcesses([&](const std::string& process) {
        char target[4096];
        const ssize_t n = ::readlink((process + "/cwd").c_str(), target, sizeof target);
        return n > 0 && std::string(target, static_cast<std::size_t>(n)) == folder;
    });
}

}  // namespace lintaro::test
