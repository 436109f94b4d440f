// The cable bridge end to end: the real window and cycle, a simulated device on a
// pseudo-terminal, a started stand-in configuration program, and a TCP client.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QFileInfo>
#include <QToolButton>

#include "BridgeHarness.h"
#include "OtherUser.h"
#include "StandInSysfs.h"
#include "TestBytes.h"
#include "serial/COMUtils.h"

using namespace lintaro;
using namespace lintaro::test;

namespace {

QByteArray AllByteValues() { return QByteArray::fromStdString(test_bytes::AllByteValues()); }

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
        copy = OnGui([&] { return Form->Session()->SetupFile(); });
        pid = OnGui([&] { return static_cast<qint64>(Form->Session()->SetupProcInfo().dwProcessId); });
        EXPECT_TRUE(QFileInfo(copy).isFile());
        EXPECT_EQ(Device->identificationRequests(), 1u);

        auto client = ConnectClient();
        ASSERT_NE(client, nullptr);
        Device->setMode(devsim::InstrumentPersonality::Mode::Record);
        client->write("ping");
        Simulator->send("pong");
        EXPECT_EQ(ReadExactly(*client, 4), QByteArray("pong"));
        const QByteArray all = AllByteValues();
        client->write(all);
        client->flush();
        ASSERT_TRUE(Simulator->waitForReceived(13 + 4 + 256, std::chrono::seconds(10)));
        EXPECT_EQ(QByteArray::fromStdString(Simulator->received()).mid(13), "ping" + all);

        Simulator->send(all.toStdString());
        EXPECT_EQ(ReadExactly(*client, all.size()), all);
        // A log entry's text ends at its first NUL byte: each direction began with words.
        EXPECT_TRUE(Eventually([&] {
            const QStringList lines = OnGui([&] { return Windows.LOGForm->Lines(); });
            return !lines.filter(QStringLiteral(": TCP->COM ping")).isEmpty() &&
                   !lines.filter(QStringLiteral(": COM->TCP pong")).isEmpty();
        }));
        // The connection's program is named: this test, which the wizard did not start.
        EXPECT_FALSE(OnGui([&] { return Windows.LOGForm->Lines(); })
                         .filter(QStringLiteral("Подключение к TCP серверу с порта %1: bridge_tests (PID %2), "
                                                "не запущена мастером")
                                     .arg(client->localPort())
                                     .arg(::getpid()))
                         .isEmpty());
        PostClick();
        EXPECT_TRUE(client->waitForDisconnected(10000));
    });

    EXPECT_EQ(Form->Session()->State(), ConnectionState::Idle);
    EXPECT_EQ(Form->Label7->text(), QStringLiteral("Нет подключения"));
    EXPECT_EQ(Form->URLLabel1->text(), QStringLiteral("Подключить"));
    EXPECT_TRUE(Form->URLLabel1->isEnabled());
    EXPECT_TRUE(Form->PortsListComboBox->isEnabled());
    EXPECT_TRUE(Form->SpeedButton1->isEnabled());
    EXPECT_EQ(Form->Session()->PortHandle(), InvalidCOMHandle);
    EXPECT_FALSE(Form->Session()->SetupIsStarted());
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
// after it belongs to the identification too. What the device sent before the port opened
// (the echo of a transfer cut short) and the line still holds is let pass before the
// request.
TEST_F(BridgeTest, identification_collected_across_reads_is_accepted) {
    Device->setIdentification({"VER_INFO,DEMO1.0,X\r\nO", "K", "\r", "\nTRAILING"},
                              std::chrono::milliseconds(30));
    std::string stale;
    for (int i = 0; i < 100; ++i) stale += "x,y";
    Simulator->send(stale);
    ASSERT_TRUE(Simulator->waitForSent(std::chrono::seconds(10)));
    ClickWhile([&] {
        ASSERT_TRUE(WaitConnected());
        EXPECT_EQ(OnGui([&] { return Form->Session()->VerInfo(); }),
                  QByteArray("VER_INFO,DEMO1.0,X\r\nOK\r\nTRAILING"));
        PostClick();
    });
    EXPECT_EQ(Form->Session()->State(), ConnectionState::Idle);
}

