#include "shell/MessageBoxes.h"

#include <QMessageBox>
#include <cstdio>

#include "shell/StopSignals.h"

namespace lintaro {

namespace {

void Show(QWidget* owner, QMessageBox::Icon icon, const QString& caption, const QString& text) {
    if (ToStandardErrorAfterStop(caption, text)) return;
    QMessageBox box(icon, caption, text, QMessageBox::Ok, owner);
    box.exec();
}

}  // namespace

bool ToStandardErrorAfterStop(const QString& caption, const QString& text) {
    if (!StopRequested()) return false;
    std::fprintf(stderr, "%s: %s\n", caption.toLocal8Bit().constData(),
                 text.toLocal8Bit().constData());
    std::fflush(stderr);
    return true;
}

void ShowErrorMessage(QWidget* owner, const QString& text) {
    Show(owner, QMessageBox::Critical, QStringLiteral("Ошибка"), text);
}

void ShowWarningMessage(QWidget* owner, const QString& text) {
    Show(owner, QMessageBox::Warning, QStringLiteral("Предупреждение"), text);
}

}  // namespace lintaro
