// Windows configuration programs on Linux: told by content, started through Wine, ended
// with everything Wine started for them; a missing or untrustworthy Wine is named.
#include <signal.h>
#include <sys/stat.h>

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

#include "BridgeHarness.h"
#include "Processes.h"
#include "ScopedEnv.h"
#include "bridge/SetupProcess.h"
#include "launcher_test_support.h"
#include "serial/COMUtils.h"

using namespace lintaro;
using namespace lintaro::test;

namespace {

// The least a file needs to be taken for a Windows program: "MZ" and, where its header
// points, "PE\0\0". Not a program Wine could run.
QByteArray PeHeaderOnly() {
    QByteArray bytes(128, '\0');
    bytes[0] = 'M';
    bytes[1] = 'Z';
    bytes[0x3c] = 0x40;
    bytes.replace(0x40, 4, QByteArray("PE\0\0", 4));
    return bytes;
}

bool WriteFile(const QString& path, const QByteArray& bytes, QFile::Permissions permissions) {
    return WriteBytes(path, bytes) && QFile::setPermissions(path, permissions);
}

constexpr QFile::Permissions kOwnerOnly = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner;

class WineStart : public BridgeTest {
protected:
    void InstallWindowsProgram(const QByteArray& bytes) {
        InstallSetupProgram("DEMO1=winsetup\r\n");
        // No ".exe": the launcher tells a Windows program by its content.
        ASSERT_TRUE(WriteFile(ProgramFolder() + "winsetup", bytes, kOwnerOnly));
    }
    QString CopyPath() {
        std::string problem;
        return QString::fromStdString(setupprocess::TempFolder(problem).native()) + "winsetup.exe";
    }
};

}  // namespace

// Without a Wine that may be trusted the user is told what is needed; with one, the copy
// is started as "wine <copy>" in the program folder and ended by "Отключить".
TEST_F(WineStart, a_windows_program_needs_a_trusted_wine_and_runs_through_it) {
    QTemporaryDir bin;
    ASSERT_TRUE(WriteFile(bin.path() + "/wine",
                          "#!/bin/sh\n{ pwd; printf '%s\\n' \"$@\"; } > wine-args.part\n"
                          "mv wine-args.part wine-args.txt\nexec sleep 600\n",
                          kOwnerOnly | QFile::ReadOther | QFile::ExeOther));
    QTemporaryDir empty;
    QTemporaryDir open;
    ASSERT_TRUE(QFile::copy(bin.path() + "/wine", open.path() + "/wine"));
    ASSERT_EQ(::chmod(QFile::encodeName(open.path()).constData(), 0777), 0);
    InstallWindowsProgram(PeHeaderOnly());

    const struct {
        QString path;
        QString logged;  // nothing: started
    } cases[] = {
        {empty.path(), QStringLiteral("программа для Windows, а Wine не найден")},
        {open.path() + ":relative", QStringLiteral("may be changed by other users")},
        {bin.path() + ":/usr/bin:/bin", QString()},  // the first Wine on PATH
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path.toStdString());
        ScopedEnv path("PATH", QFile::encodeName(c.path));
        const int boxes = Watcher->Count();
        if (!c.logged.isEmpty()) {
            Form->URLLabel1Click();
            ASSERT_TRUE(WaitUntil([&] { return Watcher->Count() == boxes + 1 && Form->Session()->State() == ConnectionState::Idle; }));
            EXPECT_EQ(Watcher->Seen().back().text,
                      QStringLiteral("Программа настройки \"winsetup\" — программа для Windows. "
                                     "Для её запуска нужен Wine.\nУстановите его (Debian, Ubuntu): "
                                     "sudo apt install wine"));
            EXPECT_TRUE(Windows.LOGForm->Lines().join('\n').contains(c.logged));
            EXPECT_EQ(Form->Session()->State(), ConnectionState::Idle);
            EXPECT_EQ(Form->Label7->text(), QStringLiteral("Нет подключения"));
            EXPECT_EQ(Form->Session()->PortHandle(), InvalidCOMHandle);
            QTcpSocket server;
            server.connectToHost(QHostAddress::LocalHost, ServerPort);
            EXPECT_FALSE(server.waitForConnected(1000)) << "the server still listens";
            EXPECT_FALSE(QFileInfo::exists(CopyPath()));
            continue;
        }
        qint64 pid = 0;
        ClickWhile([&] {
            ASSERT_TRUE(WaitConnected());
            pid = OnGui([&] { return static_cast<qint64>(Form->Session()->SetupProcInfo().dwProcessId); });
            ASSERT_TRUE(
                Eventually([&] { return QFileInfo::exists(ProgramFolder() + "wine-args.txt"); }));
            QFile args(ProgramFolder() + "wine-args.txt");
            ASSERT_TRUE(args.open(QIODevice::ReadOnly));
            EXPECT_EQ(QString::fromUtf8(args.readAll()).split('\n'),
                      QStringList({QDir(ProgramFolder()).canonicalPath(), CopyPath(), ""}));
            PostClick();
        });
        EXPECT_EQ(Watcher->Count(), boxes);
        EXPECT_TRUE(WaitUntil([&] { return ::kill(static_cast<pid_t>(pid), 0) != 0; }));
        EXPECT_FALSE(QFileInfo::exists(CopyPath()));
    }
}