// Input during the identification is dropped, as a blocking read would; a close request
// waits until the device has answered.
TEST_F(BridgeTest, window_is_deaf_during_the_identification_and_closes_after_it) {
    Form->show();
    Device->setIdentification({"VER_INFO,DEMO1.0,X\r\n", "OK\r\n"},
                              std::chrono::milliseconds(1000));
    ClickWhile([&] {
        ASSERT_TRUE(Eventually([&] { return Device->identificationRequests() == 1; }));
        OnGui([&] { return Form->close(); });
        EXPECT_TRUE(OnGui([&] { return Form->isVisible(); }));
        MarkEnded();
        EXPECT_TRUE(Eventually([&] { return !OnGui([&] { return Form->isVisible(); }); }));
        EXPECT_EQ(OnGui([&] { return Form->Session()->VerInfo(); }),
                  QByteArray("VER_INFO,DEMO1.0,X\r\nOK\r\n"));
    });
}

// A device that floods the identification: the end mark is still found (here split over
// two reads) well within the time, and the reply kept is capped.
TEST_F(BridgeTest, flooded_identification_is_accepted_and_capped) {
    std::vector<std::string> pieces{"VER_INFO,DEMO1.0,X\r\n"};
    for (int i = 0; i < 256; ++i) pieces.push_back(std::string(16 * 1024, static_cast<char>('a' + i % 26)));
    pieces.push_back("O");
    pieces.push_back("K\r\n");
    Device->setIdentification(pieces);
    ClickWhile([&] {
        ASSERT_TRUE(WaitConnected());
        const QByteArray verInfo = OnGui([&] { return Form->Session()->VerInfo(); });
        EXPECT_EQ(verInfo.size(), ConnectionSession::VerInfoCap);
        EXPECT_TRUE(verInfo.startsWith("VER_INFO,DEMO1.0,X\r\n"));
        PostClick();
    });
    EXPECT_EQ(Form->Session()->State(), ConnectionState::Idle);
}

TEST_F(BridgeTest, reply_without_ok_crlf_fails_after_ten_seconds_and_launches_nothing) {
    Device->setIdentification("VER_INFO,DEMO1.0,X\r\nOK\n");
    Form->URLLabel1Click();
    ASSERT_TRUE(WaitUntil([&] { return Watcher->Count() == 1 && Form->Session()->State() == ConnectionState::Idle; }));
    EXPECT_EQ(Watcher->Seen()[0].text,
              QStringLiteral("Устройство не обнаружено, работа программы невозможна."));
    const QString detail = Watcher->Seen()[0].detail;
    for (const QString& part : {QString::fromStdString(Simulator->portPath()) + ", 19200 бит/с",
                                QStringLiteral("запрос: +VER_INFO=?<CR><LF>\n"),
                                QStringLiteral("(байт: 23): VER_INFO,DEMO1.0,X<CR><LF>OK<LF>\n"),
                                QStringLiteral("выберите другой порт")})
        EXPECT_TRUE(detail.contains(part)) << detail.toStdString();
    EXPECT_EQ(Watcher->Seen()[0].icon, QMessageBox::Critical);
    EXPECT_EQ(Form->Session()->State(), ConnectionState::Idle);
    EXPECT_EQ(Form->Label7->text(), QStringLiteral("Нет подключения"));
    EXPECT_EQ(Form->Session()->PortHandle(), InvalidCOMHandle);
    EXPECT_FALSE(Form->Session()->SetupIsStarted());
    EXPECT_FALSE(ServerListening(ServerPort));
    EXPECT_TRUE(Form->PortsListComboBox->isEnabled());
}

TEST_F(BridgeTest, missing_setup_ini_and_missing_program_end_the_attempt) {
    QFile::remove(ProgramFolder() + "setup.ini");
    Form->URLLabel1Click();
    ASSERT_TRUE(WaitUntil([&] { return Watcher->Count() == 2 && Form->Session()->State() == ConnectionState::Idle; }));
    EXPECT_EQ(Watcher->Seen()[0].text, QStringLiteral("Оболочка не запущена, не найден файл настроек"));
    EXPECT_EQ(Watcher->Seen()[1].text,
              QStringLiteral("Программа настройки для данного прибора не обнаружена."));
    EXPECT_EQ(Form->Session()->State(), ConnectionState::Idle);
    EXPECT_EQ(Form->Session()->PortHandle(), InvalidCOMHandle);
    EXPECT_FALSE(ServerListening(ServerPort));

    InstallSetupProgram("DEMO1=absent\r\n");
    Form->URLLabel1Click();
    ASSERT_TRUE(WaitUntil([&] { return Watcher->Count() == 3 && Form->Session()->State() == ConnectionState::Idle; }));
    EXPECT_EQ(Watcher->Seen()[2].text,
              QStringLiteral("Программа настройки для данного прибора не обнаружена."));
    EXPECT_TRUE(Watcher->Seen()[2].detail.startsWith(
        QStringLiteral("Модель прибора: DEMO1\nПрограмма \"absent\" не найдена в папке")));
    EXPECT_EQ(Form->Session()->State(), ConnectionState::Idle);
    EXPECT_TRUE(Form->SpeedButton1->isEnabled());
}

