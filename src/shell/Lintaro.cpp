#include "shell/Lintaro.h"

#include "shell/Fonts.h"

#include <QApplication>
#include <QDebug>
#include <QIcon>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>
#include <cstdlib>
#include <tuple>
#include <vector>

#include "bridge/SetupProcess.h"
#include "log/LOGUnit.h"
#include "shell/COMSettingsUnit.h"
#include "shell/EngineerOptions.h"
#include "shell/ErrorReport.h"
#include "shell/InstanceSign.h"
#include "shell/MainFormUnit.h"
#include "shell/MessageBoxes.h"
#include "shell/ProgramConsole.h"
#include "shell/StopSignals.h"
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

void InstallQtTranslations() {
    // Qt's own dialogs (the log's save dialog) in the system's language where Qt has it,
    // else in Russian like the rest of the program. A package carries the files beside
    // the program; a Linux install has them where Qt was installed.
    const QStringList folders = {QCoreApplication::applicationDirPath() + QStringLiteral("/translations"),
                                 QLibraryInfo::path(QLibraryInfo::TranslationsPath)};
    auto* translator = new QTranslator(QCoreApplication::instance());
    for (const QString& folder : folders) {
        if (translator->load(QLocale(), QStringLiteral("qtbase"), QStringLiteral("_"), folder) ||
            translator->load(QStringLiteral("qtbase_ru"), folder)) {
            QCoreApplication::installTranslator(translator);
            return;
        }
    }
    delete translator;
}

namespace {

QtMessageHandler gQtHandler = nullptr;
// Qt's messages while the display is being opened: passed on once it has been.
std::vector<std::tuple<QtMsgType, QString, QString>> gHeldMessages;

void HandleWhileOpeningDisplay(QtMsgType type, const QMessageLogContext& context,
                               const QString& text) {
    if (type != QtFatalMsg) {
        gHeldMessages.emplace_back(type, QString::fromUtf8(context.category), text);
        return;
    }
    // Qt's own words on it (and on the warnings that led to it) would be English and
    // send the user to reinstall; nothing has been started yet that needs closing.
    const QString display = qEnvironmentVariableIsEmpty("DISPLAY")
                                ? qEnvironmentVariable("WAYLAND_DISPLAY")
                                : qEnvironmentVariable("DISPLAY");
    WriteToConsole(QStringLiteral("Lintaro: не удаётся открыть графический дисплей «%1». "
                                  "Проверьте переменную DISPLAY или запустите программу в "
                                  "сеансе рабочего стола.\n")
                       .arg(display),
                   true);
    std::_Exit(1);
}

}  // namespace

void BeginOpeningDisplay() {
    gQtHandler = qInstallMessageHandler(HandleWhileOpeningDisplay);
}

void EndOpeningDisplay() {
    qInstallMessageHandler(gQtHandler);
    for (const auto& [type, category, text] : gHeldMessages) {
        const QByteArray name = category.toUtf8();
        const QMessageLogContext context(nullptr, 0, nullptr,
                                         name.isEmpty() ? nullptr : name.constData());
        if (gQtHandler != nullptr) gQtHandler(type, context, text);
    }
    gHeldMessages.clear();
}

std::optional<int> AnswerCommandLine(const ParsedCommandLine& commandLine) {
    if (commandLine.ExitCode) {
        WriteToConsole(commandLine.Output, *commandLine.ExitCode != 0);
        return commandLine.ExitCode;
    }
    if (const QString line = IgnoredArgumentsLine(commandLine); !line.isEmpty())
        WriteToConsole(line, true);
    // Before the application object: without a display Qt would abort the program.
    if (GraphicalDisplayMissing(commandLine.DisplayGiven)) {
        WriteToConsole(NoDisplayMessage(), true);
        return 1;
    }
    return std::nullopt;
}

int RunLintaro(const EngineerOptions& options) {
    InstallQtTranslations();
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/lintaro.png")));
    InstanceSign sign;
    if (!sign.TryAcquire()) {
        ShowWarningMessage(nullptr, QStringLiteral("Приложение уже запущено."));
        return 0;
    }
    if (!sign.Problem().empty()) {
        qWarning().noquote() << "No single-instance sign:"
                             << QString::fromStdString(sign.Problem());
    }
    // Only a copy that holds the sign is the user's only one: then a configuration program
    // still running from an earlier run, and any copy still in the private folder, were
    // left by a run that crashed or was killed. Without the sign another copy may be
    // running with them.
    if (sign.Held()) setupprocess::EndEarlierRuns();
    QApplication::setQuitOnLastWindowClosed(true);
    LintaroWindows windows = CreateLintaroWindows();
    windows.MainLintaroForm->show();
    ApplyEngineerOptions(windows, options);
    if (StopRequested()) {
        // Asked to stop while a box of the start was open: the closing steps, no loop.
        QApplication::closeAllWindows();
        return 0;
    }
    return QApplication::exec();
}

}  // namespace lintaro
