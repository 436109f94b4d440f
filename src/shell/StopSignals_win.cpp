#include "shell/StopSignals.h"

#include <QApplication>

namespace lintaro {

// The end of the session reaches Qt as WM_QUERYENDSESSION, which it passes on as a request
// to commit data: the window closes as on the user's close, before Windows ends the process.
void InstallStopSignals() {
    QObject::connect(qGuiApp, &QGuiApplication::commitDataRequest, qGuiApp, [] {
        QApplication::closeAllWindows();
        QCoreApplication::quit();
    });
}

}  // namespace lintaro
