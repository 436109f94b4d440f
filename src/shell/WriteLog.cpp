// The main window's log entry and its Autoscroll view of the log window.
#include <QCheckBox>

#include "log/LOGUnit.h"
#include "log/LogLines.h"
#include "log/TimeFuncs.h"
#include "shell/MainFormUnit.h"

namespace lintaro {

bool TMainLintaroForm::LogShown() const { return FLOGForm != nullptr && FLOGForm->isVisible(); }

void TMainLintaroForm::WriteLog(const QString& text, const QString& direction) {
    // The log window is hidden for the program's whole life, so these lines are dropped.
    if (!LogShown()) return;
    FLOGForm->AppendLines(FormLogLines(text, direction, LogLayout::MainWindow, GetTimeStamp),
                          FLOGForm->AutiscrollCheckBox->isChecked());
}

// Relayed data comes batched by the relay (and only while the log is shown); the bytes of
// the identification and of a modem's error come here too.
void TMainLintaroForm::WriteLogBytes(const QByteArray& bytes, const QString& direction) {
    if (!LogShown()) return;
    FLOGForm->AppendData(bytes, direction, FLOGForm->AutiscrollCheckBox->isChecked());
}

bool TMainLintaroForm::Autoscroll() const {
    const TLOGForm* log = LOGForm();
    return log != nullptr && log->AutiscrollCheckBox->isChecked();
}

}  // namespace lintaro
