#include "shell/Lintaro.h"

#include "shell/Fonts.h"

#include <QApplication>
#include <QDebug>

#include "bridge/SetupProcess.h"
#include "log/LOGUnit.h"
#include "shell/COMSettingsUnit.h"
#include "shell/ErrorReport.h"
#include "shell/InstanceSign.h"
#include "shell/MainFormUnit.h"
#include "shell/MessageBoxes.h"
#include "shell/TPCServerSettingsUnit.h"

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
    windows.LOGForm->setFont(TahomaFont());
    QObject::connect(windows.LOGForm.get(), &TLOGForm::ErrorRaised,
                     [](const QString& text) { ShowErrorReport(text); });
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
