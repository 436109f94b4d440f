#include "shell/MessageBoxes.h"

#include <QMessageBox>
#include <cstdio>

#include "bridge/BoxText.h"
#include "shell/StopSignals.h"

namespace lintaro {

namespace {

// The detail that may follow the text goes beneath it, in the box's smaller print.
void Show(QWidget* owner, QMessageBox::Icon icon, const QString& caption, const QString& text) {
    if (ToStandardErrorAfterStop(caption, QString(text).replace(QChar(BoxDetailSeparator), '\n')))
        return;
    const qsizetype split = text.indexOf(QChar(BoxDetailSeparator));
    QMessageBox box(icon, caption, split < 0 ? text : text.left(split), QMessageBox::Ok, owner);
    if (split >= 0) box.setInformativeText(text.mid(split + 1));
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
