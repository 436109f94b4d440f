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

// Once the system has asked the program to stop, nobody waits for a box: its caption and
// text go to standard error instead, and this gives true. False while no stop is asked.
bool ToStandardErrorAfterStop(const QString& caption, const QString& text);

}  // namespace lintaro
