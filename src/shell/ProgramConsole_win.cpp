#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include "shell/ProgramConsole.h"

namespace lintaro {

namespace {

bool WriteConsoleText(HANDLE console, const QString& text) {
    const std::wstring wide = text.toStdWString();
    DWORD written = 0;
    return ::WriteConsoleW(console, wide.data(), static_cast<DWORD>(wide.size()), &written,
                           nullptr) != 0;
}

}  // namespace

void WriteToConsole(const QString& text, bool error) {
    // Redirected to a file or a pipe, or a console of its own (a console build, Wine in
    // a terminal): the standard handle. A console gets UTF-16, anything else UTF-8.
    const HANDLE standard = ::GetStdHandle(error ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    if (standard != nullptr && standard != INVALID_HANDLE_VALUE) {
        DWORD mode = 0;
        if (::GetConsoleMode(standard, &mode) && WriteConsoleText(standard, text)) return;
        QString lines = text;
        lines.replace(QLatin1Char('\n'), QLatin1String("\r\n"));
        const QByteArray bytes = lines.toUtf8();
        DWORD written = 0;
        if (::WriteFile(standard, bytes.constData(), static_cast<DWORD>(bytes.size()), &written,
                        nullptr)) {
            return;
        }
    }
    // A GUI program started from cmd.exe has no standard handles; it may write to the
    // console of the program that started it. The prompt is already shown there.
    if (::AttachConsole(ATTACH_PARENT_PROCESS)) {
        const HANDLE console =
            ::CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE,
                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
        const bool written =
            console != INVALID_HANDLE_VALUE && WriteConsoleText(console, QLatin1Char('\n') + text);
        if (console != INVALID_HANDLE_VALUE) ::CloseHandle(console);
        ::FreeConsole();
        if (written) return;
    }
    const std::wstring wide = text.trimmed().toStdWString();
    ::MessageBoxW(nullptr, wide.c_str(), L"Lintaro",
                  MB_OK | (error ? MB_ICONERROR : MB_ICONINFORMATION));
}

bool GraphicalDisplayMissing(bool /*displayGiven*/) {
    return false;  // a Windows desktop session always has one
}

QString NoDisplayMessage() {
    return {};
}

}  // namespace lintaro
