// The configuration program launcher end to end: real files, a real started process (the
// probe program or the sample configuration program) and real message boxes.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>

#include <QFileInfo>
#include <QLocalServer>
#include <QSysInfo>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

#include "HeldPort.h"
#include "ModalWatcher.h"
#include "OtherUser.h"
#include "bridge/SetupLauncher.h"
#include "launcher_test_support.h"
#include "shell/ErrorReport.h"
#include "shell/MainFormUnit.h"
#include "shell/MessageBoxes.h"

namespace lintaro::test {
namespace {

QByteArray FileBytes(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

class LauncherTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(FDir.isValid());
        ASSERT_TRUE(FScratch.isValid());
        FFolder = FDir.path() + QLatin1Char('/');
        // The copies go to the user's private folder in the home: a scratch home per test
        // keeps tests that run at once, and the machine's own, apart.
        FOldTmp = qgetenv("HOME");
        FOldRuntime = qgetenv("XDG_RUNTIME_DIR");
        qputenv("HOME", FScratch.path().toLocal8Bit());
        qunsetenv("XDG_RUNTIME_DIR");
        ASSERT_EQ(::mkdir((FScratch.path() + "/.cache").toLocal8Bit().constData(), 0700), 0);
        FTemp = FScratch.path() +
                QStringLiteral("/.cache/lintaro-%1/").arg(QSysInfo::machineHostName());
    }

    void TearDown() override {
        if (FStarted) Stop();
        Restore("HOME", FOldTmp);
        Restore("XDG_RUNTIME_DIR", FOldRuntime);
    }

    static void Restore(const char* name, const QByteArray& value) {
        if (value.isNull()) {
            qunsetenv(name);
        } else {
            qputenv(name, value);
        }
    }

    bool Start(const QByteArray& verInfo = kAbc12Reply) {
        FResult = StartSetupProgramFrom(
            FFolder, [](const QString& text) { ShowErrorMessage(nullptr, text); }, verInfo,
            FProcInfo, FSetupFile, [this](const QString& line) { FLog.append(line); }, &FMissing);
        FStarted = FResult == SetupStart::Started;
        return FStarted;
    }

    // A start that raises an error naming setup.ini, for the application's error report.
    void ExpectSetupIniError() {
        try {
            Start();
            ADD_FAILURE() << "no error raised";
        } catch (const LintaroError& error) {
            EXPECT_TRUE(error.Text().contains(QStringLiteral("setup.ini"))) << error.what();
        }
    }

    bool LogHas(const QString& text) const {
        return std::any_of(FLog.begin(), FLog.end(),
                           [&](const QString& line) { return line.contains(text); });
    }

    void Stop() {
        StopSetupProgramOf(FProcInfo, FSetupFile);
        FStarted = false;
    }

    void WriteSetupIni(const QByteArray& text) {
        ASSERT_TRUE(WriteBytes(FFolder + QStringLiteral("setup.ini"), text));
    }

    QMap<QString, QString> WaitForProbe() const {
        WaitUntil([this] { return !ProbeReport(FFolder).isEmpty(); });
        return ProbeReport(FFolder);
    }