TEST_F(BridgeTest, busy_port_waits_for_cancel_which_restores_the_controls) {
    COMHandle other = InvalidCOMHandle;
    ASSERT_TRUE(OpenCOMPort(Simulator->portPath(), 19200, other));
    Form->URLLabel1Click();
    EXPECT_EQ(Form->Session()->State(), ConnectionState::Connecting);
    EXPECT_EQ(Form->URLLabel1->text(), QStringLiteral("Отмена подключения"));
    EXPECT_EQ(Form->Label7->text(), QStringLiteral("COM-порт занят"));
    EXPECT_EQ(Form->Label7->palette().color(QPalette::WindowText), QColor(255, 0, 0));
    EXPECT_FALSE(Form->PortsListComboBox->isEnabled());
    EXPECT_TRUE(Form->URLLabel1->isEnabled());

    Form->URLLabel1Click();
    EXPECT_EQ(Form->Session()->State(), ConnectionState::Idle);
    EXPECT_EQ(Form->URLLabel1->text(), QStringLiteral("Подключить"));
    EXPECT_EQ(Form->Label7->text(), QStringLiteral("Нет подключения"));
    EXPECT_TRUE(Form->PortsListComboBox->isEnabled());
    EXPECT_TRUE(Form->SpeedButton1->isEnabled());
    EXPECT_TRUE(Watcher->Count() == 1 &&  // the holder, this test, is named
                Watcher->Seen()[0].text.endsWith(" (PID " + QString::number(::getpid()) + ")."));
    CloseCOMPort(other);
}

// A port that does not open says why: the device gone, or (once with how to get it) no
// access; the attempt waits for the user's cancel as for a held port.
TEST_F(BridgeTest, a_port_that_is_gone_or_closed_to_the_user_says_so) {
    Simulator->vanish();
    Form->URLLabel1Click();
    EXPECT_EQ(Form->Session()->State(), ConnectionState::Connecting);
    EXPECT_EQ(Form->Label7->text(), QStringLiteral("Прибор недоступен"));
    EXPECT_EQ(Form->Label7->palette().color(QPalette::WindowText), QColor(255, 0, 0));
    Form->URLLabel1Click();
    EXPECT_EQ(Form->Session()->State(), ConnectionState::Idle);
    Simulator->reappear();

    // What the open reports for a port closed to this user (root opens every terminal, so
    // the serial tests play that user themselves).
    for (int attempt = 0; attempt < 2; ++attempt) {
        Form->Session()->ReportOpenFailure(COMOpenFailure::NoAccess);
        EXPECT_EQ(Form->Label7->text(), QStringLiteral("Нет доступа к COM-порту"));
    }
    ASSERT_EQ(Watcher->Count(), 1);
    EXPECT_EQ(Watcher->Seen()[0].title, QStringLiteral("Ошибка"));
    EXPECT_TRUE(Watcher->Seen()[0].text.contains(QStringLiteral("sudo usermod -aG dialout $USER")))
        << Watcher->Seen()[0].text.toStdString();
}

