// The cable bridge end to end: the real window and cycle, a simulated device on a
// pseudo-terminal, a started stand-in configuration program, and a TCP client.
#include <QFileInfo>
#include <QRandomGenerator>
#include <QToolButton>

#include "BridgeHarness.h"
#include "COMUtils.h"

using namespace lintaro;
using namespace lintaro::test;

namespace {

QByteArray AllByteValues() {
    QByteArray bytes;
    for (int i = 0; i < 256; ++i) bytes.append(static_cast<char>(i));
    return bytes;
}

bool ServerListening(quint16 port) {
    QTcpSocket probe;
    probe.connectToHost(QHostAddress::LocalHost, port);
    return probe.waitForConnected(1000);
}

}  // namespace

TEST_F(BridgeTest, connect_relays_both_ways_and_disconnect_cleans_everything_up) {
    QString copy;
    qint64 pid = 0;
    ClickWhile([&] {
        ASSERT_TRUE(WaitConnected());
        EXPECT_EQ(Status(), QStringLiteral("Подключен"));
        EXPECT_EQ(OnGui([&] { return Form->URLLabel1->text(); }), QStringLiteral("Отключить"));
        EXPECT_TRUE(OnGui([&] { return Form->URLLabel1->isEnabled(); }));
        EXPECT_FALSE(OnGui([&] { return Form->PortsListComboBox->isEnabled(); }));
        EXPECT_FALSE(OnGui([&] { return Form->SpeedButton1->isEnabled(); }));
        copy = OnGui([&] { return Form->SetupFile(); });
        pid = OnGui([&] { return static_cast<qint64>(Form->SetupProcInfo().dwProcessId); });
        EXPECT_TRUE(QFileInfo(copy).isFile());
        EXPECT_EQ(Device->identificationRequests(), 1u);

        auto client = ConnectClient();
        ASSERT_NE(client, nullptr);
        Device->setMode(devsim::InstrumentPersonality::Mode::Record);
        const QByteArray all = AllByteValues();
        client->write(all);
        client->flush();
        ASSERT_TRUE(Simulator->waitForReceived(13 + 256, std::chrono::seconds(10)));
        EXPECT_EQ(QByteArray::fromStdString(Simulator->received()).mid(13), all);

        Simulator->send(all.toStdString());
        EXPECT_EQ(ReadExactly(*client, all.size()), all);
        PostClick();
        EXPECT_TRUE(client->waitForDisconnected(10000));
    });

    EXPECT_EQ(Form->ConnectionState(), 0);
    EXPECT_EQ(Form->Label7->text(), QStringLiteral("Нет подключения"));
    EXPECT_EQ(Form->URLLabel1->text(), QStringLiteral("Подключить"));
    EXPECT_TRUE(Form->URLLabel1->isEnabled());
    EXPECT_TRUE(Form->PortsListComboBox->isEnabled());
    EXPECT_TRUE(Form->SpeedButton1->isEnabled());
    EXPECT_EQ(Form->PortHandle(), InvalidCOMHandle);
    EXPECT_FALSE(Form->SetupIsStarted());
    EXPECT_FALSE(ServerListening(ServerPort));
    EXPECT_FALSE(QFileInfo::exists(copy));
    EXPECT_TRUE(WaitUntil([&] { return ::kill(static_cast<pid_t>(pid), 0) != 0; }));
    EXPECT_EQ(Form->PortsListComboBox->currentText(), QString::fromStdString(Simulator->portPath()));
    // The port is free again.
    COMHandle handle = InvalidCOMHandle;
    EXPECT_TRUE(OpenCOMPort(Simulator->portPath(), 19200, handle));
    CloseCOMPort(handle);
    EXPECT_EQ(Watcher->Count(), 0);
}

// The reply counts once "OK" CR LF has come, across reads; what came in the same read
// after it belongs to the identification too.
TEST_F(BridgeTest, identification_collected_across_reads_is_accepted) {
    Device->setIdentification({"VER_INFO,DEMO1.0,X\r\nO", "K", "\r", "\nTRAILING"},
                              std::chrono::milliseconds(30));
    ClickWhile([&] {
        ASSERT_TRUE(WaitConnected());
        EXPECT_EQ(OnGui([&] { return Form->VerInfo(); }),
                  QByteArray("VER_INFO,DEMO1.0,X\r\nOK\r\nTRAILING"));
        PostClick();
    });
    EXPECT_EQ(Form->ConnectionState(), 0);
}

