// One read or write on a handle opened for overlapped I/O (the COM ports), run to its end
// before the call returns: the port's time-outs bound how long it waits. Windows only.
#pragma once

#include <windows.h>

namespace lintaro {

// The calling thread's event for such calls, made once: ReadFile and WriteFile reset it
// when they start.
inline HANDLE ThreadIoEvent() {
    struct Event {
        HANDLE handle = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        ~Event() {
            if (handle != nullptr) CloseHandle(handle);
        }
    };
    thread_local const Event event;
    return event.handle;
}

// `start` begins the call with the OVERLAPPED it is given. `done` is what was moved, also
// when the call failed; false when it failed.
template <class Start>
bool RunToEnd(HANDLE handle, DWORD& done, Start start) {
    done = 0;
    OVERLAPPED overlapped{};
    overlapped.hEvent = ThreadIoEvent();
    if (overlapped.hEvent == nullptr) return false;
    const bool started = start(&overlapped) != FALSE || GetLastError() == ERROR_IO_PENDING;
    return started && GetOverlappedResult(handle, &overlapped, &done, TRUE) != FALSE;
}

}  // namespace lintaro