// What the program sends while the port is gone goes on once it is back, but only to the
// device it was meant for: the device is asked again, and when another one answers the
// connection is closed with nothing of it relayed.
TEST_F(BridgeTest, vanished_port_is_reopened_when_it_returns_and_relay_resumes) {
    const auto vanish = [&] {
        Simulator->vanish();
        return Eventually([&] {
            const QString s = Status();
            return s == QStringLiteral("Прибор недоступен") || s == QStringLiteral("Прибор не доступен");
        });
    };
    ClickWhile([&] {
        ASSERT_TRUE(WaitConnected());
        auto client = ConnectClient();
        ASSERT_NE(client, nullptr);
        Device->setMode(devsim::InstrumentPersonality::Mode::Record);
        ASSERT_TRUE(vanish());
        EXPECT_TRUE(OnGui([&] { return Form->Session()->NeedCOMReconnect(); }));
        EXPECT_EQ(State(), ConnectionState::Connected);
        client->write("held");
        client->flush();

        // The first reply comes behind the echo of earlier bytes, after a pause: asked again.
        const std::size_t asked = Device->identificationRequests();
        Device->setIdentification({"echo", std::string(devsim::InstrumentPersonality::DefaultIdentification)},
                                  std::chrono::milliseconds(1000));
        Simulator->clearReceived();
        Simulator->reappear();
        ASSERT_TRUE(Eventually([&] { return Device->identificationRequests() > asked; }));
        Device->setIdentification(std::string(devsim::InstrumentPersonality::DefaultIdentification));
        ASSERT_TRUE(Eventually([&] { return Status() == QStringLiteral("Подключен"); }));
        EXPECT_FALSE(OnGui([&] { return Form->Session()->NeedCOMReconnect(); }));
        EXPECT_TRUE(Simulator->waitForReceived(2 * 13 + 4, std::chrono::seconds(10)));
        EXPECT_EQ(Simulator->received(), "+VER_INFO=?\r\n+VER_INFO=?\r\nheld");
        Simulator->clearReceived();
        client->write("after");
        client->flush();
        EXPECT_TRUE(Simulator->waitForReceived(5, std::chrono::seconds(10)));
        EXPECT_EQ(Simulator->received(), "after");
        Simulator->send("back");
        EXPECT_EQ(ReadExactly(*client, 4), QByteArray("back"));

        // Another device on the same name.
        ASSERT_TRUE(vanish());
        client->write("lost");
        client->flush();
        Device->setIdentification("VER_INFO,DEMO1.2.3,SN0002\r\nOK\r\n");
        Simulator->clearReceived();
        Simulator->reappear();
        EXPECT_TRUE(client->waitForDisconnected(15000));
        ASSERT_TRUE(Eventually([&] { return Status() == QStringLiteral("Подключен"); }));
        auto next = ConnectClient();
        ASSERT_NE(next, nullptr);
        next->write("new");
        next->flush();
        EXPECT_TRUE(Simulator->waitForReceived(2 * 13 + 3, std::chrono::seconds(10)));
        EXPECT_EQ(Simulator->received(), "+VER_INFO=?\r\n+VER_INFO=?\r\nnew");
        EXPECT_FALSE(OnGui([&] { return Windows.LOGForm->Lines(); })
                         .filter(QStringLiteral("Закрыты подключения к TCP серверу (1): после "
                                                "переоткрытия порта ответил другой прибор"))
                         .isEmpty());
        PostClick();
    });
    EXPECT_EQ(Form->Session()->State(), ConnectionState::Idle);
    EXPECT_FALSE(Form->Session()->SetupIsStarted());
}

