#include "bridge/SetupLauncher.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "bridge/ModelKey.h"
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
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        throw LintaroError(QStringLiteral("Не удаётся открыть файл \"%1\". %2")
                               .arg(QDir::toNativeSeparators(path), file.errorString()));
    }
    QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        throw LintaroError(QStringLiteral("Ошибка чтения файла \"%1\". %2")
                               .arg(QDir::toNativeSeparators(path), file.errorString()));
    }
    return bytes;
}

}  // namespace

QString ProgramFolder() {
    return QCoreApplication::applicationDirPath() + QLatin1Char('/');
}

bool StartSetupProgramFrom(const QString& programFolder, const ShowErrorFunction& showError,
                           const QByteArray& verInfo,
                           TProcessInformation& procInfo, QString& setupFile) {
    const QString tempFolder = QString::fromStdU16String(setupprocess::TempFolder().u16string());
    if (tempFolder.isEmpty()) {
        showError(QStringLiteral("Оболочка не запущена, системная ошибка"));
        return false;
    }
    const QString text = BytesToText(verInfo);
    const QString settingsPath = programFolder + QStringLiteral("setup.ini");
    if (!FileExists(settingsPath)) {
        showError(QStringLiteral("Оболочка не запущена, не найден файл настроек"));
        return false;
    }
    // An identification without a first field names no model: as one that setup.ini lacks.
    const std::optional<QString> key = DeriveModelKey(text);
    const QString settings =
        DecodeSetupIni(ReadSettingsFile(settingsPath), setupprocess::kPlainTextMayBeUtf8);
    const QString value = key ? SetupIniValue(settings, *key) : QString();
    if (value.isEmpty()) return false;

    // The copy always gets ".exe": the value may name the program without it.
    const QString source = programFolder + value;
    const QString copy = tempFolder + value + QStringLiteral(".exe");
    if (FileExists(source) && setupprocess::CopyForStart(NativePath(source), NativePath(copy)) ==
                                  setupprocess::CopyResult::Failed) {
        return false;
    }
    if (!FileExists(copy)) return false;

    setupprocess::StartedProcess started;
    if (!setupprocess::StartProcess(NativePath(copy), NativePath(programFolder), started)) {
        return false;
    }
    procInfo.hProcess = started.process;
    procInfo.hThread = started.thread;
    procInfo.dwProcessId = started.processId;
    procInfo.dwThreadId = started.threadId;
    setupFile = copy;
    return true;
}

void StopSetupProgramOf(TProcessInformation& procInfo, const QString& setupFile) {
    setupprocess::StartedProcess started{procInfo.hProcess, procInfo.hThread, procInfo.dwProcessId,
                                         procInfo.dwThreadId};
    setupprocess::TerminateProcess(started);
    procInfo = {};
    if (!setupFile.isEmpty()) setupprocess::DeleteCopy(NativePath(setupFile));
}

}  // namespace lintaro
