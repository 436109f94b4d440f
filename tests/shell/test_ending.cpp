// The real program, black box, ended while data moves: a simulated device on a
// pseudo-terminal, the program started from a program folder of its own whose setup.ini
// names a relay as the configuration program, and the relay carrying a test stream to the
// device and its echo back. Each ending (the window's close box, SIGTERM, SIGHUP, SIGINT)
// must take the closing steps and end the program at once: exit code 0, the configuration
// program gone, its copy deleted, the port saved, the single-instance sign given back, so
// that the next start is clean.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <cerrno>
#include <functional>
#include <iostream>
#include <memory>

#include "DeviceSimulator.h"
#include "HeldPort.h"
#include "ModalWatcher.h"
#include "PortDir.h"
#include "shell/InstanceSign.h"

using namespace lintaro;
using namespace lintaro::test;

namespace {

struct Ending {
    const char* Name;
    int Signal;  // 0: the window's close box
};

constexpr Ending kStopSignals[] = {{"SIGTERM", SIGTERM}, {"SIGHUP", SIGHUP}, {"SIGINT", SIGINT}};

// An ending must end the program within about a second. The limit only tells a hang (the
// window gone, the process staying) from a busy machine; the time taken is printed.
constexpr int kEndLimitMs = 5000;
constexpr qint64 kMovingBytes = 256 * 1024;

// Byte i of the test stream: a multiplicative hash, so a lost, doubled or reordered piece
// does not line up again.
char StreamByte(qint64 i) {
    return static_cast<char>((static_cast<quint64>(i) * 0x9E3779B97F4A7C15ull) >> 56);
}

// The test's end of the relay: keeps a quarter megabyte ahead of the echo and checks every
// echoed byte.
class EchoStream {
public:
    explicit EchoStream(QTcpSocket& socket) : FSocket(socket) {}

    // One step, waiting up to `waitMs` for the echo.
    void Pump(int waitMs) {
        while (FSent - FEchoed < kMovingBytes) {
            QByteArray chunk(16384, '\0');
            for (qsizetype k = 0; k < chunk.size(); ++k) chunk[k] = StreamByte(FSent + k);
            FSocket.write(chunk);
            FSent += chunk.size();
        }
        if (FSocket.bytesAvailable() > 0 || FSocket.waitForReadyRead(waitMs)) {
            for (const char c : FSocket.readAll()) FIntact = FIntact && c == StreamByte(FEchoed++);
        }
    }

    bool Open() const { return FSocket.state() == QAbstractSocket::ConnectedState; }
    qint64 Echoed() const { return FEchoed; }
    bool Intact() const { return FIntact; }

private:
    QTcpSocket& FSocket;
    qint64 FSent = 0;
    qint64 FEchoed = 0;
    bool FIntact = true;
};

bool SignHeld() {
    InstanceSign probe;
    return !probe.TryAcquire();
}

// Ended, or a zombie that its parent has not reaped yet.
bool ProcessGone(qint64 pid) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly)) return true;
    const QByteArray text = stat.readAll();
    return text.mid(text.lastIndexOf(')') + 2, 1) == "Z";
}

class EndingTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(FProgramFolder.isValid());
        for (const auto& [from, name] : {std::pair{LINTARO_EXECUTABLE, "Lintaro"},
                                          std::pair{LINTARO_RELAY, "relay"}}) {
            ASSERT_TRUE(QFile::copy(QString::fromUtf8(from), Folder(name)));
        }
        QFile ini(Folder("setup.ini"));
        ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
        ini.write("DEMO1=relay\r\n");
        ini.close();
        ASSERT_TRUE(FRelayEnd.listen(QHostAddress::LocalHost, 0));
        FBridgePort = FBridgePortHold.Number();
    }

    void TearDown() override {
        FSimulator.reset();
        ClearPortDir();
    }

    QString Folder(const char* name) const { return FProgramFolder.path() + '/' + name; }
    static QString PrivateFolder() { return qEnvironmentVariable("XDG_RUNTIME_DIR") + "/lintaro"; }
    static QString SettingsFile() {
        return qEnvironmentVariable("XDG_CONFIG_HOME") + "/Vormex/Lintaro.conf";
    }

    // Starts the program from its folder with the user's hand loaded; `actions` go to it.
    void Start(QProcess& program, const QByteArray& actions, bool holdsSign = true) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("QT_PLUGIN_PATH", LINTARO_DRIVER_PLUGINS);
        env.insert("QT_QPA_GENERIC_PLUGINS", "lintarowindowdriver");
        env.insert("LINTARO_RELAY_BRIDGE_PORT", QString::number(FBridgePort));
        env.insert("LINTARO_RELAY_TEST_PORT", QString::number(FRelayEnd.serverPort()));
        program.setProcessEnvironment(env);
        program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        program.setProgram(Folder("Lintaro"));
        program.start();
        ASSERT_TRUE(program.waitForStarted());
        if (!actions.isEmpty()) {
            program.write(actions);
            ASSERT_TRUE(program.waitForBytesWritten(5000));
        }
        if (holdsSign) {
            ASSERT_TRUE(WaitUntil(SignHeld, 30000)) << "the program holds no sign";
        }
    }

    // One run: started, connected, the stream moving through the bridge, then ended.
    // `meanwhile` runs while the stream moves, given the configuration program's id.
    void EndDuringTransfer(const Ending& ending,
                           const std::function<void(qint64)>& meanwhile = {}) {
        // A fresh device: the echo of the last run's bytes in flight would garble the
        // identification.
        FSimulator.reset();
        ClearPortDir();
        FSimulator = std::make_unique<devsim::DeviceSimulator>(PortDir().toStdString(), "sim0");
        FSimulator->start();
        QFile::remove(SettingsFile());
        QFile::remove(Folder("relay.pid"));
        QProcess program;
        ASSERT_NO_FATAL_FAILURE(
            Start(program, "port " + QByteArray::number(FBridgePort) + "\nclick\n"));
        ASSERT_TRUE(FRelayEnd.waitForNewConnection(30000)) << "the relay did not come";
        std::unique_ptr<QTcpSocket> socket(FRelayEnd.nextPendingConnection());
        EchoStream stream(*socket);
        ASSERT_TRUE(WaitUntil([&] {
            stream.Pump(10);
            return stream.Echoed() >= kMovingBytes || !stream.Open();
        }, 30000));
        ASSERT_GE(stream.Echoed(), kMovingBytes) << "no data moves through the bridge";
        ASSERT_TRUE(WaitUntil([&] { return QFile::exists(Folder("relay.pid")); }));
        QFile pidFile(Folder("relay.pid"));
        ASSERT_TRUE(pidFile.open(QIODevice::ReadOnly));
        const qint64 relay = pidFile.readAll().trimmed().toLongLong();
        ASSERT_GT(relay, 0);
        ASSERT_TRUE(QFile::exists(PrivateFolder() + "/relay.exe")) << "the copy is elsewhere";
        if (meanwhile) meanwhile(relay);

        QElapsedTimer clock;
        clock.start();
        if (ending.Signal != 0) {
            ::kill(static_cast<pid_t>(program.processId()), ending.Signal);
        } else {
            program.write("close\n");
        }
        // The stream keeps moving until the program's end cuts it.
        while (program.state() != QProcess::NotRunning && clock.elapsed() < kEndLimitMs) {
            if (stream.Open()) stream.Pump(5);
            program.waitForFinished(5);
        }
        const qint64 endedMs = clock.elapsed();
        if (program.state() != QProcess::NotRunning) {
            ADD_FAILURE() << "still running " << kEndLimitMs << " ms after the ending";
            program.kill();
            program.waitForFinished();
        }
        std::cout << "[ ending ] " << ending.Name << ": ended " << endedMs << " ms after "
                  << stream.Echoed() << " bytes echoed\n";
        EXPECT_EQ(program.exitStatus(), QProcess::NormalExit) << "killed, not closed";
        EXPECT_EQ(program.exitCode(), 0);
        EXPECT_TRUE(stream.Intact());
        EXPECT_TRUE(WaitUntil([&] { return ProcessGone(relay); }, 5000))
            << "the configuration program is left running";
        QStringList left = QDir(PrivateFolder()).entryList(QDir::AllEntries | QDir::System |
                                                           QDir::Hidden | QDir::NoDotAndDotDot);
        left.removeAll("TMainLintaroForm.lock");
        EXPECT_TRUE(left.isEmpty()) << "left in the private folder: "
                                    << left.join(' ').toStdString();
        QFile settings(SettingsFile());
        EXPECT_TRUE(settings.open(QIODevice::ReadOnly) &&
                    settings.readAll().contains(QByteArray::fromStdString(FSimulator->portPath())))
            << "the port was not saved";
        EXPECT_FALSE(SignHeld()) << "the sign is still held";
    }

    // The next start after the endings is a first one: it runs and holds its sign.
    void ExpectCleanStart() {
        QProcess program;
        ASSERT_NO_FATAL_FAILURE(Start(program, "close\n"));
        EXPECT_TRUE(program.waitForFinished(30000));
        EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(program.exitCode(), 0);
    }