TEST_F(BridgeTest, megabytes_both_ways_at_once_arrive_whole_and_in_order) {
    constexpr int kSize = 3 * 1024 * 1024;
    QByteArray payload = QByteArray::fromStdString(test_bytes::RandomBytes(kSize, 20261207));
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

// Every connection of the user feeds the device, in the order its bytes come; the device
// is heard by the oldest only, and another connection's leaving does not cut that one off.
// When the oldest goes, the next one hears the device, also when it came before the old
// one had gone.
TEST_F(BridgeTest, every_connection_feeds_the_device_and_the_oldest_hears_it) {
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
        EXPECT_TRUE(Simulator->waitForReceived(6, std::chrono::seconds(10)));
        EXPECT_EQ(Simulator->received(), "onetwo");

        Simulator->send("hello");
        EXPECT_EQ(ReadExactly(*first, 5), QByteArray("hello"));
        EXPECT_FALSE(second->waitForReadyRead(200));

        second->disconnectFromHost();
        EXPECT_TRUE(second->state() == QAbstractSocket::UnconnectedState || second->waitForDisconnected(5000));
        Simulator->send("still");
        EXPECT_EQ(ReadExactly(*first, 5), QByteArray("still"));
        EXPECT_TRUE(OnGui([&] { return Form->Session()->SetupConnected(); }));

        // The program reconnects at once: every new connection is echoed.
        Device->setMode(devsim::InstrumentPersonality::Mode::Echo);
        for (int i = 0; i < 20; ++i) {
            auto next = std::make_unique<QTcpSocket>();
            next->connectToHost(QHostAddress::LocalHost, ServerPort);
            ASSERT_TRUE(next->waitForConnected(5000));
            first->disconnectFromHost();
            first->close();
            const QByteArray word = "again" + QByteArray::number(i);
            next->write(word);
            next->flush();
            EXPECT_EQ(ReadExactly(*next, word.size()), word) << "reconnect " << i;
            first = std::move(next);
        }
        // And with no overlap: gone, then back at once, 200 times; every one echoed.
        for (int i = 0; i < 200; ++i) {
            first->disconnectFromHost();
            first->close();
            first = std::make_unique<QTcpSocket>();
            first->connectToHost(QHostAddress::LocalHost, ServerPort);
            ASSERT_TRUE(first->waitForConnected(5000));
            const QByteArray word = "back" + QByteArray::number(i);
            first->write(word);
            first->flush();
            ASSERT_EQ(ReadExactly(*first, word.size()), word) << "instant reconnect " << i;
        }
        PostClick();
    });
}

// ---- another user's processes on the same machine ----

// A socket as another user's program makes it: connected to `address`, or listening there.
int Socket(int family, const char* address, quint16 port, bool listen = false) {
    addrinfo hints{}, *at = nullptr;
    hints.ai_family = family;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    if (::getaddrinfo(address, std::to_string(port).c_str(), &hints, &at) != 0) return -1;
    int fd = ::socket(family, SOCK_STREAM, 0);
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const bool done = listen ? ::bind(fd, at->ai_addr, at->ai_addrlen) == 0 && ::listen(fd, 5) == 0
                             : ::connect(fd, at->ai_addr, at->ai_addrlen) == 0;
    ::freeaddrinfo(at);
    if (!done) ::close(fd);
    return done ? fd : -1;
}

// Writes to the device and waits to be cut off: 0 when it was.
int WriteAndExpectCutOff(int fd, std::string_view bytes = "evil") {
    if (fd < 0 || ::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) return 3;
    timeval timeout{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    char byte = 0;
    return ::read(fd, &byte, 1) <= 0 ? 0 : 5;
}

// Holds 4000 sockets of its own (the kernel's table is long), then connects to the bridge
// 2000 times and lets go at once.
int FloodFromManySockets(quint16 port) {
    rlimit files{};
    ::getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &files);
    for (int i = 0; i < 4000; ++i) {
        if (Socket(AF_INET, "127.0.0.1", 0, true) < 0) return 4;
    }
    for (int i = 0; i < 2000; ++i) ::close(Socket(AF_INET, "127.0.0.1", port));
    return 0;
}

struct HostileCase {
    const char* Name;
    int (*Attack)(quint16 port);  // as the other user; 0 when it came to nothing
    const char* Own;              // the address the user's own program connects to
    bool Refused;                 // the attack's connections are refused and logged
    bool OtherUser = true;        // else the user's own web browser attacks
};

// A page's request to the local server, as a browser sends it (a form post needs no
// answer to do its harm), and a WebSocket's opening handshake.
constexpr std::string_view kPagePost =
    "POST /cfg HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: text/plain\r\n"
    "Content-Length: 16\r\n\r\n\r\n+SET_ADDR=99\r\n";
constexpr std::string_view kWebSocket =
    "GET /ws HTTP/1.1\r\nHost: localhost\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
    "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";

const HostileCase kHostileCases[] = {
    {"connection",
     [](quint16 port) { return WriteAndExpectCutOff(Socket(AF_INET, "127.0.0.1", port)); },
     "127.0.0.1", true},
    {"v4_mapped_connection",
     [](quint16 port) { return WriteAndExpectCutOff(Socket(AF_INET6, "::ffff:127.0.0.1", port)); },
     "::ffff:127.0.0.1", true},
    {"listener_on_ipv6_loopback",
     [](quint16 port) { return Socket(AF_INET6, "::1", port, true) < 0 ? 0 : 5; }, "::1", false},
    {"flood_from_many_sockets", FloodFromManySockets, "127.0.0.1", true},
    {"page_posting_to_the_server",
     [](quint16 port) { return WriteAndExpectCutOff(Socket(AF_INET, "127.0.0.1", port), kPagePost); },
     "127.0.0.1", true, false},
    {"page_opening_a_websocket",
     [](quint16 port) { return WriteAndExpectCutOff(Socket(AF_INET6, "::1", port), kWebSocket); },
     "::1", true, false},
};

