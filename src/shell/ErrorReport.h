// The application's error report: an error raised inside an event handler and not caught
// there ends that handler and its text is shown in a message box; the program goes on.
#pragma once

#include <QApplication>
#include <QString>
#include <stdexcept>

#include "log/LintaroError.h"

namespace lintaro {

// Caption of the error report's message box.
QString ErrorReportCaption();

// Shows the error report for an exception (its text in a message box with the error icon).
void ShowErrorReport(const std::exception& error);
void ShowErrorReport(const QString& text);

// Runs an event handler and reports an error that escapes it. Handlers called from Qt's
// signals use this: Qt's own frames are not built to let exceptions pass through them.
template <class Handler>
void RunHandler(Handler&& handler) {
    try {
        handler();
    } catch (const std::exception& error) {
        ShowErrorReport(error);
    }
}

// The application object: its notify() is the one place where errors escaping an event
// handler are caught and reported.
class LintaroApplication : public QApplication {
    Q_OBJECT
public:
    LintaroApplication(int& argc, char** argv);
    bool notify(QObject* receiver, QEvent* event) override;
};

}  // namespace lintaro
