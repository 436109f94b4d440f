// The sign is a window of the class "TMainLintaroForm", which the single-instance test
// looks for with FindWindowW. Qt names its own window classes, so the main window cannot
// carry that class itself; a hidden window of it is held instead for as long as the
// program runs. It is a top-level window, not a message-only one: FindWindowW does not
// see message-only windows. Other tools that look for the program by its class find it
// the same way.
#include <windows.h>

#include "shell/InstanceSign.h"

namespace lintaro {

namespace {

constexpr wchar_t kSignClass[] = L"TMainLintaroForm";

HWND SignWindow(long long handle) {
    return reinterpret_cast<HWND>(static_cast<INT_PTR>(handle));
}

bool RegisterSignClass(HINSTANCE instance) {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = DefWindowProcW;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = kSignClass;
    return RegisterClassW(&windowClass) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

}  // namespace

InstanceSign::InstanceSign() : FHandle(0) {}

InstanceSign::~InstanceSign() {
    Release();
}

bool InstanceSign::TryAcquire() {
    if (FHandle != 0) return true;
    if (FindWindowW(kSignClass, nullptr) != nullptr) return false;
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    // Without a sign of its own the copy still starts: refusing would be worse.
    if (!RegisterSignClass(instance)) return true;
    // Never shown, no taskbar button; the window lives on the thread that runs the
    // message loop, which also serves its messages.
    const HWND window = CreateWindowExW(WS_EX_TOOLWINDOW, kSignClass, L"", WS_POPUP, 0, 0, 0, 0,
                                        nullptr, nullptr, instance, nullptr);
    if (window != nullptr) FHandle = static_cast<long long>(reinterpret_cast<INT_PTR>(window));
    return true;
}

bool InstanceSign::Held() const { return FHandle != 0; }

void InstanceSign::Release() {
    if (FHandle != 0) {
        DestroyWindow(SignWindow(FHandle));
        FHandle = 0;
    }
}

}  // namespace lintaro
