// The main window's log entry and its Autoscroll view of the log window.
#include <QCheckBox>

#include "log/LOGUnit.h"
#include "log/LogLines.h"
#include "log/TimeFuncs.h"
#include "shell/MainFormUnit.h"

namespace lintaro {

void TMainLintaroForm::WriteLog(const QString& text, const QString& direction) {
    TLOGForm* log = LOGForm();
    // The log window is hidden for the program's whole life, so these lines are dropped.
    if (log == nullptr || !log->isVisible()) return;
    log->AppendLines(FormLogLines(text, direction, LogLayout::MainWindow, GetTimeStamp),
                     log->AutiscrollCheckBox->isChecked());
}

void TMainLintaroForm::WriteLogBytes(const QByteArray& bytes, const QString& direction) {
    // Relayed chunks are turned into text by the log window when it takes them in: only
    // for a shown log, and never more often than it can show them.
    TLOGForm* log = LOGForm();
    if (log == nullptr || !log->isVisible()) return;
    log->AppendData(bytes, direction, log->AutiscrollCheckBox->isChecked());
}

bool TMainLintaroForm::Autoscroll() const {
    const TLOGForm* log = LOGForm();
    return log != nullptr && log->AutiscrollCheckBox->isChecked();
}

}  // namespace lintaro
