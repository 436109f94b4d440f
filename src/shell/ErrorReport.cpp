#include "shell/ErrorReport.h"

#include <QMessageBox>

#include "shell/MessageBoxes.h"

namespace lintaro {

QString ErrorReportCaption() { return QStringLiteral("Lintaro"); }

void ShowErrorReport(const QString& text) {
    if (ToStandardErrorAfterStop(ErrorReportCaption(), text)) return;
    QMessageBox box(QMessageBox::Critical, ErrorReportCaption(), text, QMessageBox::Ok,
                    QApplication::activeWindow());
    box.setObjectName(QStringLiteral("ErrorReport"));
    box.exec();
}

void ShowErrorReport(const std::exception& error) {
    ShowErrorReport(ErrorText(error));
}

LintaroApplication::LintaroApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool LintaroApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& error) {
        ShowErrorReport(error);
    }
    return false;
}

}  // namespace lintaro
