// Processes of the machine, looked for by what they carry.
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>

namespace lintaro::test {

// Processes whose environment holds `entry` ("NAME=value"): all that a program started,
// Wine's servers of a prefix among them, carry its environment on.
inline int ProcessesWith(const std::string& entry) {
    int count = 0;
    DIR* proc = ::opendir("/proc");
    while (const dirent* e = proc != nullptr ? ::readdir(proc) : nullptr) {
        if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
        std::ifstream in(std::string("/proc/") + e->d_name + "/environ", std::ios::binary);
        const std::string vars{std::istreambuf_iterator<char>(in), {}};
        if (vars.find('\0' + entry + '\0') != std::string::npos ||
            vars.rfind(entry + '\0', 0) == 0) {
            ++count;
        }
    }
    if (proc != nullptr) ::closedir(proc);
    return count;
}

// Processes (not yet ended) whose working folder is `folder` (a canonical path).
inline int ProcessesIn(const std::string& folder) {
    int count = 0;
    DIR* proc = ::opendir("/proc");
    while (const dirent* e = proc != nullptr ? ::readdir(proc) : nullptr) {
        if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
        char target[4096];
        const std::string link = std::string("/proc/") + e->d_name + "/cwd";
        const ssize_t n = ::readlink(link.c_str(), target, sizeof target);
        if (n > 0 && std::string(target, static_cast<std::size_t>(n)) == folder) ++count;
    }
    if (proc != nullptr) ::closedir(proc);
    return count;
}

}  // namespace lintaro::test
