// ELF files have no version resource, so the build stamps one into the binary: a marker
// followed by the version text. Reading it back from the file (rather than returning the
// compiled-in constant) keeps the Windows meaning: a file without the block gives "".
#include <fstream>
#include <string_view>
#include <system_error>

#include "shell/FileVersionCore.h"

namespace lintaro {

namespace {

#define LINTARO_VERSION_MARKER "LINTARO-FILE-VERSION:"

// Kept in the binary even though nothing reads it in memory.
[[gnu::used]] const char kVersionBlock[] = LINTARO_VERSION_MARKER LINTARO_FILE_VERSION;

constexpr std::string_view kMarker = LINTARO_VERSION_MARKER;
constexpr std::size_t kChunk = 1 << 20;

bool IsVersionChar(char c) {
    return (c >= '0' && c <= '9') || c == '.';
}

}  // namespace

std::string GetFileVersionUtf8(const std::filesystem::path& fileName) {
    std::error_code error;
    if (fileName.empty() || !std::filesystem::is_regular_file(fileName, error)) return {};
    std::ifstream file(fileName, std::ios::binary);
    if (!file) return {};
    std::string window;
    std::string chunk(kChunk, '\0');
    bool atEnd = false;
    while (!atEnd) {
        file.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
        window.append(chunk.data(), static_cast<std::size_t>(file.gcount()));
        atEnd = !file;
        std::size_t at = 0;
        while ((at = window.find(kMarker, at)) != std::string::npos) {
            std::size_t end = at + kMarker.size();
            while (end < window.size() && IsVersionChar(window[end])) ++end;
            if (end == window.size() && !atEnd) break;  // may continue in the next chunk
            // The marker's own text (used for searching) is followed by no version digit.
            if (end > at + kMarker.size() && end < window.size() && window[end] == '\0') {
                return window.substr(at + kMarker.size(), end - at - kMarker.size());
            }
            at += 1;
        }
        // Keep a tail long enough to hold a marker cut by the chunk boundary.
        if (window.size() > 256) window.erase(0, window.size() - 256);
    }
    return {};
}

}  // namespace lintaro
