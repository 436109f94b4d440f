// Time from "Подключить" to the first byte a Windows configuration program sends through
// the bridge on Linux, the program running under Wine; Wine's own start-up (a program that
// only exits) is timed apart. Each with a fresh prefix (cold) and once more with the same
// prefix when nothing of it runs any more (warm).
//
// usage: wine_start_bench CLIENT.exe [--runs N]
// CLIENT.exe: the Windows test client (lintaro-echo-client.exe of the Windows build).
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QTcpServer>
#include <QTemporaryDir>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "BenchHome.h"
#include "DeviceSimulator.h"
#include "GuiThread.h"
#include "InstrumentPersonality.h"
#include "ModalWatcher.h"
#include "Processes.h"
#include "shell/ErrorReport.h"
#include "shell/Lintaro.h"
#include "shell/MainFormUnit.h"
#include "shell/TPCServerSettingsUnit.h"
#include "shell/URLLabel.h"

namespace {

using Clock = std::chrono::steady_clock;
using lintaro::devsim::DeviceSimulator;
using lintaro::devsim::InstrumentPersonality;

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Waits until no process of the prefix runs; false when some still do after a minute.
bool PrefixIdle(const QString& prefix) {
    const std::string mark = "WINEPREFIX=" + prefix.toStdString();
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    while (lintaro::test::ProcessesWith(mark) > 0) {
        if (Clock::now() > deadline) {
            std::fprintf(stderr, "%d processes of %s still run a minute after the end\n",
                         lintaro::test::ProcessesWith(mark), qPrintable(prefix));
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

// Wine alone: a built-in program that exits at once.
std::optional<double> WineAlone(const QString& prefix) {
    qputenv("WINEPREFIX", QFile::encodeName(prefix));
    const char* argv[] = {"wine", "cmd.exe", "/c", "exit", nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    const auto start = Clock::now();
    pid_t pid = 0;
    const int spawned =
        ::posix_spawnp(&pid, "wine", &actions, nullptr, const_cast<char* const*>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return std::nullopt;
    int status = 0;
    ::waitpid(pid, &status, 0);
    const double seconds = SecondsSince(start);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
    return seconds;
}

// The whole road: the click, the identification, the copy started through Wine, its
// connection, its first byte at the device.
std::optional<double> FirstByte(const QString& prefix, const QString& ports,
                                const QString& program) {
    qputenv("WINEPREFIX", QFile::encodeName(prefix));
    auto device = std::make_shared<InstrumentPersonality>();
    DeviceSimulator simulator(ports.toStdString(), "wine0", device);
    simulator.start();
    lintaro::LintaroWindows windows = lintaro::CreateLintaroWindows();
    lintaro::TMainLintaroForm* form = windows.MainLintaroForm.get();
    form->Session()->SetProgramFolder(program);
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    const quint16 port = probe.serverPort();
    probe.close();
    qputenv("LINTARO_E2E_PORT", QByteArray::number(port));
    windows.TCPServerSettingsForm->PortEdit->setText(QString::number(port));
    lintaro::TMainLintaroForm::SelectComboItem(form->PortsListComboBox,
                                               QString::fromStdString(simulator.portPath()));
    lintaro::test::ModalWatcher watcher;

    std::optional<double> seconds;
    std::atomic<bool> done{false};
    const auto start = Clock::now();
    std::thread player([&] {
        // The identification request is the only thing the device got before.
        const std::size_t before = InstrumentPersonality::IdentificationRequest.size();
        if (simulator.waitForReceived(before + 1, std::chrono::seconds(180))) {
            seconds = SecondsSince(start);
        }
        lintaro::test::PostToGui([&] {
            if (form->Session()->State() != lintaro::ConnectionState::Idle) form->URLLabel1Click();
            done = true;
        });
    });
    form->URLLabel1Click();  // returns at once; the connection comes up on events
    while (!done) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    player.join();
    for (const auto& box : watcher.Seen()) {
        std::fprintf(stderr, "the wizard said: %s\n", qPrintable(box.text));
    }
    return seconds;
}

std::string Cell(const std::optional<double>& seconds) {
    char text[32];
    if (!seconds) return "failed";
    std::snprintf(text, sizeof text, "%.2f s", *seconds);
    return text;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argv[1][0] == '-') {
        std::printf("usage: wine_start_bench CLIENT.exe [--runs N]\n");
        return 2;
    }
    const QString client = QString::fromLocal8Bit(argv[1]);
    const int runs =
        argc >= 4 && std::strcmp(argv[2], "--runs") == 0 ? std::max(1, std::atoi(argv[3])) : 1;

    // The prefixes too stay in the run's own folder.
    QTemporaryDir home;
    if (!home.isValid()) return 1;
    lintaro::bench::UseBenchHome(home);
    qputenv("LINTARO_E2E_BYTES", "1");
    if (qEnvironmentVariableIsEmpty("WINEDEBUG")) qputenv("WINEDEBUG", "-all");
    // No installer dialogs for .NET or HTML in a new prefix.
    if (qEnvironmentVariableIsEmpty("WINEDLLOVERRIDES"))
        qputenv("WINEDLLOVERRIDES", "mscoree,mshtml=");

    lintaro::LintaroApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    const QString program = home.path() + "/program/";
    QFile ini(program + "setup.ini");
    if (!ini.open(QIODevice::WriteOnly) || ini.write("DEMO1=winclient\r\n") < 0) return 1;
    ini.close();
    if (!QFile::copy(client, program + "winclient")) {
        std::fprintf(stderr, "cannot copy %s\n", qPrintable(client));
        return 1;
    }
    QFile::setPermissions(program + "winclient", QFile::ReadOwner | QFile::WriteOwner);

    std::vector<double> wine[2];
    std::vector<double> bridge[2];
    bool ok = true;
    for (int run = 0; run < runs; ++run) {
        const QString wineOnly = home.path() + QStringLiteral("/wine-only-%1").arg(run);
        const QString withBridge = home.path() + QStringLiteral("/bridge-%1").arg(run);
        for (int warm = 0; warm < 2; ++warm) {
            const std::optional<double> alone = WineAlone(wineOnly);
            ok = PrefixIdle(wineOnly) && ok;
            const std::optional<double> first =
                FirstByte(withBridge, home.path() + "/ports", program);
            ok = PrefixIdle(withBridge) && ok;
            std::fprintf(stderr, "run %d, %s prefix: Wine alone %s, first byte %s\n", run + 1,
                         warm ? "warm" : "cold", Cell(alone).c_str(), Cell(first).c_str());
            if (alone) wine[warm].push_back(*alone);
            if (first) bridge[warm].push_back(*first);
            ok = ok && alone && first;
        }
    }
    std::printf("Windows configuration program under Wine, median of %d run(s)\n", runs);
    std::printf("%-10s %-22s %-34s\n", "prefix", "Wine alone (cmd /c exit)",
                "\"Подключить\" to the program's first byte");
    for (int warm = 0; warm < 2; ++warm) {
        std::printf("%-10s %-22s %-34s\n", warm ? "warm" : "cold",
                    wine[warm].empty() ? "failed" : Cell(Median(wine[warm])).c_str(),
                    bridge[warm].empty() ? "failed" : Cell(Median(bridge[warm])).c_str());
    }
    if (!ok) std::printf("some runs failed or left processes of their prefix running\n");
    return ok ? 0 : 1;
}
