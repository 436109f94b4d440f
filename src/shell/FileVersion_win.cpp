// The FileVersion text from a file's version resource: the translation table first, then
// the string table of each listed translation in order, until one has a FileVersion.
#include <windows.h>

#include <cwchar>
#include <vector>

#include "shell/FileVersionCore.h"
#include "serial/WinText.h"

namespace lintaro {

namespace {

std::string ToUtf8(const wchar_t* text, std::size_t size) {
    return WideToUtf8(std::wstring_view(text, size));
}

struct Translation {
    WORD language;
    WORD codePage;
};

}  // namespace

std::string GetFileVersionUtf8(const std::filesystem::path& fileName) {
    if (fileName.empty()) return {};
    const DWORD attributes = GetFileAttributesW(fileName.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return {};
    }
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(fileName.c_str(), &ignored);
    if (size == 0) return {};
    std::vector<BYTE> block(size);
    if (!GetFileVersionInfoW(fileName.c_str(), 0, size, block.data())) return {};

    void* table = nullptr;
    UINT tableSize = 0;
    if (!VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", &table, &tableSize) ||
        table == nullptr) {
        return {};
    }
    const auto* pairs = static_cast<const Translation*>(table);
    for (UINT i = 0; i < tableSize / sizeof(Translation); ++i) {
        // Language then code page, four upper-case hex digits each: 041904E3.
        wchar_t path[64];
        std::swprintf(path, std::size(path), L"StringFileInfo\\%04X%04X\\FileVersion",
                      pairs[i].language, pairs[i].codePage);
        void* value = nullptr;
        UINT length = 0;
        if (VerQueryValueW(block.data(), path, &value, &length) && value != nullptr) {
            // The length counts characters and may include the terminating zero.
            const auto* text = static_cast<const wchar_t*>(value);
            return ToUtf8(text, wcsnlen(text, length));
        }
    }
    return {};
}

}  // namespace lintaro
