// The program's own modal message boxes.
#pragma once

#include <QString>

class QWidget;

namespace lintaro {

// Caption "Ошибка", error icon, one OK button. A detail joined by WithDetail is shown
// beneath the text.
void ShowErrorMessage(QWidget* owner, const QString& text);

// Caption "Предупреждение", warning icon, one OK button.
void ShowWarningMessage(QWidget* owner, const QString& text);

}  // namespace lintaro
