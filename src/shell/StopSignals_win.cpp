#include "shell/StopSignals.h"

#include <windows.h>

#include <QApplication>
#include <QWinEventNotifier>

namespace lintaro {

namespace {

// The console's control handler runs on a thread that the system makes for it, so it
// touches nothing of Qt: it signals `stopRequested`, which the window's thread watches in
// its event loop (the counterpart of the POSIX self-pipe), and waits for `closed`, which
// that thread sets once the windows are closed, that is, once the closing steps are done.
HANDLE stopRequested = nullptr;  // auto-reset: one close per signal
HANDLE closed = nullptr;         // manual-reset: releases every waiting handler

// Windows ends the process as soon as the handler returns from a console close, a logoff
// or a shutdown, and in any case at its own limit (5 s unless configured otherwise). The
// wait is bounded only for a window thread that never answers.
constexpr DWORD kCloseWaitMs = 10000;

void CloseWindows() {
    static bool closing = false;  // a second request during the close (nested loops)
    if (!closing) {
        closing = true;
        QApplication::closeAllWindows();
        QCoreApplication::quit();
    }
    ::SetEvent(closed);
}

BOOL WINAPI OnConsoleControl(DWORD type) {
    switch (type) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
            // No deadline here: the program ends when its loop does.
            ::SetEvent(stopRequested);
            return TRUE;
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            ::SetEvent(stopRequested);
            ::WaitForSingleObject(closed, kCloseWaitMs);
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

    // A console the program is attached to (when started from one with a console of its
    // own): its close, Ctrl+C and Ctrl+Break. Logoff and shutdown reach a program with
    // windows as the session end above; the console handler takes them too where they come.
    stopRequested = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    closed = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (stopRequested == nullptr || closed == nullptr) return;
    auto* notifier = new QWinEventNotifier(stopRequested, QCoreApplication::instance());
    QObject::connect(notifier, &QWinEventNotifier::activated, notifier, [] { CloseWindows(); });
    // The loop can also end by the user's close: a handler waiting then is released too.
    QObject::connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit,
                     [] { ::SetEvent(closed); });
    ::SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

}  // namespace lintaro
