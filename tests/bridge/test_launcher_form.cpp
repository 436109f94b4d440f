// The main window's launcher methods: they look beside the window's own executable (this
// test program, which has a folder of its own) and keep the started state in the window.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <filesystem>

#include "ModalWatcher.h"
#include "bridge/SetupProcess.h"
#include "launcher_test_support.h"
#include "log/LOGUnit.h"
#include "shell/MainFormUnit.h"

namespace lintaro::test {
namespace {

TEST(LauncherForm, window_starts_from_its_own_folder_once_and_stops_on_close) {
    const QString folder = QCoreApplication::applicationDirPath() + QLatin1Char('/');
    const QString settings = folder + QStringLiteral("setup.ini");
    const QString program = folder + QStringLiteral("abc12setup");
    QFile::remove(settings);
    QFile::remove(folder + QStringLiteral("probe.txt"));

    ModalWatcher watcher;
    TMainLintaroForm form;
    const int boxesAtCreation = watcher.Count();  // "no ports" when none is present
    form.Session()->SetVerInfo(kAbc12Reply);

    form.Session()->StartSetupProgram();
    EXPECT_FALSE(form.Session()->SetupIsStarted());
    ASSERT_EQ(watcher.Count(), boxesAtCreation + 1);
    EXPECT_EQ(watcher.Seen().back().text,
              QStringLiteral("Оболочка не запущена, не найден файл настроек"));

    ASSERT_TRUE(WriteBytes(settings, "ABC12=abc12setup\r\n"));
    ASSERT_TRUE(InstallProbe(folder, QStringLiteral("abc12setup")));
    form.Session()->StartSetupProgram();
    ASSERT_TRUE(form.Session()->SetupIsStarted());
    const qint64 pid = form.Session()->SetupProcInfo().hProcess;
    const QString copy = form.Session()->SetupFile();
    ASSERT_TRUE(WaitUntil([&] { return !ProbeReport(folder).isEmpty(); }));
    EXPECT_EQ(ProbeReport(folder)[QStringLiteral("pid")], QString::number(pid));
    EXPECT_EQ(ProbeReport(folder)[QStringLiteral("cwd")], QDir(folder).canonicalPath());

    // Started already: nothing is looked at again (a missing setup.ini would be reported).
    QFile::remove(settings);
    form.Session()->StartSetupProgram();
    EXPECT_TRUE(form.Session()->SetupIsStarted());
    EXPECT_EQ(form.Session()->SetupProcInfo().hProcess, pid);
    EXPECT_EQ(watcher.Count(), boxesAtCreation + 1);

    form.Session()->StopSetupProgram();
    EXPECT_FALSE(form.Session()->SetupIsStarted());
    EXPECT_TRUE(ChildReaped(pid));
    EXPECT_FALSE(QFileInfo::exists(copy));
    form.Session()->StopSetupProgram();
    EXPECT_FALSE(form.Session()->SetupIsStarted());

    // Closing the window stops a running program too.
    ASSERT_TRUE(WriteBytes(settings, "ABC12=abc12setup\r\n"));
    form.Session()->StartSetupProgram();
    ASSERT_TRUE(form.Session()->SetupIsStarted());
    const qint64 second = form.Session()->SetupProcInfo().hProcess;
    form.show();
    form.close();
    EXPECT_FALSE(form.Session()->SetupIsStarted());
    EXPECT_TRUE(ChildReaped(second));

    QFile::remove(settings);
    QFile::remove(program);
    QFile::remove(folder + QStringLiteral("probe.txt"));
}

// Each way a start fails leaves one line in the window's log that names what was looked
// for and where. A program that was found but does not start is shown with its reason;
// the other boxes stay the bridge cycle's. A copy that did not start is deleted.
TEST(LauncherForm, a_start_that_fails_names_the_model_the_file_and_the_folder_in_the_log) {
    const QString folder = QCoreApplication::applicationDirPath() + QLatin1Char('/');
    const QString settings = folder + QStringLiteral("setup.ini");
    const QString nativeSettings = QDir::toNativeSeparators(settings);
    ASSERT_TRUE(WriteBytes(folder + "notaprogram", "plain text, no program"));
    const struct {
        const char* ini;  // nullptr: no setup.ini at all
        QString line;
        int boxes = 0;  // the launcher's own
    } cases[] = {
        {"ABC12=../abc12setup\r\n",
         QStringLiteral("Ошибка конфигурации: в setup.ini для модели \"ABC12\" указано "
                        "недопустимое имя программы настройки \"../abc12setup\"")},
        {"DEF7=def7setup\r\n",
         QStringLiteral("Для модели \"ABC12\" нет программы настройки в %1").arg(nativeSettings)},
        {"ABC12=absent\r\n",
         QStringLiteral("Программа настройки \"absent\" для модели \"ABC12\" не найдена в папке %1")
             .arg(QDir::toNativeSeparators(folder))},
        {"ABC12=notaprogram\r\n",
         QStringLiteral(
             "Не удалось запустить программу настройки \"notaprogram\" для модели \"ABC12\": "),
         1},
        {nullptr, QStringLiteral("Не найден файл настроек %1").arg(nativeSettings), 1},
    };
    for (const auto& c : cases) {
        QFile::remove(settings);
        if (c.ini != nullptr) {
            ASSERT_TRUE(WriteBytes(settings, c.ini));
        }
        ModalWatcher watcher;
        TMainLintaroForm form;
        TLOGForm log;
        form.SetCompanions(nullptr, nullptr, &log);
        log.show();
        form.Session()->SetVerInfo(kAbc12Reply);
        const int boxes = watcher.Count();
        form.Session()->StartSetupProgram();
        EXPECT_FALSE(form.Session()->SetupIsStarted());
        EXPECT_EQ(watcher.Count(), boxes + c.boxes);
        ASSERT_EQ(log.Lines().size(), 1) << c.line.toStdString();
        EXPECT_TRUE(log.Lines()[0].contains(c.line)) << log.Lines()[0].toStdString();
    }
    std::string problem;
    const auto temp = setupprocess::TempFolder(problem);
    EXPECT_FALSE(std::filesystem::exists(temp / "notaprogram.exe"));
    QFile::remove(settings);
    QFile::remove(folder + "notaprogram");
}

}  // namespace
}  // namespace lintaro::test
