// The started configuration program: process and thread handles and ids (on POSIX the
// process handle is the process id and the thread handle is unused).
#pragma once

#include <cstdint>

namespace lintaro {

struct TProcessInformation {
    std::intptr_t hProcess = 0;
    std::intptr_t hThread = 0;
    std::uint32_t dwProcessId = 0;
    std::uint32_t dwThreadId = 0;
    bool Ended = false;  // it ended by itself and was reaped; the stop ends what it left
};

}  // namespace lintaro
