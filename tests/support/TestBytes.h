// Test data shared by the tests and the benchmark: every byte value, and reproducible
// random bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>

namespace lintaro::test_bytes {

inline std::string AllByteValues() {
    std::string bytes;
    for (int i = 0; i < 256; ++i) bytes.push_back(static_cast<char>(i));
    return bytes;
}

// `count` random bytes; the same seed gives the same bytes.
inline std::string RandomBytes(std::size_t count, std::uint64_t seed) {
    std::mt19937_64 random(seed);
    std::string bytes(count, '\0');
    for (std::size_t i = 0; i < count; i += 8) {
        const std::uint64_t word = random();
        std::memcpy(bytes.data() + i, &word, count - i < 8 ? count - i : 8);
    }
    return bytes;
}

}  // namespace lintaro::test_bytes
