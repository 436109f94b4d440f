#include "shell/MessageBoxes.h"

#include <QMessageBox>

namespace lintaro {

namespace {

void Show(QWidget* owner, QMessageBox::Icon icon, const QString& caption, const QString& text) {
    QMessageBox box(icon, caption, text, QMessageBox::Ok, owner);
    box.exec();
}

}  // namespace

void ShowErrorMessage(QWidget* owner, const QString& text) {
    Show(owner, QMessageBox::Critical, QStringLiteral("Ошибка"), text);
}

void ShowWarningMessage(QWidget* owner, const QString& text) {
    Show(owner, QMessageBox::Warning, QStringLiteral("Предупреждение"), text);
}

}  // namespace lintaro
