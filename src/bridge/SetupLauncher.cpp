#include "bridge/SetupLauncher.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "bridge/BoxText.h"
#include "bridge/ModelKey.h"
#include "bridge/ProcessEndNotifier.h"
#include "bridge/RegularFile.h"
#include "bridge/SetupIni.h"
#include "bridge/SetupProcess.h"
#include "log/CodePage.h"
#include "log/LintaroError.h"

namespace lintaro {

namespace {

std::filesystem::path NativePath(const QString& path) {
    return std::filesystem::path(QDir::toNativeSeparators(path).toStdU16String());
}

// A folder does not count as a file; anything else that exists does.
bool FileExists(const QString& path) {
    const QFileInfo info(path);
    return info.exists() && !info.isDir();
}

QByteArray ReadSettingsFile(const QString& path) {
    std::string bytes;
    std::string error;
    const QString shown = QDir::toNativeSeparators(path);
    switch (ReadRegularFile(NativePath(path), SetupIniLimit, bytes, error)) {
        case ReadFileResult::Read:
            return QByteArray::fromStdString(bytes);
        case ReadFileResult::NotRegular:
            throw LintaroError(
                QStringLiteral("Файл \"%1\" не является обычным файлом.").arg(shown));
        case ReadFileResult::TooLarge:
            throw LintaroError(
                QStringLiteral("Файл \"%1\" больше %2 байт.").arg(shown).arg(SetupIniLimit));
        case ReadFileResult::Failed:
            break;
    }
    throw LintaroError(QStringLiteral("Не удаётся открыть файл \"%1\". %2")
                           .arg(shown, QString::fromLocal8Bit(error)));
}

// Control characters would cut or split the log line: shown as "?".
QString Printable(QString text) {
    for (QChar& c : text) {
        if (c.unicode() < 32 || c.unicode() == 127) c = QLatin1Char('?');
    }
    return text;
}

QString SystemText(const std::string& text) {
    return QString::fromLocal8Bit(text.data(), static_cast<qsizetype>(text.size()));
}

// The user's reading of a failed copy or start: the usual reasons in the program's
// language, the system's own text for the rest.
QString FailureText(const setupprocess::FailureReason& reason, const std::string& problem) {
    switch (reason.kind) {
        case setupprocess::Failure::NoPermission:
            return QStringLiteral("Нет прав доступа к файлу.");
        case setupprocess::Failure::NotFound:
            return QStringLiteral("Файл не найден.");
        case setupprocess::Failure::NotExecutable:
            return QStringLiteral("Файл не является исполняемой программой.");
        case setupprocess::Failure::NoSpace:
            return QStringLiteral("Недостаточно места на диске.");
        case setupprocess::Failure::Other:
            break;
    }
    return SystemText(reason.systemText.empty() ? problem : reason.systemText);
}

}  // namespace

QString ProgramFolder() {
    return QCoreApplication::applicationDirPath() + QLatin1Char('/');
}

SetupStart StartSetupProgramFrom(const QString& programFolder, const ShowErrorFunction& showError,
                                 const QByteArray& verInfo, TProcessInformation& procInfo,
                                 QString& setupFile, const std::function<void(const QString&)>& log,
                                 QString* missing) {
    const auto notFound = [missing](const QString& detail) {
        if (missing != nullptr) *missing = detail;
        return SetupStart::NotFound;
    };
    if (missing != nullptr) missing->clear();
    std::string problem;
    const QString tempFolder =
        QString::fromStdU16String(setupprocess::TempFolder(problem).u16string());
    if (tempFolder.isEmpty()) {
        log(QStringLiteral("Нет папки для копии программы настройки: %1").arg(SystemText(problem)));
        showError(QStringLiteral("Оболочка не запущена, системная ошибка"));
        return SetupStart::NotFound;
    }
    const QString text = BytesToText(verInfo);
    const QString settingsPath = programFolder + QStringLiteral("setup.ini");
    const QString shownSettings = QDir::toNativeSeparators(settingsPath);
    if (!FileExists(settingsPath)) {
        log(QStringLiteral("Не найден файл настроек %1").arg(shownSettings));
        showError(WithDetail(QStringLiteral("Оболочка не запущена, не найден файл настроек"),
                             QStringLiteral("Файл настроек: %1").arg(shownSettings)));
        return SetupStart::NotFound;
    }
    // An identification without a first field, or whose first field has no full stop,
    // names no model: the user hears that, with the reply, not about setup.ini. Only a
    // line of setup.ini with an empty key still serves the empty key.
    const std::optional<QString> key = DeriveModelKey(text);
    const QString settings =
        DecodeSetupIni(ReadSettingsFile(settingsPath), setupprocess::kPlainTextMayBeUtf8);
    const QString value = key ? SetupIniValue(settings, *key) : QString();
    if (!key || (key->isEmpty() && value.isEmpty())) {
        log(QStringLiteral("Модель прибора не определена по ответу \"%1\"").arg(Printable(text)));
        return notFound(QStringLiteral("Ответ прибора не называет модель: \"%1\"")
                            .arg(Printable(text).trimmed()));
    }
    if (value.isEmpty()) {
        log(QStringLiteral("Для модели \"%1\" нет программы настройки в %2")
                .arg(Printable(*key), shownSettings));
        return notFound(
            QStringLiteral("Модель прибора: %1\nВ файле настроек %2 нет строки для этой модели.")
                .arg(Printable(*key), shownSettings));
    }
    // A folder part would make the copy land, run and be deleted somewhere else.
    if (!IsPlainProgramName(value)) {
        log(QStringLiteral("Ошибка конфигурации: в setup.ini для модели \"%1\" указано "
                           "недопустимое имя программы настройки \"%2\"")
                .arg(Printable(*key), Printable(value)));
        return notFound(QStringLiteral("Модель прибора: %1\nВ файле настроек %2 указано "
                                       "недопустимое имя программы \"%3\".")
                            .arg(Printable(*key), shownSettings, Printable(value)));
    }

    // Only a program that stands in the program folder is started, always from a copy
    // made now. The copy always gets ".exe": the value may name the program without it.
    const QString source = programFolder + value;
    if (!FileExists(source)) {
        log(QStringLiteral("Программа настройки \"%1\" для модели \"%2\" не найдена в папке %3")
                .arg(Printable(value), Printable(*key), QDir::toNativeSeparators(programFolder)));
        return notFound(
            QStringLiteral("Модель прибора: %1\nПрограмма \"%2\" не найдена в папке %3")
                .arg(Printable(*key), Printable(value), QDir::toNativeSeparators(programFolder)));
    }
    const QString copy = tempFolder + value + QStringLiteral(".exe");
    setupprocess::FailureReason reason;
    if (setupprocess::CopyForStart(NativePath(source), NativePath(copy), problem, &reason) ==
        setupprocess::CopyResult::Failed) {
        log(QStringLiteral("Не удалось подготовить копию программы настройки: %1")
                .arg(SystemText(problem)));
        showError(QStringLiteral("Не удалось подготовить копию программы настройки \"%1\" в папке "
                                 "%2.\n%3")
                      .arg(Printable(value), QDir::toNativeSeparators(tempFolder),
                           FailureText(reason, problem)));
        return SetupStart::Reported;
    }

    setupprocess::StartedProcess started;
    const setupprocess::StartResult result = setupprocess::StartProcess(
        NativePath(copy), NativePath(programFolder), started, problem, &reason);
    if (result != setupprocess::StartResult::Started) {
        // A copy that did not start is of no use to anyone.
        setupprocess::DeleteCopy(NativePath(copy));
        if (result == setupprocess::StartResult::WineMissing) {
            log(QStringLiteral("Программа настройки \"%1\" для модели \"%2\" — программа для "
                               "Windows, а Wine не найден%3")
                    .arg(Printable(value), Printable(*key),
                         problem.empty() ? QString() : QStringLiteral(": ") + SystemText(problem)));
            showError(QStringLiteral("Программа настройки \"%1\" — программа для Windows. Для её "
                                     "запуска нужен Wine.\nУстановите его (Debian, Ubuntu): "
                                     "sudo apt install wine")
                          .arg(Printable(value)));
        } else {
            log(QStringLiteral("Не удалось запустить программу настройки \"%1\" для модели "
                               "\"%2\": %3")
                    .arg(Printable(value), Printable(*key), SystemText(problem)));
            showError(QStringLiteral("Не удалось запустить программу настройки \"%1\".\n%2")
                          .arg(Printable(value), FailureText(reason, problem)));
        }
        return SetupStart::Reported;
    }
    procInfo.hProcess = started.process;
    procInfo.hThread = started.thread;
    procInfo.dwProcessId = started.processId;
    procInfo.dwThreadId = started.threadId;
    setupFile = copy;
    return SetupStart::Started;
}

namespace {

setupprocess::StartedProcess Started(const TProcessInformation& procInfo) {
    return {procInfo.hProcess, procInfo.hThread, procInfo.dwProcessId, procInfo.dwThreadId,
            procInfo.Ended};
}

}  // namespace

std::optional<int> ReapEndedSetupProgram(TProcessInformation& procInfo) {
    setupprocess::StartedProcess started = Started(procInfo);
    const std::optional<int> code = setupprocess::ReapIfEnded(started);
    procInfo.Ended = started.ended;
    return code;
}

SetupExitWatch::SetupExitWatch(QObject* parent) : QObject(parent) {
    FTimer.setInterval(kPollInterval);
    connect(&FTimer, &QTimer::timeout, this, &SetupExitWatch::Check);
}

void SetupExitWatch::Check() {
    if (FProcInfo == nullptr) return;
    if (const std::optional<int> code = ReapEndedSetupProgram(*FProcInfo)) {
        Watch(nullptr);
        Q_EMIT Ended(*code);
    } else if (!FTimer.isActive()) {
        FTimer.start();  // woken, yet not reapable: ask until it is
    }
}

void SetupExitWatch::Watch(TProcessInformation* procInfo) {
    FProcInfo = procInfo;
    FTimer.stop();
    delete FNotifier;
    FNotifier = nullptr;
    if (procInfo == nullptr) return;
    FNotifier = NewProcessEndNotifier(*procInfo, this, [this] {
        // Out of the notifier's own signal: Check may delete it.
        QMetaObject::invokeMethod(this, &SetupExitWatch::Check, Qt::QueuedConnection);
    });
    if (FNotifier == nullptr) FTimer.start();
}

QString SetupEndedLogLine(int exitCode) {
    return QStringLiteral("Программа настройки завершилась, код завершения %1").arg(exitCode);
}

void StopSetupProgramOf(TProcessInformation& procInfo, const QString& setupFile) {
    setupprocess::StartedProcess started = Started(procInfo);
    setupprocess::TerminateProcess(started);
    procInfo = {};
    if (!setupFile.isEmpty()) setupprocess::DeleteCopy(NativePath(setupFile));
}

}  // namespace lintaro