private:
    std::unique_ptr<devsim::DeviceSimulator> FSimulator;
    QTemporaryDir FProgramFolder;
    QTcpServer FRelayEnd;
    HeldPort FBridgePortHold;
    quint16 FBridgePort = 0;
};

}  // namespace

TEST_F(EndingTest, each_stop_signal_during_a_transfer_takes_the_closing_steps) {
    for (const Ending& ending : kStopSignals) {
        SCOPED_TRACE(ending.Name);
        EndDuringTransfer(ending);
    }
    ExpectCleanStart();
}

// The close box during a transfer, again and again: no round may leave the process behind.
TEST_F(EndingTest, closing_the_window_during_a_transfer_ends_the_program_every_time) {
    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        EndDuringTransfer({"close box", 0});
    }
    ExpectCleanStart();
}

// A start that cannot take the sign (its file is no file) runs without it: it must leave
// the running copy's configuration program alone.
TEST_F(EndingTest, a_start_without_the_sign_leaves_the_running_copys_program_alone) {
    EndDuringTransfer({"close box", 0}, [&](qint64 relay) {
        const QString lock = PrivateFolder() + "/TMainLintaroForm.lock";
        ASSERT_TRUE(QFile::rename(lock, lock + ".held") && QDir().mkdir(lock));
        QProcess second;
        Start(second, "close\n", false);
        EXPECT_TRUE(second.waitForFinished(30000));
        EXPECT_TRUE(QDir().rmdir(lock) && QFile::rename(lock + ".held", lock));
        EXPECT_FALSE(ProcessGone(relay)) << "the second start ended the running copy's program";
    });
}

// A stop request while a box of the start holds it (no serial port: "Нет доступных COM
// портов."; a settings file that is a FIFO): the box goes, the window is closed the
// orderly way (a close step that fails goes to standard error, not to a box), the
// program ends.
TEST_F(EndingTest, a_stop_signal_during_the_start_up_box_ends_the_program) {
    ClearPortDir();
    for (const bool fifo : {false, true})
        for (const Ending& ending : kStopSignals) {
            SCOPED_TRACE(std::string(ending.Name) + (fifo ? ", FIFO as settings file" : ""));
            QFile::remove(SettingsFile());
            QDir().mkpath(QFileInfo(SettingsFile()).path());
            if (fifo) {
                ASSERT_EQ(::mkfifo(SettingsFile().toLocal8Bit().constData(), 0600), 0);
            }
            QProcess program;
            ASSERT_NO_FATAL_FAILURE(Start(program, {}));
            QByteArray shown;
            ASSERT_TRUE(WaitUntil([&] {
                shown += program.readAllStandardOutput();
                return shown.contains(fifo ? "shown Lintaro" : "shown Ошибка");
            })) << shown.toStdString();
            ::kill(static_cast<pid_t>(program.processId()), ending.Signal);
            EXPECT_TRUE(program.waitForFinished(kEndLimitMs)) << "the stop request was lost";
            EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
            EXPECT_EQ(program.exitCode(), 0);
            QFile settings(SettingsFile());  // left empty by the start, written by the close
            EXPECT_TRUE(fifo ||
                        (settings.open(QIODevice::ReadOnly) && settings.readAll().contains("COM=")))
                << "the window's close did not run";
            EXPECT_FALSE(SignHeld());
            if (program.state() != QProcess::NotRunning) {
                program.kill();
                program.waitForFinished();
            }
            QFile::remove(SettingsFile());
        }
}
