#include "Lintaro.h"

#include <QApplication>
#include <QDebug>

#include "COMSettingsUnit.h"
#include "InstanceSign.h"
#include "LOGUnit.h"
#include "MainFormUnit.h"
#include "MessageBoxes.h"
#include "SetupProcess.h"
#include "TPCServerSettingsUnit.h"

namespace lintaro {

LintaroWindows::LintaroWindows() = default;
LintaroWindows::~LintaroWindows() = default;
LintaroWindows::LintaroWindows(LintaroWindows&&) noexcept = default;
LintaroWindows& LintaroWindows::operator=(LintaroWindows&&) noexcept = default;

LintaroWindows CreateLintaroWindows() {
    LintaroWindows windows;
    windows.MainLintaroForm = std::make_unique<TMainLintaroForm>();
    windows.COMSettingsForm = std::make_unique<TCOMSettingsForm>();
    windows.TCPServerSettingsForm = std::make_unique<TTCPServerSettingsForm>();
    windows.LOGForm = std::make_unique<TLOGForm>();
    windows.MainLintaroForm->SetCompanions(windows.COMSettingsForm.get(),
                                           windows.TCPServerSettingsForm.get(),
                                           windows.LOGForm.get());
    return windows;
}

int RunLintaro() {
    InstanceSign sign;
    if (!sign.TryAcquire()) {
        ShowWarningMessage(nullptr, QStringLiteral("Приложение уже запущено."));
        return 0;
    }
    if (!sign.Problem().empty()) {
        qWarning().noquote() << "No single-instance sign:"
                             << QString::fromStdString(sign.Problem());
    }
    // This copy is the user's only one: any configuration program copy still in the
    // private folder was left by a run that crashed or was killed.
    setupprocess::RemoveStaleCopies();
    QApplication::setQuitOnLastWindowClosed(true);
    LintaroWindows windows = CreateLintaroWindows();
    windows.MainLintaroForm->show();
    return QApplication::exec();
}

}  // namespace lintaro
