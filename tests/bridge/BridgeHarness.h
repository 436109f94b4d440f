// End-to-end harness of the bridge: a simulated device on a pseudo-terminal, the real
// windows, a program folder with setup.ini and a stand-in configuration program, and a
// scenario thread that plays the user's configuration program over real TCP.
//
// A test calls the click on the window's thread and lets a scenario thread act meanwhile,
// while the window's thread runs the connection's events: the scenario talks TCP and to
// the simulator directly, and reaches the windows only through OnGui (a call run on the
// window's thread while it pumps events).
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <iostream>
#include <memory>
#include <thread>

#include "DeviceSimulator.h"
#include "GuiThread.h"
#include "HeldPort.h"
#include "InstrumentPersonality.h"
#include "ModalWatcher.h"
#include "PortDir.h"
#include "Processes.h"
#include "log/LOGUnit.h"
#include "shell/Lintaro.h"
#include "shell/MainFormUnit.h"
#include "shell/TPCServerSettingsUnit.h"
#include "shell/URLLabel.h"

namespace lintaro {

// A failed comparison of states names them.
inline void PrintTo(ConnectionState state, std::ostream* out) {
    switch (state) {
    case ConnectionState::Idle: *out << "Idle"; return;
    case ConnectionState::Connecting: *out << "Connecting"; return;
    case ConnectionState::Connected: *out << "Connected"; return;
    case ConnectionState::CallLost: *out << "CallLost"; return;
    }
    *out << static_cast<int>(state);
}

}  // namespace lintaro

namespace lintaro::test {

// Polls `condition` from a scenario thread until it holds or the deadline passes. Not
// faster: each look wakes the window's thread too, and on a loaded machine a poll of a few
// milliseconds kept the simulated devices from running for seconds.
inline bool Eventually(const std::function<bool()>& condition, int timeoutMs = 15000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// Reads from `socket` until `count` bytes came or the deadline passed.
inline QByteArray ReadExactly(QTcpSocket& socket, qsizetype count, int timeoutMs = 15000) {
    QByteArray data;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (data.size() < count && std::chrono::steady_clock::now() < deadline) {
        if (socket.bytesAvailable() > 0 || socket.waitForReadyRead(50)) data += socket.readAll();
        if (socket.state() != QAbstractSocket::ConnectedState && socket.bytesAvailable() == 0) break;
    }
    return data;
}

class BridgeTest : public ::testing::Test {
protected:
    void SetUp() override {
        ClearPortDir();
        ASSERT_TRUE(FProgramFolder.isValid());
        Device = std::make_shared<devsim::InstrumentPersonality>();
        Simulator = std::make_unique<devsim::DeviceSimulator>(PortDir().toStdString(), "sim0",
                                                              Personality());
        Simulator->start();
        Started();
        Watcher = std::make_unique<ModalWatcher>();
        Windows = CreateLintaroWindows();
        Form = Windows.MainLintaroForm.get();
        Form->Session()->SetProgramFolder(ProgramFolder());
        ServerPort = FServerPort.Number();
        Windows.TCPServerSettingsForm->PortEdit->setText(QString::number(ServerPort));
        InstallSetupProgram("DEMO1=probe\r\n");
        // Shown, so that the window's log lines are kept and can be checked.
        Windows.LOGForm->show();
    }

    void TearDown() override {
        if (HasFailure() && Windows.LOGForm) {
            for (const QString& line : Windows.LOGForm->Lines()) std::cerr << line.toStdString() << '\n';
        }
        if (Form != nullptr && Form->Session()->State() != ConnectionState::Idle) Form->URLLabel1Click();
        Windows = {};
        // Nothing the wizard started outlives it (what the programs start included).
        const std::string folder = QDir(ProgramFolder()).canonicalPath().toStdString();
        EXPECT_TRUE(WaitUntil([&] { return ProcessesIn(folder) == 0; }, 5000))
            << ProcessesIn(folder) << " processes still run in the program folder";
        Watcher.reset();
        Simulator.reset();
        ClearPortDir();
    }

    // What plays the device: by default the cable instrument `Device`.
    virtual std::shared_ptr<devsim::DevicePersonality> Personality() { return Device; }
    // Called once the simulator runs.
    virtual void Started() {}

    QString ProgramFolder() const { return FProgramFolder.path() + QLatin1Char('/'); }

    // setup.ini with `ini` and the stand-in configuration program named "probe".
    void InstallSetupProgram(const QByteArray& ini) {
        QFile file(ProgramFolder() + "setup.ini");
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(ini);
        file.close();
        QFile::remove(ProgramFolder() + "probe");
        ASSERT_TRUE(QFile::copy(QStringLiteral(LINTARO_PROBE), ProgramFolder() + "probe"));
        QFile::setPermissions(ProgramFolder() + "probe",
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }

    // Clicks the link on this (the window's) thread while `scenario` runs on its own. The
    // scenario ends the connection itself with PostClick; should it stop early (a failed
    // assertion), the link is clicked for it so that the cycle ends and the test can report.
    void ClickWhile(const std::function<void()>& scenario, int timeoutMs = 60000) {
        std::atomic<bool> done{false};
        FClicked = false;
        std::thread player([&] {
            scenario();
            if (!FClicked && State() == ConnectionState::Connected) PostClick();
            done = true;
        });
        // The click returns at once; the identification and the connection run on events
        // while this thread waits.
        Form->URLLabel1Click();
        EXPECT_TRUE(WaitUntil([&] { return done.load(); }, timeoutMs));
        player.join();
        // What the scenario posted last (the disconnect, a close) is carried out now.
        QCoreApplication::sendPostedEvents();
    }

    // Runs `scenario` on its own thread while this (the window's) thread pumps events, for
    // roads where the cycle runs inside an event (the dialling thread's end notification).
    void PlayWhilePumping(const std::function<void()>& scenario) {
        std::atomic<bool> done{false};
        std::thread player([&] {
            scenario();
            done = true;
        });
        EXPECT_TRUE(WaitUntil([&] { return done.load(); }, 90000));
        player.join();
    }

    // From the scenario thread: the user's click on the link (queued, as a real click).
    void PostClick() {
        FClicked = true;
        PostToGui([this] { Form->URLLabel1Click(); });
    }

    // From the scenario thread: the connection was ended some other way than the link.
    void MarkEnded() { FClicked = true; }

    ConnectionState State() { return OnGui([this] { return Form->Session()->State(); }); }
    QString Status() { return OnGui([this] { return Form->Label7->text(); }); }

    bool WaitConnected() {
        return Eventually([this] { return State() == ConnectionState::Connected; });
    }

    // A configuration program's connection to the bridge.
    std::unique_ptr<QTcpSocket> ConnectClient(
        const QHostAddress& address = QHostAddress::LocalHost) {
        auto socket = std::make_unique<QTcpSocket>();
        socket->connectToHost(address, ServerPort);
        if (!socket->waitForConnected(5000)) return nullptr;
        if (!Eventually([this] { return OnGui([this] { return Form->Session()->SetupConnected(); }); })) {
            return nullptr;
        }
        return socket;
    }

    std::shared_ptr<devsim::InstrumentPersonality> Device;
    std::unique_ptr<devsim::DeviceSimulator> Simulator;
    std::unique_ptr<ModalWatcher> Watcher;
    LintaroWindows Windows;
    TMainLintaroForm* Form = nullptr;
    quint16 ServerPort = 0;

private:
    HeldPort FServerPort;
    QTemporaryDir FProgramFolder;
    std::atomic<bool> FClicked{false};
};

}  // namespace lintaro::test