class HostileUserTest : public BridgeTest, public ::testing::WithParamInterface<HostileCase> {};

// Another user's process neither reaches the device nor takes the program's place, and the
// user's own program, reconnecting meanwhile at the address it takes, is served each time.
TEST_P(HostileUserTest, another_users_process_gets_nothing_and_the_users_program_is_served) {
    const HostileCase& row = GetParam();
    ClickWhile([&] {
        ASSERT_TRUE(WaitConnected());
        Device->setMode(devsim::InstrumentPersonality::Mode::Record);
        Simulator->clearReceived();
        std::string why;
        std::atomic<int> code{-2};
        const quint16 port = ServerPort;
        std::thread attacker([&] {
            code = row.OtherUser ? RunAsOtherUser([&] { return row.Attack(port); }, why) : row.Attack(port);
        });
        std::string sent;
        for (int i = 0; i < 500 && (i < 10 || code == -2); ++i) {
            auto client = ConnectClient(QHostAddress(QString::fromLatin1(row.Own)));
            EXPECT_NE(client, nullptr) << "the user's connection " << i << " was refused";
            if (client == nullptr) break;
            const std::string word = "mine" + std::to_string(i);
            client->write(word.data(), static_cast<qint64>(word.size()));
            client->flush();
            sent += word;
            EXPECT_TRUE(Simulator->waitForReceived(sent.size(), std::chrono::seconds(10)));
            client->disconnectFromHost();
            EXPECT_TRUE(client->state() == QAbstractSocket::UnconnectedState ||
                        client->waitForDisconnected(5000));
        }
        attacker.join();
        if (code == -1) {
            PostClick();
            GTEST_SKIP() << why;
        }
        EXPECT_EQ(code, 0);
        EXPECT_EQ(Simulator->received(), sent) << "the device heard the other user";
        const QStringList lines = OnGui([&] { return Windows.LOGForm->Lines(); });
        EXPECT_EQ(!lines.filter(QStringLiteral("Отклонено подключение к TCP серверу")).isEmpty(),
                  row.Refused);
        PostClick();
    });
}

INSTANTIATE_TEST_SUITE_P(Attacks, HostileUserTest, ::testing::ValuesIn(kHostileCases),
                         [](const auto& info) { return std::string(info.param.Name); });

// An adapter that comes back under another name is followed there by what it is: by its
// serial number, or, without one, in another USB socket while it is the only one of its
// kind; beside a twin the status says why nothing is opened.
struct FollowCase {
    const char* Name;
    const char* Ids;  // vendor, product [serial]
    const char* Socket;
    const char* NewSocket;
    bool Twin;
};

const FollowCase kFollowCases[] = {
    {"serial_number", "0403 6001 A50285BI", "1-2", "1-3", false},
    {"no_serial_number_in_another_socket", "1a86 7523", "1-1.2", "1-1.4", false},
    {"no_serial_number_beside_a_twin", "1a86 7523", "1-1.2", "1-1.4", true},
};

class FollowTest : public BridgeTest, public ::testing::WithParamInterface<FollowCase> {};

