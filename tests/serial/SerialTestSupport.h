// Shared pieces of the serial device tests: a private port folder (POSIX) and waits with
// deadlines.
#pragma once

#include "TestBytes.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <poll.h>
#include <stdlib.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "serial/COMUtils.h"

namespace lintaro::testing_support {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

inline constexpr auto WaitLimit = 10s;

#ifndef _WIN32
// A fresh folder named by LINTARO_PORT_DIR for the lifetime of one test.
class PortFolder {
public:
    PortFolder() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "lintaro-ports-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
        ::setenv("LINTARO_PORT_DIR", path_.c_str(), 1);
    }
    ~PortFolder() {
        ::unsetenv("LINTARO_PORT_DIR");
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    PortFolder(const PortFolder&) = delete;
    PortFolder& operator=(const PortFolder&) = delete;

    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};
#endif

inline int MillisecondsUntil(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Reads from the port until `count` bytes came or the time ran out, waiting for input
// readiness in between. Each read stores at most `capacity` bytes into a buffer guarded at
// its end; a read that reaches past it fails the test.
inline std::string ReadFromPort(COMHandle handle, std::size_t count,
                                std::size_t capacity = COMBufferSize,
                                std::chrono::milliseconds limit = WaitLimit) {
    constexpr std::uint8_t Guard = 0xA5;
    std::vector<std::uint8_t> buffer(capacity + 16, Guard);
    std::string got;
    const auto deadline = Clock::now() + limit;
    while (got.size() < count) {
        const int n = ReadCOMPort(handle, buffer.data(), capacity);
        EXPECT_GE(n, 0);
        EXPECT_LE(static_cast<std::size_t>(std::max(n, 0)), capacity);
        for (std::size_t i = capacity; i < buffer.size(); ++i) {
            if (buffer[i] != Guard) {
                ADD_FAILURE() << "read stored past the buffer's capacity " << capacity;
                return got;
            }
        }
        if (n > 0) {
            got.append(reinterpret_cast<const char*>(buffer.data()), static_cast<std::size_t>(n));
            continue;
        }
        const int left = MillisecondsUntil(deadline);
        if (left == 0) break;
#ifdef _WIN32
        // A port opened without overlapped I/O signals no readiness: look again shortly.
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min(left, 2)));
#else
        pollfd p{static_cast<int>(handle), POLLIN, 0};
        ::poll(&p, 1, left);
#endif
    }
    return got;
}

// Reads until `needle` appears in what came.
inline std::string ReadFromPortUntil(COMHandle handle, const std::string& needle,
                                     std::chrono::milliseconds limit = WaitLimit) {
    std::string got;
    const auto deadline = Clock::now() + limit;
    while (got.find(needle) == std::string::npos && Clock::now() < deadline) {
        got += ReadFromPort(handle, 1, COMBufferSize,
                            std::chrono::milliseconds(MillisecondsUntil(deadline)));
    }
    return got;
}

// For states that announce themselves by no event: looks again every few milliseconds.
inline bool WaitUntil(const std::function<bool()>& condition,
                      std::chrono::milliseconds limit = WaitLimit) {
    const auto deadline = Clock::now() + limit;
    while (!condition()) {
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

using test_bytes::AllByteValues;
using test_bytes::RandomBytes;

}  // namespace lintaro::testing_support
