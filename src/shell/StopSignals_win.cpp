#include "shell/StopSignals.h"

#include <windows.h>

#include <QApplication>
#include <QWinEventNotifier>

namespace lintaro {

namespace {

// The console's control handler runs on a thread that the system makes for it, so it
// touches nothing of Qt: it signals `requestEvent`, which the window's thread watches in
// its event loop (the counterpart of the POSIX self-pipe), and waits for `closedEvent`,
// which that thread sets when its loop ends, after the closing steps.
HANDLE requestEvent = nullptr;  // auto-reset: one close per request
HANDLE closedEvent = nullptr;   // manual-reset: releases every waiting handler

// Windows ends the process as soon as the handler returns from a console close, a logoff
// or a shutdown, and in any case at its own limit (5 s unless configured otherwise). The
// wait is bounded only for a window thread that never answers. A request during the start
// ends the program before its loop runs, which ends the waiting thread with the process.
constexpr DWORD kCloseWaitMs = 10000;

bool stopRequested = false;

// A second request during the close (nested loops) finds the windows closing already.
void CloseWindows() {
    if (stopRequested) return;
    stopRequested = true;
    QApplication::closeAllWindows();
    QCoreApplication::quit();
}

BOOL WINAPI OnConsoleControl(DWORD type) {
    switch (type) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
            // No deadline here: the program ends when its loop does.
            ::SetEvent(requestEvent);
            return TRUE;
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            ::SetEvent(requestEvent);
            ::WaitForSingleObject(closedEvent, kCloseWaitMs);
            return TRUE;
        default:
            return FALSE;
    }
}

}  // namespace

void InstallStopSignals() {
    // The end of the session reaches Qt as WM_QUERYENDSESSION, which it passes on as a
    // request to commit data: the window closes as on the user's close, before Windows
    // ends the process.
    QObject::connect(qGuiApp, &QGuiApplication::commitDataRequest, qGuiApp, [] { CloseWindows(); });

    // A console the program is attached to: its close, Ctrl+C and Ctrl+Break. Logoff and
    // shutdown reach a program with windows as the session end above; the console handler
    // takes them too where they come.
    requestEvent = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    closedEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (requestEvent == nullptr || closedEvent == nullptr) return;
    auto* notifier = new QWinEventNotifier(requestEvent, QCoreApplication::instance());
    QObject::connect(notifier, &QWinEventNotifier::activated, notifier, [] { CloseWindows(); });
    QObject::connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit,
                     [] { ::SetEvent(closedEvent); });
    ::SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

bool StopRequested() { return stopRequested; }

void ForgetStopRequest() { stopRequested = false; }

}  // namespace lintaro