TEST_P(FollowTest, lost_adapter_is_followed_under_its_new_name) {
    const FollowCase& row = GetParam();
    test::StandInSysfs sysfs;
    const auto attach = [&](devsim::DeviceSimulator& sim, const std::string& socket) {
        sysfs.Attach(sim.slavePath(), "usb1/" + socket, socket + ":1.0/ttyUSB0", row.Ids);
    };
    attach(*Simulator, row.Socket);
    ClickWhile([&] {
        ASSERT_TRUE(WaitConnected());
        auto client = ConnectClient();
        ASSERT_NE(client, nullptr);
        // Started before the old one goes, so that no terminal takes its number.
        devsim::DeviceSimulator moved(PortDir().toStdString(), "moved", Device);
        moved.start();
        attach(moved, row.NewSocket);
        std::unique_ptr<devsim::DeviceSimulator> twin;
        if (row.Twin) {
            twin = std::make_unique<devsim::DeviceSimulator>(PortDir().toStdString(), "twin", Device);
            twin->start();
            attach(*twin, "1-1.3");
        }
        Simulator->vanish();
        if (row.Twin) {
            EXPECT_TRUE(Eventually([&] { return Status().contains(QStringLiteral("несколько одинаковых адаптеров")); }));
            EXPECT_TRUE(OnGui([&] { return Form->Session()->NeedCOMReconnect(); }));
            twin->stop();
        }
        EXPECT_TRUE(Eventually([&] {
            return !OnGui([&] { return Windows.LOGForm->Lines(); })
                        .filter(QStringLiteral("найден под именем ") + QString::fromStdString(moved.portPath()))
                        .isEmpty();
        }));
        ASSERT_TRUE(Eventually([&] { return Status() == QStringLiteral("Подключен"); }));
        client->write("moved");
        EXPECT_EQ(ReadExactly(*client, 5), QByteArray("moved"));
        PostClick();
        ASSERT_TRUE(Eventually([&] { return State() == ConnectionState::Idle; }));
    });
}

INSTANTIATE_TEST_SUITE_P(Adapters, FollowTest, ::testing::ValuesIn(kFollowCases),
                         [](const auto& info) { return std::string(info.param.Name); });

// A device that is back within a blink: the port's descriptor hung up, so the port counts
// as gone although its name is present again, and it is reopened.
TEST_F(BridgeTest, device_recreated_at_once_is_reopened_and_relay_resumes) {
    ClickWhile([&] {
        ASSERT_TRUE(WaitConnected());
        auto client = ConnectClient();
        ASSERT_NE(client, nullptr);
        for (int round = 0; round < 3; ++round) {
            Simulator->vanish();
            Simulator->reappear();
            ASSERT_TRUE(Eventually([&] {
                return OnGui([&] { return Form->Session()->NeedCOMReconnect(); }) ||
                       OnGui([&] { return Windows.LOGForm->Lines().join('\n').count("Порт успешно переоткрыт"); }) > round;
            }));
            ASSERT_TRUE(Eventually([&] {
                return !OnGui([&] { return Form->Session()->NeedCOMReconnect(); }) && Status() == QStringLiteral("Подключен");
            }));
            const QByteArray word = "blink" + QByteArray::number(round);
            client->write(word);
            client->flush();
            EXPECT_EQ(ReadExactly(*client, word.size()), word) << "round " << round;
        }
        PostClick();
    });
    EXPECT_EQ(Form->Session()->State(), ConnectionState::Idle);
}

// Who holds the server's port: the user's own program by name (its own choice, shown with
// direction marks defused), or another user.
struct PortSquatter {
    const char* Name;
    const char* ProcessName;  // this process's while it holds the port; null: another user's
    const char* Shown;        // how the box names the holder (the PID follows for the user's)
};

const PortSquatter kPortSquatters[] = {
    {"own_program", "squatter", "squatter"},
    {"own_program_with_a_direction_mark", "sq\u202Eexe", "sq\uFFFDexe"},
    {"own_program_with_a_line_break_and_a_cut_letter", "a\nb\xD0\xBF\xD1", "a\uFFFDbп\uFFFD"},
    {"another_user", nullptr, "другой пользователь"},
};

class ServerPortInUse : public BridgeTest, public ::testing::WithParamInterface<PortSquatter> {};