    QTemporaryDir FDir;
    QTemporaryDir FScratch;
    QByteArray FOldTmp;
    QByteArray FOldRuntime;
    QString FFolder;
    QString FTemp;
    QStringList FLog;
    TProcessInformation FProcInfo;
    QString FSetupFile;
    QString FMissing;
    bool FStarted = false;
    SetupStart FResult = SetupStart::NotFound;
    ModalWatcher FWatcher;
};

TEST_F(LauncherTest, missing_setup_ini_is_reported_and_nothing_starts) {
    ASSERT_TRUE(InstallProbe(FFolder, QStringLiteral("abc12setup")));
    EXPECT_FALSE(Start());
    ASSERT_EQ(FWatcher.Count(), 1);
    EXPECT_EQ(FWatcher.Seen()[0].title, QStringLiteral("Ошибка"));
    EXPECT_EQ(FWatcher.Seen()[0].text,
              QStringLiteral("Оболочка не запущена, не найден файл настроек"));
    EXPECT_EQ(FWatcher.Seen()[0].icon, QMessageBox::Critical);
    EXPECT_EQ(FWatcher.Seen()[0].detail, QStringLiteral("Файл настроек: ") + FFolder + "setup.ini");
    EXPECT_FALSE(QFile::exists(FTemp + QStringLiteral("abc12setup.exe")));
}

TEST_F(LauncherTest, folder_named_setup_ini_counts_as_missing) {
    ASSERT_TRUE(QDir(FFolder).mkdir(QStringLiteral("setup.ini")));
    EXPECT_FALSE(Start());
    ASSERT_EQ(FWatcher.Count(), 1);
    EXPECT_EQ(FWatcher.Seen()[0].text,
              QStringLiteral("Оболочка не запущена, не найден файл настроек"));
}

TEST_F(LauncherTest, setup_ini_that_cannot_be_opened_raises_an_error_instead_of_a_box) {
    // A socket file exists and is no folder, yet no one, not even root, can open it.
    QLocalServer socketFile;
    ASSERT_TRUE(socketFile.listen(FFolder + QStringLiteral("setup.ini")));
    ASSERT_TRUE(InstallProbe(FFolder, QStringLiteral("abc12setup")));
    ExpectSetupIniError();
    EXPECT_FALSE(FStarted);
    EXPECT_EQ(FWatcher.Count(), 0);
}

TEST_F(LauncherTest, model_missing_from_setup_ini_starts_nothing_silently) {
    WriteSetupIni("DEF7=def7setup\r\n");
    ASSERT_TRUE(InstallProbe(FFolder, QStringLiteral("def7setup")));
    EXPECT_FALSE(Start());
    EXPECT_EQ(FWatcher.Count(), 0);
    EXPECT_EQ(FMissing, QStringLiteral("Модель прибора: ABC12\nВ файле настроек %1setup.ini нет "
                                       "строки для этой модели.")
                            .arg(FFolder));
    EXPECT_FALSE(QFile::exists(FTemp + QStringLiteral("def7setup.exe")));
}

TEST_F(LauncherTest, identification_without_first_field_is_a_missing_model_not_an_empty_key) {
    WriteSetupIni("[Programs]\r\n=keyless\r\n");
    ASSERT_TRUE(InstallProbe(FFolder, QStringLiteral("keyless")));

    EXPECT_FALSE(Start("ID, \r\n\t"));
    EXPECT_FALSE(Start("ID,"));
    EXPECT_EQ(FMissing, QStringLiteral("Ответ прибора не называет модель: \"ID,\""));
    EXPECT_EQ(FWatcher.Count(), 0);

    // A first field without a full stop is the empty key, which the "=" line does match.
    EXPECT_TRUE(Start("ID,ABC12,XYZ\r\nOK\r\n"));
    EXPECT_EQ(FSetupFile, FTemp + QStringLiteral("keyless.exe"));
    // Without that line such a reply names no model either.
    WriteSetupIni("ABC12=keyless\r\n");
    EXPECT_FALSE(Start("garbage reply\r\nOK\r\n"));
    EXPECT_EQ(FMissing, QStringLiteral("Ответ прибора не называет модель: \"garbage reply??OK??\""));
}

TEST_F(LauncherTest, program_named_but_missing_starts_nothing) {
    WriteSetupIni("ABC12=abc12setup\r\n");
    EXPECT_FALSE(Start());
    EXPECT_EQ(FWatcher.Count(), 0);
    EXPECT_TRUE(FSetupFile.isEmpty());
}

TEST_F(LauncherTest, program_runs_from_its_copy_in_the_program_folder_without_arguments) {
    WriteSetupIni("DEF7=def7setup\r\nabc12=abc12setup\r\n");
    ASSERT_TRUE(InstallProbe(FFolder, QStringLiteral("abc12setup")));
    // A descriptor that would leak into the program unless the launcher closes it.
    const int leak = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(leak, 0);
    const bool started = Start();
    ::close(leak);
    ASSERT_TRUE(started);

    const QString copy = FTemp + QStringLiteral("abc12setup.exe");
    EXPECT_EQ(FSetupFile, copy);
    EXPECT_TRUE(QFileInfo(copy).permissions().testFlag(QFile::ExeOwner));
    EXPECT_EQ(FileBytes(copy), FileBytes(QStringLiteral(LINTARO_PROBE)));

    const QMap<QString, QString> report = WaitForProbe();
    ASSERT_FALSE(report.isEmpty());
    EXPECT_EQ(report[QStringLiteral("argc")], QStringLiteral("1"));
    EXPECT_EQ(report[QStringLiteral("argv0")], copy);
    EXPECT_EQ(report[QStringLiteral("cwd")], QDir(FFolder).canonicalPath());
    const QString pid = report[QStringLiteral("pid")];
    EXPECT_EQ(pid, QString::number(FProcInfo.hProcess));
    EXPECT_EQ(pid, QString::number(FProcInfo.dwProcessId));
    // A session and process group of its own: no terminal shared with the wizard.
    EXPECT_EQ(report[QStringLiteral("sid")], pid);
    EXPECT_EQ(report[QStringLiteral("pgid")], pid);
    EXPECT_EQ(report[QStringLiteral("stdin")], QStringLiteral("/dev/null"));
    EXPECT_EQ(report[QStringLiteral("extra_fds")], QStringLiteral("0"));
}

TEST_F(LauncherTest, stop_kills_the_program_and_its_group_reaps_it_and_deletes_the_copy) {
    WriteSetupIni("ABC12=abc12setup\r\n");
    ASSERT_TRUE(InstallProbe(FFolder, QStringLiteral("abc12setup")));
    ASSERT_TRUE(Start());
    const QMap<QString, QString> report = WaitForProbe();
    const qint64 pid = report[QStringLiteral("pid")].toLongLong();
    const qint64 helper = report[QStringLiteral("helper")].toLongLong();
    ASSERT_GT(pid, 0);
    ASSERT_GT(helper, 0);

    Stop();
    EXPECT_TRUE(ChildReaped(pid));
    EXPECT_TRUE(WaitUntil([&] { return ProcessDead(helper); }));
    EXPECT_FALSE(QFile::exists(FTemp + QStringLiteral("abc12setup.exe")));
    EXPECT_EQ(FProcInfo.hProcess, 0);
    EXPECT_EQ(FProcInfo.dwProcessId, 0u);

    // A second stop has nothing left to kill (and must not take a cleared id for a group).
    Stop();
    EXPECT_TRUE(ChildReaped(pid));
}

TEST_F(LauncherTest, a_program_that_ends_by_itself_is_reaped_and_reported_once) {
    WriteSetupIni("ABC12=quits\r\n");
    ASSERT_TRUE(WriteBytes(FFolder + QStringLiteral("quits"), "#!/bin/sh\nexit 3\n"));
    ASSERT_TRUE(QFile::setPermissions(FFolder + QStringLiteral("quits"),
                                      QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    ASSERT_TRUE(Start());
    const auto pid = static_cast<pid_t>(FProcInfo.hProcess);
    SetupExitWatch watch;
    QList<int> codes;
    QObject::connect(&watch, &SetupExitWatch::Ended, [&codes](int code) { codes << code; });
    watch.Watch(&FProcInfo);
    ASSERT_TRUE(WaitUntil([&] { return !codes.isEmpty(); }));
    // Gone from the process table before the stop, not a zombie waiting for it.
    int status = 0;
    EXPECT_EQ(::waitpid(pid, &status, WNOHANG), -1);
    EXPECT_EQ(codes, QList<int>{3});
    EXPECT_FALSE(ReapEndedSetupProgram(FProcInfo).has_value());
    Stop();
    EXPECT_FALSE(QFile::exists(FTemp + QStringLiteral("quits.exe")));
}

TEST_F(LauncherTest, command_line_longer_than_255_characters_is_not_cut) {
    const QString value(240, QLatin1Char('p'));
    const QString copy = FTemp + value + QStringLiteral(".exe");
    ASSERT_GT(copy.size() + 3, 255);  // quotes and the trailing blank of a command line
    WriteSetupIni("ABC12=" + value.toLatin1() + "\r\n");
    ASSERT_TRUE(InstallProbe(FFolder, value));
    ASSERT_TRUE(Start());
    EXPECT_EQ(WaitForProbe()[QStringLiteral("argv0")], copy);
}

TEST_F(LauncherTest, a_copy_left_in_the_private_folder_is_never_taken_over_but_written_afresh) {
    WriteSetupIni("ABC12=abc12setup\r\n");
    ASSERT_TRUE(InstallProbe(FFolder, QStringLiteral("abc12setup")));
    ASSERT_EQ(::mkdir(FTemp.toLocal8Bit().constData(), 0700), 0);
    const QString copy = FTemp + QStringLiteral("abc12setup.exe");
    const QByteArray stale("#!/bin/sh\necho stale > stale.txt\nexec sleep 600\n");
    // An older program, and one equal to the program (which a rival could rewrite between
    // a comparison and the start): either is replaced by a file this start wrote.
    for (const bool equal : {false, true}) {
        SCOPED_TRACE(equal ? "equal" : "stale");
        ASSERT_TRUE(equal ? InstallProbe(FTemp, QStringLiteral("abc12setup.exe"))
                          : WriteBytes(copy, stale));
        ASSERT_TRUE(
            QFile::setPermissions(copy, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        struct stat before {};
        ASSERT_EQ(::stat(copy.toLocal8Bit().constData(), &before), 0);

        ASSERT_TRUE(Start());
        EXPECT_FALSE(WaitForProbe().isEmpty());
        EXPECT_FALSE(QFile::exists(FFolder + QStringLiteral("stale.txt")));
        EXPECT_EQ(FileBytes(copy), FileBytes(QStringLiteral(LINTARO_PROBE)));
        struct stat after {};
        ASSERT_EQ(::stat(copy.toLocal8Bit().constData(), &after), 0);
        EXPECT_NE(after.st_ino, before.st_ino);
        Stop();
        QFile::remove(FFolder + QStringLiteral("probe.txt"));
    }
}

TEST_F(LauncherTest, value_ending_in_exe_gets_the_ending_twice_and_starts) {
    WriteSetupIni("ABC12=abc12setup.exe\r\n");
    ASSERT_TRUE(InstallProbe(FFolder, QStringLiteral("abc12setup.exe")));
    ASSERT_TRUE(Start());
    EXPECT_EQ(FSetupFile, FTemp + QStringLiteral("abc12setup.exe.exe"));
    EXPECT_FALSE(WaitForProbe().isEmpty());
}

TEST_F(LauncherTest, file_that_cannot_be_executed_counts_as_failed_start) {
    WriteSetupIni("ABC12=notaprogram\r\nDEF7=notexecutable\r\n");
    const QString garbage = FFolder + QStringLiteral("notaprogram");
    ASSERT_TRUE(WriteBytes(garbage, QByteArray("MZ\x90\0garbage", 11)));
    ASSERT_TRUE(
        QFile::setPermissions(garbage, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    ASSERT_TRUE(InstallProbe(FFolder, QStringLiteral("notexecutable")));
    ASSERT_TRUE(QFile::setPermissions(FFolder + QStringLiteral("notexecutable"),
                                      QFile::ReadOwner | QFile::WriteOwner));

    // Each is shown with its own reason, in Russian, not as a program that was not found.
    EXPECT_FALSE(Start());
    EXPECT_EQ(FResult, SetupStart::Reported);
    EXPECT_FALSE(Start("ID,DEF7.1\r\nOK\r\n"));
    EXPECT_EQ(FResult, SetupStart::Reported);
    ASSERT_EQ(FWatcher.Count(), 2);
    EXPECT_EQ(FWatcher.Seen()[0].text, QStringLiteral("Не удалось запустить программу настройки "
                                                      "\"notaprogram\".\nФайл не является "
                                                      "исполняемой программой."));
    EXPECT_EQ(FWatcher.Seen()[1].text, QStringLiteral("Не удалось запустить программу настройки "
                                                      "\"notexecutable\".\nНет прав доступа к "
                                                      "файлу."));
    // The failed children were reaped, not left as zombies.
    int status = 0;
    EXPECT_EQ(::waitpid(-1, &status, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}

// Opens the scratch folder to every user, as /tmp is, and lets them pass through the
// folders above it (the test run's home is closed to others).
void OpenToAll(const QString& scratch) {
    ASSERT_EQ(::chmod(scratch.toLocal8Bit().constData(), 01777), 0);
    for (QDir up(scratch); up.cdUp();) {
        struct stat st {};
        const QByteArray path = up.path().toLocal8Bit();
        ASSERT_EQ(::stat(path.constData(), &st), 0);
        if ((st.st_mode & 0001) == 0) {
            ASSERT_EQ(::chmod(path.constData(), (st.st_mode & 07777) | 0111), 0);
        }
    }
}

// A script that leaves a mark when anything runs it.
QByteArray MarkingScript(const QString& mark) {
    return "#!/bin/sh\necho ran > '" + mark.toLocal8Bit() + "'\n";
}

TEST_F(LauncherTest, a_program_missing_from_the_program_folder_is_not_replaced_by_a_planted_copy) {
    WriteSetupIni("ABC12=abc12setup\r\n");
    const QString mark = FScratch.path() + QStringLiteral("/ran");
    ASSERT_EQ(::mkdir(FTemp.toLocal8Bit().constData(), 0700), 0);
    // Where the copy is made, and where it was made before (the shared temporary folder).
    for (const QString& planted : {FTemp + QStringLiteral("abc12setup.exe"),
                                   FScratch.path() + QStringLiteral("/abc12setup.exe")}) {
        ASSERT_TRUE(WriteBytes(planted, MarkingScript(mark)));
        ASSERT_TRUE(QFile::setPermissions(planted, QFile::ReadOwner | QFile::ExeOwner));
    }
    EXPECT_FALSE(Start());
    EXPECT_EQ(FProcInfo.hProcess, 0);
    EXPECT_FALSE(QFile::exists(mark));
    EXPECT_EQ(FWatcher.Count(), 0);
}

TEST_F(LauncherTest, names_with_a_folder_part_are_configuration_errors_and_touch_nothing_outside) {
    // A file beside the temporary folder that "../victim" would overwrite, run and delete.
    const QString victim = FScratch.path() + QStringLiteral("/victim.exe");
    ASSERT_TRUE(WriteBytes(victim, "kept"));
    ASSERT_TRUE(QDir(FFolder).mkdir(QStringLiteral("sub")));
    ASSERT_TRUE(InstallProbe(FFolder, QStringLiteral("sub/abc12setup")));
    ASSERT_TRUE(InstallProbe(FScratch.path() + QLatin1Char('/'), QStringLiteral("victim")));
    const QByteArray values[] = {"../victim",
                                 "../../victim",
                                 "sub/abc12setup",
                                 "sub\\abc12setup",
                                 "..",
                                 "C:abc12setup",
                                 "abc12setup:stream",
                                 QByteArray("abc\x01setup", 10),
                                 "abc12setup\x7f"};
    for (const QByteArray& value : values) {
        SCOPED_TRACE(value.toStdString());
        FLog.clear();
        WriteSetupIni("ABC12=" + value + "\r\n");
        EXPECT_FALSE(Start());
        EXPECT_TRUE(LogHas(QStringLiteral("Ошибка конфигурации"))) << FLog.join('|').toStdString();
        for (const QString& line : FLog) EXPECT_FALSE(line.contains(QChar(1)));
    }
    EXPECT_EQ(FileBytes(victim), QByteArray("kept"));
    EXPECT_EQ(FWatcher.Count(), 0);
}

TEST_F(LauncherTest, files_that_are_no_regular_files_are_refused_at_once) {
    WriteSetupIni("ABC12=fifo\r\nDEF7=zero\r\n");
    ASSERT_EQ(::mkfifo((FFolder + QStringLiteral("fifo")).toLocal8Bit().constData(), 0700), 0);
    ASSERT_TRUE(QFile::link(QStringLiteral("/dev/zero"), FFolder + QStringLiteral("zero")));
    // The program: the start fails with a line that says why; the box is the bridge cycle's.
    EXPECT_FALSE(Start());
    EXPECT_FALSE(Start("ID,DEF7.1\r\nOK\r\n"));
    EXPECT_EQ(FLog.size(), 2);
    for (const QString& line : FLog) {
        EXPECT_TRUE(
            line.startsWith(QStringLiteral("Не удалось подготовить копию программы настройки")) &&
            line.contains(QStringLiteral("not a regular file")))
            << line.toStdString();
    }

    // setup.ini itself: a FIFO, a device without end, and a file over the limit.
    const QString ini = FFolder + QStringLiteral("setup.ini");
    const std::function<bool()> makers[] = {
        [&] { return QFile::remove(ini) && ::mkfifo(ini.toLocal8Bit().constData(), 0600) == 0; },
        [&] { return QFile::remove(ini) && QFile::link(QStringLiteral("/dev/zero"), ini); },
        [&] {
            return QFile::remove(ini) &&
                   WriteBytes(ini, "ABC12=abc12setup\r\n" + QByteArray(SetupIniLimit, ' '));
        },
    };
    for (const auto& make : makers) {
        ASSERT_TRUE(make());
        ExpectSetupIniError();
    }
    EXPECT_FALSE(FStarted);
}

TEST_F(LauncherTest, names_up_to_the_file_name_limit_start_and_longer_ones_are_reported) {
    // The copy's name is the value and ".exe": 251 characters give 255, the limit.
    const QString longest(251, QLatin1Char('q'));
    const QString tooLong(252, QLatin1Char('r'));
    WriteSetupIni("ABC12=" + longest.toLatin1() + "\r\nDEF7=" + tooLong.toLatin1() + "\r\n");
    ASSERT_TRUE(InstallProbe(FFolder, longest));
    ASSERT_TRUE(InstallProbe(FFolder, tooLong));

    ASSERT_TRUE(Start());
    EXPECT_EQ(WaitForProbe()[QStringLiteral("argv0")], FTemp + longest + QStringLiteral(".exe"));
    Stop();
    EXPECT_FALSE(Start("ID,DEF7.1\r\nOK\r\n"));
    ASSERT_EQ(FLog.size(), 1);
    EXPECT_TRUE(FLog[0].contains(QString::fromLocal8Bit(std::strerror(ENAMETOOLONG))))
        << FLog[0].toStdString();
    // Nothing half-written stays behind.
    EXPECT_EQ(QDir(FTemp).entryList(QDir::Files | QDir::Hidden).size(), 0);
}

TEST_F(LauncherTest, copies_live_in_a_folder_no_other_user_can_enter_or_change) {
    WriteSetupIni("ABC12=abc12setup\r\n");
    ASSERT_TRUE(InstallProbe(FFolder, QStringLiteral("abc12setup")));
    ASSERT_TRUE(Start());
    const QByteArray copy = FSetupFile.toLocal8Bit();
    const QByteArray folder = FTemp.toLocal8Bit();
    struct stat st {};
    ASSERT_EQ(::lstat(folder.constData(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_uid, ::geteuid());
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(::lstat(copy.constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 077, 0u);

    // Even with the folder above open to all, the other user reaches nothing in it.
    OpenToAll(FScratch.path() + "/.cache");
    const QByteArray planted = folder + "planted";
    const QByteArray moved = folder.chopped(1) + "-moved";
    std::string why;
    const int result = RunAsOtherUser(
        [&] {
            const bool write = ::open(copy.constData(), O_WRONLY) >= 0;
            const bool create = ::open(planted.constData(), O_WRONLY | O_CREAT, 0777) >= 0;
            const bool rename = ::rename(folder.constData(), moved.constData()) == 0;
            return write || create || rename ? 1 : 0;
        },
        why);
    if (result < 0) GTEST_SKIP() << why;
    EXPECT_EQ(result, 0);
}

TEST_F(LauncherTest, a_private_folder_prepared_by_another_user_is_refused_and_nothing_in_it_runs) {
    WriteSetupIni("ABC12=abc12setup\r\n");
    ASSERT_TRUE(InstallProbe(FFolder, QStringLiteral("abc12setup")));
    OpenToAll(FScratch.path() + "/.cache");
    const QByteArray folder = FTemp.chopped(1).toLocal8Bit();
    const QByteArray theirs = FScratch.path().toLocal8Bit() + "/.cache/theirs";
    const QByteArray mark = FScratch.path().toLocal8Bit() + "/ran";
    const QByteArray script = MarkingScript(QString::fromLocal8Bit(mark));

    // The folder itself, and a link in its place to a folder of theirs.
    for (const bool link : {false, true}) {
        SCOPED_TRACE(link ? "link" : "folder");
        // Everything the other user's part needs is made here: it runs in a forked child.
        const QByteArray target = link ? theirs : folder;
        const QByteArray exe = target + "/abc12setup.exe";
        std::string why;
        const int result = RunAsOtherUser(
            [&] {
                if (::mkdir(target.constData(), 0777) != 0 ||
                    ::chmod(target.constData(), 0777) != 0)
                    return 1;
                if (link && ::symlink(theirs.constData(), folder.constData()) != 0) return 2;
                const int fd = ::open(exe.constData(), O_WRONLY | O_CREAT | O_EXCL, 0777);
                if (fd < 0 || ::write(fd, script.constData(), script.size()) != script.size())
                    return 3;
                ::close(fd);
                return ::chmod(exe.constData(), 0777) == 0 ? 0 : 4;
            },
            why);
        if (result < 0) GTEST_SKIP() << why;
        ASSERT_EQ(result, 0);

        FLog.clear();
        EXPECT_FALSE(Start());
        EXPECT_FALSE(QFile::exists(QString::fromLocal8Bit(mark)));
        ASSERT_EQ(FWatcher.Count(), link ? 2 : 1);
        EXPECT_EQ(FWatcher.Seen().back().text,
                  QStringLiteral("Оболочка не запущена, системная ошибка"));
        ASSERT_EQ(FLog.size(), 1);
        EXPECT_TRUE(FLog[0].startsWith(QStringLiteral("Нет папки для копии программы настройки")));
        EXPECT_TRUE(
            FLog[0].contains(link ? QStringLiteral("cannot open") : QStringLiteral("another user")))
            << FLog[0].toStdString();
        // The other user's files are theirs to remove.
        QDir(QString::fromLocal8Bit(link ? theirs : folder)).removeRecursively();
        QFile::remove(QString::fromLocal8Bit(folder));
    }
}

// The sample configuration program, started by the launcher: it keeps trying until the
// server listens, sends the lines of its script, shows (and here records) what it gets,
// and comes back after the connection drops.
class SampleProgramTest : public LauncherTest {
protected:
    void TearDown() override {
        LauncherTest::TearDown();
        qunsetenv("LINTARO_SAMPLE_PORT");
        qunsetenv("LINTARO_SAMPLE_SCRIPT");
        qunsetenv("LINTARO_SAMPLE_OUTPUT");
    }
};

QByteArray ReadUntil(QTcpSocket* socket, const QByteArray& expected) {
    QByteArray got;
    WaitUntil([&] {
        got += socket->readAll();
        return got.size() >= expected.size();
    });
    return got;
}

TEST_F(SampleProgramTest, sample_program_connects_once_the_server_listens_and_relays_bytes) {
    // Held, not listening yet when the program starts.
    const HeldPort held;
    const quint16 port = held.Number();
    QTcpServer server;

    ASSERT_TRUE(
        QFile::copy(QStringLiteral(LINTARO_SETUP_SAMPLE), FFolder + QStringLiteral("sample")));
    WriteSetupIni("ABC12=sample\r\n");
    ASSERT_TRUE(WriteBytes(FFolder + QStringLiteral("script.txt"), "HELLO\nVER?\n"));
    const QString output = FFolder + QStringLiteral("received.bin");
    qputenv("LINTARO_SAMPLE_PORT", QByteArray::number(port));
    qputenv("LINTARO_SAMPLE_SCRIPT", (FFolder + QStringLiteral("script.txt")).toLocal8Bit());
    qputenv("LINTARO_SAMPLE_OUTPUT", output.toLocal8Bit());
    ASSERT_TRUE(Start());

    ASSERT_TRUE(server.listen(QHostAddress::LocalHost, port));
    ASSERT_TRUE(WaitUntil([&] { return server.hasPendingConnections(); }));
    QTcpSocket* client = server.nextPendingConnection();
    EXPECT_EQ(ReadUntil(client, "HELLO\r\nVER?\r\n"), QByteArray("HELLO\r\nVER?\r\n"));

    const QByteArray device("\x00\x01\xff\x80\xc0 OK\r\n", 10);
    client->write(device);
    EXPECT_TRUE(WaitUntil([&] { return FileBytes(output) == device; }));

    // Dropped by the server: the program connects again and starts over.
    client->disconnectFromHost();
    ASSERT_TRUE(WaitUntil([&] { return server.hasPendingConnections(); }));
    QTcpSocket* again = server.nextPendingConnection();
    EXPECT_EQ(ReadUntil(again, "HELLO\r\nVER?\r\n"), QByteArray("HELLO\r\nVER?\r\n"));

    const qint64 pid = FProcInfo.hProcess;
    Stop();
    EXPECT_TRUE(ChildReaped(pid));
    // Its end closes the connection.
    EXPECT_TRUE(WaitUntil([&] { return again->state() == QAbstractSocket::UnconnectedState; }));
}

}  // namespace
}  // namespace lintaro::test