TEST_F(BridgeTest, reply_without_ok_crlf_fails_after_ten_seconds_and_launches_nothing) {
    Device->setIdentification("VER_INFO,DEMO1.0,X\r\nOK\n");
    Form->URLLabel1Click();
    ASSERT_EQ(Watcher->Count(), 1);
    EXPECT_EQ(Watcher->Seen()[0].text,
              QStringLiteral("Устройство не обнаружено, работа программы невозможна."));
    EXPECT_EQ(Watcher->Seen()[0].icon, QMessageBox::Critical);
    EXPECT_EQ(Form->ConnectionState(), 0);
    EXPECT_EQ(Form->Label7->text(), QStringLiteral("Нет подключения"));
    EXPECT_EQ(Form->PortHandle(), InvalidCOMHandle);
    EXPECT_FALSE(Form->SetupIsStarted());
    EXPECT_FALSE(ServerListening(ServerPort));
    EXPECT_TRUE(Form->PortsListComboBox->isEnabled());
}

TEST_F(BridgeTest, missing_setup_ini_and_missing_program_end_the_attempt) {
    QFile::remove(ProgramFolder() + "setup.ini");
    Form->URLLabel1Click();
    ASSERT_EQ(Watcher->Count(), 2);
    EXPECT_EQ(Watcher->Seen()[0].text, QStringLiteral("Оболочка не запущена, не найден файл настроек"));
    EXPECT_EQ(Watcher->Seen()[1].text,
              QStringLiteral("Программа настройки для данного прибора не обнаружена."));
    EXPECT_EQ(Form->ConnectionState(), 0);
    EXPECT_EQ(Form->PortHandle(), InvalidCOMHandle);
    EXPECT_FALSE(ServerListening(ServerPort));

    InstallSetupProgram("DEMO1=absent\r\n");
    Form->URLLabel1Click();
    ASSERT_EQ(Watcher->Count(), 3);
    EXPECT_EQ(Watcher->Seen()[2].text,
              QStringLiteral("Программа настройки для данного прибора не обнаружена."));
    EXPECT_EQ(Form->ConnectionState(), 0);
    EXPECT_TRUE(Form->SpeedButton1->isEnabled());
}

TEST_F(BridgeTest, busy_port_waits_for_cancel_which_restores_the_controls) {
    COMHandle other = InvalidCOMHandle;
    ASSERT_TRUE(OpenCOMPort(Simulator->portPath(), 19200, other));
    Form->URLLabel1Click();
    EXPECT_EQ(Form->ConnectionState(), 1);
    EXPECT_EQ(Form->URLLabel1->text(), QStringLiteral("Отмена подключения"));
    EXPECT_EQ(Form->Label7->text(), QStringLiteral("COM-порт занят"));
    EXPECT_EQ(Form->Label7->palette().color(QPalette::WindowText), QColor(255, 0, 0));
    EXPECT_FALSE(Form->PortsListComboBox->isEnabled());
    EXPECT_TRUE(Form->URLLabel1->isEnabled());

    Form->URLLabel1Click();
    EXPECT_EQ(Form->ConnectionState(), 0);
    EXPECT_EQ(Form->URLLabel1->text(), QStringLiteral("Подключить"));
    EXPECT_EQ(Form->Label7->text(), QStringLiteral("Нет подключения"));
    EXPECT_TRUE(Form->PortsListComboBox->isEnabled());
    EXPECT_TRUE(Form->SpeedButton1->isEnabled());
    EXPECT_EQ(Watcher->Count(), 0);
    CloseCOMPort(other);
}

TEST_F(BridgeTest, vanished_port_is_reopened_when_it_returns_and_relay_resumes) {
    ClickWhile([&] {
        ASSERT_TRUE(WaitConnected());
        auto client = ConnectClient();
        ASSERT_NE(client, nullptr);
        Device->setMode(devsim::InstrumentPersonality::Mode::Record);
        Simulator->vanish();
        ASSERT_TRUE(Eventually([&] {
            const QString s = Status();
            return s == QStringLiteral("Прибор недоступен") || s == QStringLiteral("Прибор не доступен");
        }));
        EXPECT_TRUE(OnGui([&] { return Form->NeedCOMReconnect(); }));
        EXPECT_EQ(State(), 2);

        Simulator->reappear();
        ASSERT_TRUE(Eventually([&] { return Status() == QStringLiteral("Подключен"); }));
        EXPECT_FALSE(OnGui([&] { return Form->NeedCOMReconnect(); }));
        Simulator->clearReceived();
        client->write("after");
        client->flush();
        EXPECT_TRUE(Simulator->waitForReceived(5, std::chrono::seconds(10)));
        EXPECT_EQ(Simulator->received(), "after");
        Simulator->send("back");
        EXPECT_EQ(ReadExactly(*client, 4), QByteArray("back"));
        PostClick();
    });
    EXPECT_EQ(Form->ConnectionState(), 0);
    EXPECT_FALSE(Form->SetupIsStarted());
}

