// What the system tells of another process, for the peer check and the holder of a port.
// Windows only.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "serial/WinText.h"

namespace lintaro {

// The user SID of a process's token, copied into `sid`.
inline bool ProcessUser(HANDLE process, std::vector<BYTE>& sid) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(process, TOKEN_QUERY, &token)) return false;
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<BYTE> buffer(size);
    const bool ok = size > 0 && GetTokenInformation(token, TokenUser, buffer.data(), size, &size);
    CloseHandle(token);
    if (!ok) return false;
    PSID user = reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid;
    if (!IsValidSid(user)) return false;
    sid.assign(static_cast<BYTE*>(user), static_cast<BYTE*>(user) + GetLengthSid(user));
    return true;
}

// The file name of a process's executable (UTF-8, as the process chose it); empty when
// the system does not tell.
inline std::string ProcessImageName(HANDLE process) {
    wchar_t image[MAX_PATH] = {};
    DWORD length = MAX_PATH;
    if (!QueryFullProcessImageNameW(process, 0, image, &length)) return {};
    const std::wstring path(image, length);
    return WideToUtf8(path.substr(path.find_last_of(L"\\/") + 1));
}

}  // namespace lintaro