// The real thing: the Windows test client, cross-built, under Wine in a fresh prefix,
// moves bytes through the bridge; the clean-up after an unclean end spares the user's
// other program of the prefix; "Отключить" leaves no process of that prefix behind.
// The Windows test stage names the client; elsewhere this is skipped.
TEST_F(WineStart, a_windows_client_under_wine_moves_bytes_and_leaves_nothing_behind) {
    const QString client = qEnvironmentVariable("LINTARO_WINDOWS_ECHO_CLIENT");
    if (client.isEmpty() || QStandardPaths::findExecutable("wine").isEmpty())
        GTEST_SKIP() << "needs Wine and LINTARO_WINDOWS_ECHO_CLIENT (set by the Windows stage)";
    QFile program(client);
    ASSERT_TRUE(program.open(QIODevice::ReadOnly)) << client.toStdString();
    InstallWindowsProgram(program.readAll());
    QTemporaryDir prefixFolder;
    const QByteArray prefix = QFile::encodeName(prefixFolder.path() + "/prefix");
    ScopedEnv prefixEnv("WINEPREFIX", prefix);
    ScopedEnv port("LINTARO_E2E_PORT", QByteArray::number(ServerPort));
    ScopedEnv bytes("LINTARO_E2E_BYTES", "262144");
    const QString result = ProgramFolder() + "echo-client-result.txt";

    ClickWhile(
        [&] {
            ASSERT_TRUE(WaitConnected());
            // A fresh prefix is made first: that takes Wine a while.
            ASSERT_TRUE(Eventually([&] { return QFileInfo::exists(result); }, 240000));
            QFile verdict(result);
            ASSERT_TRUE(verdict.open(QIODevice::ReadOnly));
            EXPECT_TRUE(verdict.readLine().startsWith("OK 262144")) << result.toStdString();

            // The user's own Windows program in the same prefix, started without the
            // wizard: the clean-up of a next start after an unclean end ends the
            // configuration program, which started the prefix's server and services, but
            // not what the user's program needs of them.
            const qint64 program = OnGui([&] { return static_cast<qint64>(Form->Session()->SetupProcInfo().dwProcessId); });
            QProcess own;
            own.start(QStringLiteral("wine"), {QStringLiteral("cmd")});
            const auto answers = [&own](const QByteArray& sum, const QByteArray& expected) {
                own.write("set /a " + sum + "\r\n");
                QByteArray heard;
                return Eventually([&] {
                    own.waitForReadyRead(100);
                    heard += own.readAll();
                    return heard.contains(expected);
                }, 120000);
            };
            ASSERT_TRUE(answers("6*7", "42")) << "the user's program did not start";
            setupprocess::EndEarlierRuns();
            EXPECT_TRUE(Eventually([&] { return ProcessDead(program); }, 30000));
            EXPECT_TRUE(answers("6*8", "48")) << "the user's program lost its Wine";
            own.closeWriteChannel();
            EXPECT_TRUE(own.waitForFinished(30000));
            PostClick();
        },
        300000);
    EXPECT_EQ(Watcher->Count(), 0);
    EXPECT_FALSE(QFileInfo::exists(CopyPath()));
    const std::string mark = "WINEPREFIX=" + prefix.toStdString();
    EXPECT_TRUE(WaitUntil([&] { return ProcessesWith(mark) == 0; }, 30000))
        << ProcessesWith(mark) << " processes of the prefix still run";
}