TEST_F(BridgeTest, megabytes_both_ways_at_once_arrive_whole_and_in_order) {
    constexpr int kSize = 3 * 1024 * 1024;
    QByteArray payload(kSize, Qt::Uninitialized);
    QRandomGenerator random(20261207);
    for (int i = 0; i < kSize; ++i) payload[i] = static_cast<char>(random.bounded(256));
    // Words that a modem or the identification would react to must pass untouched.
    payload.replace(1000, 4, "OK\r\n");
    payload.replace(5000, 10, "NO CARRIER");

    ClickWhile([&] {
        ASSERT_TRUE(WaitConnected());
        auto client = ConnectClient();
        ASSERT_NE(client, nullptr);
        Device->setMode(devsim::InstrumentPersonality::Mode::Record);
        Simulator->clearReceived();
        const std::string fromDevice = payload.toStdString();
        std::thread device([&] {
            for (std::size_t at = 0; at < fromDevice.size(); at += 4096) {
                Simulator->send(fromDevice.substr(at, 4096));
            }
        });
        QByteArray fromClient;
        qsizetype sent = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while ((sent < payload.size() || fromClient.size() < payload.size()) &&
               std::chrono::steady_clock::now() < deadline) {
            if (sent < payload.size() && client->bytesToWrite() < 256 * 1024) {
                const qsizetype n = std::min<qsizetype>(64 * 1024, payload.size() - sent);
                client->write(payload.constData() + sent, n);
                sent += n;
            }
            client->waitForBytesWritten(5);
            if (client->waitForReadyRead(5)) fromClient += client->readAll();
        }
        device.join();
        EXPECT_TRUE(Simulator->waitForReceived(kSize, std::chrono::seconds(30)));
        EXPECT_EQ(fromClient.size(), payload.size());
        EXPECT_TRUE(fromClient == payload) << "device to client differs";
        EXPECT_TRUE(QByteArray::fromStdString(Simulator->received()) == payload)
            << "client to device differs";
        PostClick();
    });
}

TEST_F(BridgeTest, two_clients_both_reach_the_device_but_only_the_first_hears_it) {
    ClickWhile([&] {
        ASSERT_TRUE(WaitConnected());
        Device->setMode(devsim::InstrumentPersonality::Mode::Record);
        Simulator->clearReceived();
        auto first = ConnectClient();
        auto second = ConnectClient();
        ASSERT_TRUE(first && second);
        first->write("one");
        first->flush();
        ASSERT_TRUE(Simulator->waitForReceived(3, std::chrono::seconds(10)));
        second->write("two");
        second->flush();
        ASSERT_TRUE(Simulator->waitForReceived(6, std::chrono::seconds(10)));
        EXPECT_EQ(Simulator->received(), "onetwo");

        Simulator->send("hello");
        EXPECT_EQ(ReadExactly(*first, 5), QByteArray("hello"));
        EXPECT_FALSE(second->waitForReadyRead(200));

        // Either one leaving means nobody is listening any more.
        second->disconnectFromHost();
        ASSERT_TRUE(Eventually([&] { return !OnGui([&] { return Form->SetupConnected(); }); }));
        Simulator->send("lost");
        EXPECT_FALSE(first->waitForReadyRead(300));
        PostClick();
    });
}

TEST_F(BridgeTest, server_port_in_use_is_reported_and_nothing_is_launched) {
    QTcpServer squatter;
    ASSERT_TRUE(squatter.listen(QHostAddress::LocalHost, ServerPort));
    Form->URLLabel1Click();
    ASSERT_EQ(Watcher->Count(), 1);
    EXPECT_EQ(Watcher->Seen()[0].title, QStringLiteral("Ошибка"));
    EXPECT_TRUE(Watcher->Seen()[0].text.contains(QString::number(ServerPort)));
    EXPECT_EQ(Form->ConnectionState(), 0);
    EXPECT_EQ(Form->Label7->text(), QStringLiteral("Нет подключения"));
    EXPECT_EQ(Form->PortHandle(), InvalidCOMHandle);
    EXPECT_FALSE(Form->SetupIsStarted());
    EXPECT_TRUE(Form->PortsListComboBox->isEnabled());
}

TEST_F(BridgeTest, closing_the_window_mid_connection_ends_everything) {
    QString copy;
    ClickWhile([&] {
        ASSERT_TRUE(WaitConnected());
        copy = OnGui([&] { return Form->SetupFile(); });
        PostToGui([&] { Form->close(); });
        MarkEnded();
    });
    EXPECT_FALSE(Form->Connected());
    EXPECT_EQ(Form->PortHandle(), InvalidCOMHandle);
    EXPECT_FALSE(Form->SetupIsStarted());
    EXPECT_FALSE(QFileInfo::exists(copy));
    EXPECT_FALSE(ServerListening(ServerPort));
}
