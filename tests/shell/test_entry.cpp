#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QProcess>

#include <csignal>

#include "shell/InstanceSign.h"
#include "shell/Lintaro.h"
#include "shell/MainFormUnit.h"
#include "ModalWatcher.h"
#include "PortDir.h"

using namespace lintaro;
using namespace lintaro::test;

namespace {

bool MainWindowExists() {
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (w->objectName() == QLatin1String("MainLintaroForm")) return true;
    }
    return false;
}

void ExpectRefused() {
    ModalWatcher watcher;
    EXPECT_EQ(RunLintaro(), 0);
    ASSERT_EQ(watcher.Count(), 1);
    EXPECT_EQ(watcher.Seen()[0].title, QStringLiteral("Предупреждение"));
    EXPECT_EQ(watcher.Seen()[0].text, QStringLiteral("Приложение уже запущено."));
    EXPECT_EQ(watcher.Seen()[0].icon, QMessageBox::Warning);
    EXPECT_FALSE(MainWindowExists());
}

}  // namespace

TEST(Entry, second_copy_is_refused_while_the_first_holds_the_sign) {
    InstanceSign first;
    ASSERT_TRUE(first.TryAcquire());
    ExpectRefused();
    first.Release();
    InstanceSign next;
    EXPECT_TRUE(next.TryAcquire());
}

#ifndef _WIN32  // ports from the port folder
TEST(Entry, running_program_refuses_a_second_start_and_a_crash_leaves_no_sign) {
    AddListedPort("sim0");
    // A configuration program copy that a killed run left in the private folder.
    const QString folder = qEnvironmentVariable("XDG_RUNTIME_DIR") + QStringLiteral("/lintaro/");
    ASSERT_TRUE(QDir().mkpath(folder));
    ASSERT_TRUE(
        QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    const QString stale = folder + QStringLiteral("abc12setup.exe");
    ASSERT_TRUE(QFile(stale).open(QIODevice::WriteOnly));
    QProcess program;
    program.setProgram(QStringLiteral(LINTARO_EXECUTABLE));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    program.setProcessEnvironment(env);
    program.start();
    ASSERT_TRUE(program.waitForStarted());
    ASSERT_TRUE(WaitUntil([] {
        InstanceSign probe;
        return !probe.TryAcquire();
    }));
    ExpectRefused();
    EXPECT_TRUE(WaitUntil([&] { return !QFile::exists(stale); })) << "stale copy left";

    program.kill();  // a crash: nobody releases the sign by hand
    program.waitForFinished();
    InstanceSign after;
    EXPECT_TRUE(after.TryAcquire());
    ClearPortDir();
}
#endif

#ifndef _WIN32
// The system's stop requests end the program the orderly way: it quits by itself (exit
// code 0, not killed by the signal) and gives its sign back.
TEST(Entry, stop_signals_close_the_window_and_end_the_program) {
    for (const int signal : {SIGTERM, SIGHUP, SIGINT}) {
        QProcess program;
        program.setProgram(QStringLiteral(LINTARO_EXECUTABLE));
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        program.setProcessEnvironment(env);
        AddListedPort("sim0");  // no box about an empty port list to hold the start
        program.start();
        ASSERT_TRUE(program.waitForStarted());
        ASSERT_TRUE(WaitUntil([] {
            InstanceSign probe;
            return !probe.TryAcquire();
        }));
        ::kill(static_cast<pid_t>(program.processId()), signal);
        EXPECT_TRUE(program.waitForFinished(10000)) << signal;
        EXPECT_EQ(program.exitStatus(), QProcess::NormalExit) << signal;
        EXPECT_EQ(program.exitCode(), 0) << signal;
        InstanceSign after;
        EXPECT_TRUE(after.TryAcquire()) << signal;
        ClearPortDir();
    }
}
#endif

#ifdef __linux__
// The command line and a missing display are answered in Russian before any window, and
// the program is not aborted by Qt.
TEST(Entry, command_line_and_missing_display_are_answered_before_any_window) {
    struct Case {
        QStringList args;
        int exitCode;
        const char* out;
        const char* err;
        const char* display = nullptr;  // a DISPLAY on which no server answers
    };
    const Case cases[] = {
        {{"--help"}, 0, "Запуск: Lintaro [параметры]", ""},
        {{"--version"}, 0, LINTARO_FILE_VERSION, ""},
        // An unknown argument is named once and ignored; Qt's "-style fusion" is not.
        {{"-style", "fusion", "extra-arg"}, 1, "", "пропущены: extra-arg (справка"},
        {{}, 1, "", "нет графического дисплея. Задайте переменную DISPLAY"},
        {{}, 1, "", "не удаётся открыть графический дисплей «:4093»", ":4093"},
    };
    for (const Case& c : cases) {
        QProcess program;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            env.remove(QString::fromLatin1(name));
        if (c.display != nullptr) env.insert(QStringLiteral("DISPLAY"), QString::fromLatin1(c.display));
        program.setProcessEnvironment(env);
        program.start(QStringLiteral(LINTARO_EXECUTABLE), c.args);
        ASSERT_TRUE(program.waitForFinished(20000));
        const QString out = QString::fromUtf8(program.readAllStandardOutput());
        const QString err = QString::fromUtf8(program.readAllStandardError());
        const std::string name = c.args.join(' ').toStdString();
        EXPECT_EQ(program.exitStatus(), QProcess::NormalExit) << name;
        EXPECT_EQ(program.exitCode(), c.exitCode) << name << err.toStdString();
        EXPECT_TRUE(out.contains(QString::fromUtf8(c.out))) << name << out.toStdString();
        EXPECT_TRUE(err.contains(QString::fromUtf8(c.err))) << name << err.toStdString();
        EXPECT_FALSE(err.contains(QLatin1String("fusion")) || out.contains(QLatin1String("Usage")) ||
                     err.contains(QLatin1String("qt.qpa")));
    }
}
#endif
