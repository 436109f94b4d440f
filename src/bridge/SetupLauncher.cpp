#include "bridge/SetupLauncher.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "bridge/ModelKey.h"
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

}  // namespace

QString ProgramFolder() {
    return QCoreApplication::applicationDirPath() + QLatin1Char('/');
}

SetupStart StartSetupProgramFrom(const QString& programFolder, const ShowErrorFunction& showError,
                                 const QByteArray& verInfo, TProcessInformation& procInfo,
                                 QString& setupFile,
                                 const std::function<void(const QString&)>& log) {
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
    if (!FileExists(settingsPath)) {
        log(QStringLiteral("Не найден файл настроек %1").arg(QDir::toNativeSeparators(settingsPath)));
        showError(QStringLiteral("Оболочка не запущена, не найден файл настроек"));
        return SetupStart::NotFound;
    }
    // An identification without a first field names no model: as one that setup.ini lacks.
    const std::optional<QString> key = DeriveModelKey(text);
    const QString settings =
        DecodeSetupIni(ReadSettingsFile(settingsPath), setupprocess::kPlainTextMayBeUtf8);
    if (!key) {
        log(QStringLiteral("Модель прибора не определена по ответу \"%1\"").arg(Printable(text)));
        return SetupStart::NotFound;
    }
    const QString value = SetupIniValue(settings, *key);
    if (value.isEmpty()) {
        log(QStringLiteral("Для модели \"%1\" нет программы настройки в %2")
                .arg(Printable(*key), QDir::toNativeSeparators(settingsPath)));
        return SetupStart::NotFound;
    }
    // A folder part would make the copy land, run and be deleted somewhere else.
    if (!IsPlainProgramName(value)) {
        log(QStringLiteral("Ошибка конфигурации: в setup.ini для модели \"%1\" указано "
                           "недопустимое имя программы настройки \"%2\"")
                .arg(Printable(*key), Printable(value)));
        return SetupStart::NotFound;
    }

    // Only a program that stands in the program folder is started, always from a copy
    // made now. The copy always gets ".exe": the value may name the program without it.
    const QString source = programFolder + value;
    if (!FileExists(source)) {
        log(QStringLiteral("Программа настройки \"%1\" для модели \"%2\" не найдена в папке %3")
                .arg(Printable(value), Printable(*key), QDir::toNativeSeparators(programFolder)));
        return SetupStart::NotFound;
    }
    const QString copy = tempFolder + value + QStringLiteral(".exe");
    if (setupprocess::CopyForStart(NativePath(source), NativePath(copy), problem) ==
        setupprocess::CopyResult::Failed) {
        log(QStringLiteral("Не удалось подготовить копию программы настройки: %1")
                .arg(SystemText(problem)));
        showError(QStringLiteral("Не удалось подготовить копию программы настройки \"%1\".\n%2")
                      .arg(Printable(value), SystemText(problem)));
        return SetupStart::Reported;
    }

    setupprocess::StartedProcess started;
    const setupprocess::StartResult result =
        setupprocess::StartProcess(NativePath(copy), NativePath(programFolder), started, problem);
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
                          .arg(Printable(value), SystemText(problem)));
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

void StopSetupProgramOf(TProcessInformation& procInfo, const QString& setupFile) {
    setupprocess::StartedProcess started{procInfo.hProcess, procInfo.hThread, procInfo.dwProcessId,
                                         procInfo.dwThreadId};
    setupprocess::TerminateProcess(started);
    procInfo = {};
    if (!setupFile.isEmpty()) setupprocess::DeleteCopy(NativePath(setupFile));
}

}  // namespace lintaro