TEST_P(ServerPortInUse, is_reported_with_its_holder_and_nothing_is_launched) {
    const PortSquatter& row = GetParam();
    QTcpServer squatter;
    QString holder = QString::fromUtf8(row.Shown);
    char kept[16] = {};
    std::thread other;
    int stop[2] = {-1, -1};
    int ready[2] = {-1, -1};  // outlives the block: the other user's thread closes its end late
    std::string why;
    int code = -2;
    if (row.ProcessName != nullptr) {
        ASSERT_TRUE(squatter.listen(QHostAddress::LocalHost, ServerPort));
        ASSERT_EQ(::prctl(PR_GET_NAME, kept), 0);
        ASSERT_EQ(::prctl(PR_SET_NAME, row.ProcessName), 0);
        holder += QStringLiteral(" (PID %1)").arg(::getpid());
    } else {
        ASSERT_EQ(::pipe(ready), 0);
        ASSERT_EQ(::pipe(stop), 0);
        const quint16 port = ServerPort;
        other = std::thread([&] {
            code = RunAsOtherUser([&] {
                ::close(stop[1]);
                const int fd = Socket(AF_INET, "127.0.0.1", port, true);
                char byte = fd >= 0 ? 1 : 0;
                if (::write(ready[1], &byte, 1) != 1 || fd < 0) return 3;
                return static_cast<int>(::read(stop[0], &byte, 1));  // 0 at the end
            }, why);
            ::close(ready[1]);
        });
        char byte = 0;
        const bool listening = ::read(ready[0], &byte, 1) == 1 && byte == 1;
        ::close(ready[0]);
        if (!listening) {
            ::close(stop[1]);
            other.join();
            ::close(stop[0]);
            if (code == -1) GTEST_SKIP() << why;
            FAIL() << "the other user could not listen";
        }
    }
    Form->URLLabel1Click();
    const bool reported = WaitUntil([&] { return Watcher->Count() == 1 && Form->Session()->State() == ConnectionState::Idle; });
    if (row.ProcessName != nullptr) {
        ::prctl(PR_SET_NAME, kept);
    } else {
        ::close(stop[1]);
        other.join();
        ::close(stop[0]);
        EXPECT_EQ(code, 0);
    }
    ASSERT_TRUE(reported);
    EXPECT_EQ(Watcher->Seen()[0].title, QStringLiteral("Ошибка"));
    const QString text = Watcher->Seen()[0].text;
    EXPECT_TRUE(text.startsWith(QStringLiteral("Не удалось запустить TCP сервер на порту %1.\n").arg(ServerPort))) << text.toStdString();
    EXPECT_TRUE(text.endsWith(QStringLiteral("\nПорт занят: %1.").arg(holder))) << text.toStdString();
    EXPECT_EQ(Form->Session()->State(), ConnectionState::Idle);
    EXPECT_EQ(Form->Label7->text(), QStringLiteral("Нет подключения"));
    EXPECT_EQ(Form->Session()->PortHandle(), InvalidCOMHandle);
    EXPECT_FALSE(Form->Session()->SetupIsStarted());
    EXPECT_TRUE(Form->PortsListComboBox->isEnabled());
}

INSTANTIATE_TEST_SUITE_P(Holders, ServerPortInUse, ::testing::ValuesIn(kPortSquatters),
                         [](const auto& info) { return std::string(info.param.Name); });

// Closed mid-connection, while a megabyte is on its way to the device and the device sends
// too: the close ends it all at once.
TEST_F(BridgeTest, closing_the_window_mid_connection_ends_everything) {
    QString copy;
    ClickWhile([&] {
        ASSERT_TRUE(WaitConnected());
        copy = OnGui([&] { return Form->Session()->SetupFile(); });
        auto client = ConnectClient();
        ASSERT_NE(client, nullptr);
        Device->setMode(devsim::InstrumentPersonality::Mode::Record);
        client->write(QByteArray::fromStdString(test_bytes::RandomBytes(1 << 20, 15)));
        client->flush();
        ASSERT_TRUE(Simulator->waitForReceived(4096, std::chrono::seconds(10)));
        // The device stops taking bytes, so the transfer is still on when the window closes,
        // however fast the machine.
        Simulator->setReading(false);
        Simulator->send(test_bytes::RandomBytes(32 * 1024, 16));
        ASSERT_TRUE(client->waitForReadyRead(5000));
        PostToGui([&] { Form->close(); });
        MarkEnded();
    });
    EXPECT_FALSE(Form->Session()->Connected());
    EXPECT_EQ(Form->Session()->PortHandle(), InvalidCOMHandle);
    EXPECT_FALSE(Form->Session()->SetupIsStarted());
    EXPECT_FALSE(QFileInfo::exists(copy));
    EXPECT_FALSE(ServerListening(ServerPort));
    EXPECT_LT(Simulator->received().size(), std::size_t{1} << 20) << "the transfer was still on";
    EXPECT_TRUE(Windows.LOGForm->Lines().join('\n').contains(
        QStringLiteral("Соединение было прервано, последний пакет не доставлен")));
}
