// The program's registry key of the current user, HKEY_CURRENT_USER\SOFTWARE\Vormex\Lintaro\,
// without Qt. One accessor per operation: it opens the key (creating it when missing), is
// used and closed again. The settings store of the window (SettingsStore_win.cpp) wraps it.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace lintaro {

// Relative to HKEY_CURRENT_USER, with its trailing backslash.
inline constexpr wchar_t SettingsKeyPath[] = L"SOFTWARE\\Vormex\\Lintaro\\";

// A read of a value that is no string, or a write the registry refused. The text (UTF-8)
// is the one the user sees: "Invalid data type for 'COM'", "Failed to set data for 'COM'".
class RegistryError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class RegistryKey {
public:
    // Opens `path` under HKEY_CURRENT_USER for reading and writing, creating it when
    // missing. A key that cannot be opened or created holds no values and refuses writes.
    explicit RegistryKey(const std::wstring& path = SettingsKeyPath);
    ~RegistryKey();
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;

    bool IsOpen() const { return FKey != 0; }

    bool ValueExists(const std::wstring& name) const;
    // The text of a plain or expandable string value (not expanded); empty when the value
    // is missing. A value of any other type throws RegistryError.
    std::wstring ReadString(const std::wstring& name) const;
    // Stores a plain string value; throws RegistryError when it cannot be stored.
    void WriteString(const std::wstring& name, const std::wstring& value);

    void Close();

private:
    std::uintptr_t FKey;  // HKEY
};

}  // namespace lintaro
