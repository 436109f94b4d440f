// The configuration program launcher end to end: real files, a real started process (the
// probe program or the sample configuration program) and real message boxes.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QFileInfo>
#include <QLocalServer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

#include "ModalWatcher.h"
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
        FFolder = FDir.path() + QLatin1Char('/');
        FTemp = QString::fromLocal8Bit(qgetenv("TMPDIR"));
        if (FTemp.isEmpty()) FTemp = QStringLiteral("/tmp");
        if (!FTemp.endsWith(QLatin1Char('/'))) FTemp += QLatin1Char('/');
    }

    void TearDown() override {
        if (FStarted) Stop();
    }

    bool Start(const QByteArray& verInfo = kAbc12Reply) {
        FStarted = StartSetupProgramFrom(
            FFolder, [](const QString& text) { ShowErrorMessage(nullptr, text); }, verInfo, FProcInfo,
            FSetupFile);
        return FStarted;
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
    QString FFolder;
    QString FTemp;
    TProcessInformation FProcInfo;
    QString FSetupFile;
    bool FStarted = false;
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
    try {
        Start();
        ADD_FAILURE() << "no error raised";
    } catch (const LintaroError& error) {
        EXPECT_TRUE(error.Text().contains(QStringLiteral("setup.ini"))) << error.what();
    }
    EXPECT_FALSE(FStarted);
    EXPECT_EQ(FWatcher.Count(), 0);
}

TEST_F(LauncherTest, model_missing_from_setup_ini_starts_nothing_silently) {
    WriteSetupIni("DEF7=def7setup\r\n");
    ASSERT_TRUE(InstallProbe(FFolder, QStringLiteral("def7setup")));
    EXPECT_FALSE(Start());
    EXPECT_EQ(FWatcher.Count(), 0);
    EXPECT_FALSE(QFile::exists(FTemp + QStringLiteral("def7setup.exe")));
}

TEST_F(LauncherTest, identification_without_first_field_is_a_missing_model_not_an_empty_key) {
    WriteSetupIni("[Programs]\r\n=keyless\r\n");
    ASSERT_TRUE(InstallProbe(FFolder, QStringLiteral("keyless")));

    EXPECT_FALSE(Start("ID, \r\n\t"));
    EXPECT_FALSE(Start("ID,"));
    EXPECT_EQ(FWatcher.Count(), 0);

    // A first field without a full stop is the empty key, which the "=" line does match.
    EXPECT_TRUE(Start("ID,ABC12,XYZ\r\nOK\r\n"));
    EXPECT_EQ(FSetupFile, FTemp + QStringLiteral("keyless.exe"));
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

TEST_F(LauncherTest, command_line_longer_than_255_characters_is_not_cut) {
    const QString value(240, QLatin1Char('p'));
    const QString copy = FTemp + value + QStringLiteral(".exe");
    ASSERT_GT(copy.size() + 3, 255);  // quotes and the trailing blank of a command line
    WriteSetupIni("ABC12=" + value.toLatin1() + "\r\n");
    ASSERT_TRUE(InstallProbe(FFolder, value));
    ASSERT_TRUE(Start());
    EXPECT_EQ(WaitForProbe()[QStringLiteral("argv0")], copy);
}

TEST_F(LauncherTest, stale_copy_in_the_temporary_folder_is_replaced_before_start) {
    WriteSetupIni("ABC12=abc12setup\r\n");
    ASSERT_TRUE(InstallProbe(FFolder, QStringLiteral("abc12setup")));
    const QString copy = FTemp + QStringLiteral("abc12setup.exe");
    ASSERT_TRUE(WriteBytes(copy, "#!/bin/sh\necho stale > stale.txt\nexec sleep 600\n"));
    ASSERT_TRUE(
        QFile::setPermissions(copy, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));

    ASSERT_TRUE(Start());
    EXPECT_FALSE(WaitForProbe().isEmpty());
    EXPECT_FALSE(QFile::exists(FFolder + QStringLiteral("stale.txt")));
    EXPECT_EQ(FileBytes(copy), FileBytes(QStringLiteral(LINTARO_PROBE)));
}

TEST_F(LauncherTest, copy_left_by_an_earlier_run_with_the_same_content_is_started) {
    WriteSetupIni("ABC12=abc12setup\r\n");
    ASSERT_TRUE(InstallProbe(FFolder, QStringLiteral("abc12setup")));
    ASSERT_TRUE(InstallProbe(FTemp, QStringLiteral("abc12setup.exe")));
    ASSERT_TRUE(Start());
    EXPECT_FALSE(WaitForProbe().isEmpty());
}

TEST_F(LauncherTest, value_ending_in_exe_gets_the_ending_twice_and_starts) {
    WriteSetupIni("ABC12=abc12setup.exe\r\n");
    ASSERT_TRUE(InstallProbe(FFolder, QStringLiteral("abc12setup.exe")));
    ASSERT_TRUE(Start());
    EXPECT_EQ(FSetupFile, FTemp + QStringLiteral("abc12setup.exe.exe"));
    EXPECT_FALSE(WaitForProbe().isEmpty());
}

TEST_F(LauncherTest, value_with_a_folder_the_temporary_folder_lacks_starts_nothing) {
    WriteSetupIni("ABC12=sub/abc12setup\r\n");
    ASSERT_TRUE(QDir(FFolder).mkdir(QStringLiteral("sub")));
    ASSERT_TRUE(InstallProbe(FFolder, QStringLiteral("sub/abc12setup")));
    ASSERT_FALSE(QFileInfo::exists(FTemp + QStringLiteral("sub")));
    EXPECT_FALSE(Start());
    EXPECT_EQ(FWatcher.Count(), 0);
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

    EXPECT_FALSE(Start());
    EXPECT_FALSE(Start("ID,DEF7.1\r\nOK\r\n"));
    EXPECT_EQ(FWatcher.Count(), 0);
    // The failed children were reaped, not left as zombies.
    int status = 0;
    EXPECT_EQ(::waitpid(-1, &status, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
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
    QTcpServer server;
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost));
    const quint16 port = server.serverPort();
    server.close();  // not listening yet when the program starts

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
