// The registry accessor of the settings store. The behaviours are tried on a key of the
// test's own under HKEY_CURRENT_USER\SOFTWARE\Vormex; the program's own key is only opened.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "shell/RegistryKey.h"

namespace lintaro {
namespace {

class RegistryKeyTest : public testing::Test {
protected:
    void TearDown() override { RegDeleteTreeW(HKEY_CURRENT_USER, FPath.c_str()); }

    bool KeyExists() const {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, FPath.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
            return false;
        RegCloseKey(key);
        return true;
    }

    // Stores a value of any type behind the accessor's back.
    void SetRaw(const wchar_t* name, DWORD type, const void* data, DWORD size) {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, FPath.c_str(), 0, nullptr, 0, KEY_WRITE,
                                  nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        EXPECT_EQ(RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    }

    std::wstring FPath =
        L"SOFTWARE\\Vormex\\LintaroTest" + std::to_wstring(GetCurrentProcessId()) + L"\\";
};

TEST_F(RegistryKeyTest, a_read_creates_the_missing_key) {
    ASSERT_FALSE(KeyExists());
    {
        const RegistryKey key(FPath);
        EXPECT_TRUE(key.IsOpen());
        EXPECT_FALSE(key.ValueExists(L"COM"));
        EXPECT_EQ(key.ReadString(L"COM"), L"");
    }
    EXPECT_TRUE(KeyExists());
}

TEST_F(RegistryKeyTest, the_settings_key_is_the_programs_key_of_the_current_user) {
    {
        const RegistryKey key;
        EXPECT_TRUE(key.IsOpen());
    }
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"SOFTWARE\\Vormex\\Lintaro", 0, KEY_READ, &key),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

TEST_F(RegistryKeyTest, cyrillic_text_is_stored_as_a_plain_string_with_its_zero) {
    const std::wstring text = L"Порт №3 — COM3";
    {
        RegistryKey key(FPath);
        key.WriteString(L"phone1", text);
        key.WriteString(L"COM", L"");
    }
    const RegistryKey key(FPath);
    EXPECT_TRUE(key.ValueExists(L"phone1"));
    EXPECT_EQ(key.ReadString(L"phone1"), text);
    EXPECT_TRUE(key.ValueExists(L"COM"));
    EXPECT_EQ(key.ReadString(L"COM"), L"");

    DWORD type = 0;
    DWORD size = 0;
    ASSERT_EQ(RegGetValueW(HKEY_CURRENT_USER, FPath.c_str(), L"phone1", RRF_RT_ANY, &type, nullptr,
                           &size),
              ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(size, (text.size() + 1) * sizeof(wchar_t));
}

TEST_F(RegistryKeyTest, expandable_strings_are_read_as_stored_and_other_types_are_refused) {
    const wchar_t expandable[] = L"%TEMP%\\lintaro";
    SetRaw(L"phone2", REG_EXPAND_SZ, expandable, sizeof expandable);
    // Text stored without its zero still reads whole.
    const wchar_t bare[] = {L'C', L'O', L'M', L'9'};
    SetRaw(L"COM", REG_SZ, bare, sizeof bare);
    const DWORD number = 7;
    SetRaw(L"phone1", REG_DWORD, &number, sizeof number);
    const BYTE bytes[] = {1, 2, 3};
    SetRaw(L"phone3", REG_BINARY, bytes, sizeof bytes);

    const RegistryKey key(FPath);
    EXPECT_EQ(key.ReadString(L"phone2"), expandable);
    EXPECT_EQ(key.ReadString(L"COM"), L"COM9");
    for (const wchar_t* name : {L"phone1", L"phone3"}) {
        EXPECT_TRUE(key.ValueExists(name));
        try {
            key.ReadString(name);
            ADD_FAILURE() << "no error for a value that is no string";
        } catch (const RegistryError& error) {
            EXPECT_EQ(std::string(error.what()), name == std::wstring(L"phone1")
                                                     ? "Invalid data type for 'phone1'"
                                                     : "Invalid data type for 'phone3'");
        }
    }
}

TEST_F(RegistryKeyTest, a_key_that_cannot_be_opened_holds_nothing_and_refuses_writes) {
    // A key name part may be at most 255 characters long.
    FPath = L"SOFTWARE\\Vormex\\" + std::wstring(300, L'x') + L"\\";
    RegistryKey key(FPath);
    ASSERT_FALSE(key.IsOpen());
    EXPECT_FALSE(key.ValueExists(L"COM"));
    EXPECT_EQ(key.ReadString(L"COM"), L"");
    try {
        key.WriteString(L"COM", L"COM1");
        ADD_FAILURE() << "the write was not refused";
    } catch (const RegistryError& error) {
        EXPECT_EQ(std::string(error.what()), "Failed to set data for 'COM'");
    }
}

}  // namespace
}  // namespace lintaro
