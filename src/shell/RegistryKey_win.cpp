#include <windows.h>

#include <vector>

#include "shell/RegistryKey.h"
#include "serial/WinText.h"

namespace lintaro {

namespace {

HKEY AsKey(std::uintptr_t key) {
    return reinterpret_cast<HKEY>(key);
}

std::string ToUtf8(const std::wstring& text) { return WideToUtf8(text); }

}  // namespace

RegistryKey::RegistryKey(const std::wstring& path) : FKey(0) {
    HKEY key = nullptr;
    // Created when missing, a read included, so the key exists after the first start.
    if (RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_READ | KEY_WRITE, nullptr, &key, nullptr) == ERROR_SUCCESS) {
        FKey = reinterpret_cast<std::uintptr_t>(key);
    }
}

RegistryKey::~RegistryKey() {
    Close();
}

void RegistryKey::Close() {
    if (FKey != 0) {
        RegCloseKey(AsKey(FKey));
        FKey = 0;
    }
}

bool RegistryKey::ValueExists(const std::wstring& name) const {
    if (FKey == 0) return false;
    return RegQueryValueExW(AsKey(FKey), name.c_str(), nullptr, nullptr, nullptr, nullptr) ==
           ERROR_SUCCESS;
}

std::wstring RegistryKey::ReadString(const std::wstring& name) const {
    if (FKey == 0) return {};
    DWORD type = 0;
    DWORD size = 0;
    LONG result = RegQueryValueExW(AsKey(FKey), name.c_str(), nullptr, &type, nullptr, &size);
    if (result != ERROR_SUCCESS) return {};
    // The query itself accepts every type, so the type is checked here.
    if (type != REG_SZ && type != REG_EXPAND_SZ) {
        throw RegistryError("Invalid data type for '" + ToUtf8(name) + "'");
    }
    std::vector<wchar_t> data;
    do {
        // One character more than reported: stored text need not end with a zero.
        data.assign(size / sizeof(wchar_t) + 2, L'\0');
        size = static_cast<DWORD>((data.size() - 1) * sizeof(wchar_t));
        result = RegQueryValueExW(AsKey(FKey), name.c_str(), nullptr, &type,
                                  reinterpret_cast<BYTE*>(data.data()), &size);
    } while (result == ERROR_MORE_DATA);
    if (result != ERROR_SUCCESS) return {};
    if (type != REG_SZ && type != REG_EXPAND_SZ) {
        throw RegistryError("Invalid data type for '" + ToUtf8(name) + "'");
    }
    // The text ends at its first zero.
    return std::wstring(data.data());
}

void RegistryKey::WriteString(const std::wstring& name, const std::wstring& value) {
    // Stored with its terminating zero, as the registry's string type expects.
    const auto bytes = static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t));
    if (FKey == 0 ||
        RegSetValueExW(AsKey(FKey), name.c_str(), 0, REG_SZ,
                       reinterpret_cast<const BYTE*>(value.c_str()), bytes) != ERROR_SUCCESS) {
        throw RegistryError("Failed to set data for '" + ToUtf8(name) + "'");
    }
}

}  // namespace lintaro
