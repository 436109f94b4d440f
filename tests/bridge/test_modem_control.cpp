// The modem road end to end: the window dials through a simulated GSM modem (on an
// accelerated dialling clock), runs the bridge over the data call, hangs up, and redials
// after a lost call.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QFileInfo>
#include <QTimer>
#include <QToolButton>
#include <thread>

#include "BridgeHarness.h"
#include "ModemPersonality.h"
#include "OtherUser.h"
#include "RingTestSupport.h"
#include "bridge/DialString.h"
#include "serial/COMUtils.h"
#include "shell/StopSignals.h"

using namespace lintaro;
using namespace lintaro::test;
using devsim::ModemPersonality;
using testing_support::FastHangUp;
using testing_support::FastTimings;
using State = ModemPersonality::State;
using std::chrono::milliseconds;

const milliseconds ModemGuard(200);

namespace {

class ModemTest : public BridgeTest {
protected:
    std::shared_ptr<devsim::DevicePersonality> Personality() override {
        Modem = std::make_shared<ModemPersonality>(Device);
        return Modem;
    }
    void Started() override {
        devsim::DeviceSimulator* sim = Simulator.get();
        Modem->setOutput([sim](std::string bytes) { sim->send(std::move(bytes)); });
    }
    void SetUp() override {
        BridgeTest::SetUp();
        Form->Session()->SetRingTimings(FastTimings());
        // A modem guard time below the hang-up's, as a real modem's is below the production
        // one; "ATH" within it would reach the device and leave the call up.
        Modem->setEscapeGuard(ModemGuard);
        Form->Session()->SetHangUpTimings(FastHangUp());
        Form->ConnectTypeComboBox->setCurrentIndex(0);
        Q_EMIT Form->ConnectTypeComboBox->activated(0);
        Form->PhoneNumber->setEditText(QStringLiteral("+7 900 123"));
    }
    void TearDown() override {
        // A lost call is left as it is (a click would redial); the windows go anyway.
        if (Form != nullptr && Form->Session()->State() == ConnectionState::CallLost) Form = nullptr;
        if (Modem) Modem->setOutput({});
        BridgeTest::TearDown();
    }

    bool HangingUp() {
        return OnGui([this] { return Form->Session()->HangingUp(); });
    }
    // Everything the modem received since its record was last cleared.
    std::string Received() {
        std::string bytes;
        for (const auto& piece : Modem->pieces()) bytes += piece.bytes;
        return bytes;
    }
    // The escape took: "ATH" came as a piece of its own, a modem guard time after "+++".
    void ExpectEscapeThenHangUp() {
        EXPECT_EQ(Received(), "+++ATH\r\n");
        const auto pieces = Modem->pieces();
        ASSERT_GE(pieces.size(), 2u);
        EXPECT_EQ(pieces.back().bytes, "ATH\r\n");
        EXPECT_GE(pieces.back().at - pieces.front().at, ModemGuard);
    }
    // Waits on the window's thread for the hang-up to end: no call is left up and the port
    // is free again.
    void ExpectCallDown() {
        EXPECT_TRUE(WaitUntil([&] { return !HangingUp(); }));
        EXPECT_EQ(Modem->state(), State::Command);
        EXPECT_EQ(Modem->hangUps(), 1u);
        EXPECT_TRUE(PortFree());
    }

    bool SettingsEnabled() {
        return OnGui([this] {
            return Form->ConnectTypeComboBox->isEnabled() && Form->PortsListComboBox->isEnabled() &&
                   Form->PhoneNumber->isEnabled() && Form->SpeedButton1->isEnabled();
        });
    }
    bool PortFree() {
        COMHandle handle = InvalidCOMHandle;
        const bool opened = OpenCOMPort(Simulator->portPath(), 19200, handle);
        CloseCOMPort(handle);
        return opened;
    }

    std::shared_ptr<ModemPersonality> Modem;
};

}  // namespace

TEST_F(ModemTest, dials_relays_over_the_call_and_hangs_up_on_disconnect) {
    qint64 pid = 0;
    Form->URLLabel1Click();  // only starts the dialling thread
    EXPECT_EQ(Form->Session()->State(), ConnectionState::Connecting);
    EXPECT_FALSE(SettingsEnabled());
    // The call's cycle runs inside the dialling thread's end notification, on this thread,
    // while the scenario plays on its own.
    PlayWhilePumping([&] {
        ASSERT_TRUE(WaitConnected());
        EXPECT_EQ(Status(), QStringLiteral("Подключен"));
        EXPECT_EQ(Modem->dialled(), std::vector<std::string>{"+7 900 123"});
        pid = OnGui([&] { return static_cast<qint64>(Form->Session()->SetupProcInfo().dwProcessId); });
        auto client = ConnectClient();
        ASSERT_NE(client, nullptr);
        client->write("ping");
        client->flush();
        EXPECT_EQ(ReadExactly(*client, 4), QByteArray("ping"));  // the device echoes
        Modem->clearRecord();
        PostClick();
        EXPECT_TRUE(Eventually([&] { return Modem->hangUps() == 1; }));
        EXPECT_TRUE(Eventually([&] { return State() == ConnectionState::Idle && !OnGui([&] { return Form->Session()->Connected(); }); }));
    });

    // "+" three times framed by the guard time, then "ATH" CR LF once the modem said OK.
    ExpectCallDown();
    ExpectEscapeThenHangUp();
    EXPECT_TRUE(WaitUntil([&] { return ::kill(static_cast<pid_t>(pid), 0) != 0; }));
    EXPECT_TRUE(SettingsEnabled());
    EXPECT_EQ(Form->Label7->text(), QStringLiteral("Нет подключения"));
}

TEST_F(ModemTest, dialling_again_during_the_hang_up_waits_for_the_port) {
    Form->URLLabel1Click();
    PlayWhilePumping([&] {
        ASSERT_TRUE(WaitConnected());
        PostClick();  // disconnect
        PostClick();  // and dial again while the modem is still being hung up
        EXPECT_TRUE(Eventually([&] { return State() == ConnectionState::Connecting && HangingUp(); }));
        ASSERT_TRUE(Eventually([&] { return State() == ConnectionState::Connected; }));
        EXPECT_EQ(Modem->dialled().size(), 2u);
        EXPECT_EQ(Modem->hangUps(), 1u);
        Modem->clearRecord();
        PostClick();
        EXPECT_TRUE(Eventually([&] { return State() == ConnectionState::Idle; }));
    });
    ExpectCallDown();
    ExpectEscapeThenHangUp();
}

// A lost call ends its connections; the program kept for the redial keeps the server's
// port too, so no other user can take it while the call is down. What the program sends
// on a new connection meanwhile waits for the redial, and goes on only when the same
// device answers it.
struct RedialCase {
    const char* Name;
    const char* Identification;  // what answers the redial; null: the device of the lost call
};

class LostCallTest : public ModemTest, public ::testing::WithParamInterface<RedialCase> {};

TEST_P(LostCallTest, lost_call_ends_its_connections_and_the_redial_serves_only_the_same_device) {
    const RedialCase& row = GetParam();
    qint64 pid = 0;
    Form->URLLabel1Click();
    PlayWhilePumping([&] {
        ASSERT_TRUE(WaitConnected());
        pid = OnGui([&] { return static_cast<qint64>(Form->Session()->SetupProcInfo().dwProcessId); });
        auto old = ConnectClient();
        ASSERT_NE(old, nullptr);
        Modem->dropCall();
        ASSERT_TRUE(Eventually([&] { return State() == ConnectionState::CallLost; }));
        // The cycle of the lost call ends; the thread that dialled it finishes.
        ASSERT_TRUE(Eventually([&] {
            return OnGui([&] { return !Form->Session()->Connected() && Form->Session()->Ring()->Finished(); });
        }));
        EXPECT_TRUE(old->state() == QAbstractSocket::UnconnectedState || old->waitForDisconnected(10000))
            << "the lost call's connection is still open";
        old->write("stale;");
        old->flush();
        EXPECT_EQ(OnGui([&] { return Form->URLLabel1->text(); }), QStringLiteral("Переподключить"));
        EXPECT_EQ(Status(), QStringLiteral("Нет подключения"));
        EXPECT_FALSE(SettingsEnabled());
        EXPECT_TRUE(OnGui([&] { return Form->Session()->SetupIsStarted(); }));
        EXPECT_EQ(::kill(static_cast<pid_t>(pid), 0), 0);

        std::string why;
        const quint16 port = ServerPort;
        const int taken = RunAsOtherUser(
            [port] {
                const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
                sockaddr_in address{};
                address.sin_family = AF_INET;
                address.sin_port = htons(port);
                address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
                return ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 ? 1 : 0;
            },
            why);
        if (taken != -1) {
            EXPECT_EQ(taken, 0) << "another user could listen on the server's port";
        }
        auto held = ConnectClient();
        ASSERT_NE(held, nullptr);
        EXPECT_TRUE(Eventually([&] { return Modem->hangUps() == 1; }));
        held->write("held");
        held->flush();
        EXPECT_FALSE(Eventually([&] { return Received().find("held") != std::string::npos; }, 300));

        if (row.Identification != nullptr) Device->setIdentification(row.Identification);
        PostClick();  // redial
        ASSERT_TRUE(WaitConnected());
        EXPECT_EQ(Modem->dialled().size(), 2u);
        EXPECT_EQ(Device->identificationRequests(), 2u);
        const qint64 now = OnGui([&] { return static_cast<qint64>(Form->Session()->SetupProcInfo().dwProcessId); });
        if (row.Identification == nullptr) {
            EXPECT_EQ(now, pid);
            EXPECT_EQ(ReadExactly(*held, 4), QByteArray("held"));  // the device echoes
        } else {
            // Another device: the connection is closed unheard, its program replaced.
            EXPECT_TRUE(held->state() == QAbstractSocket::UnconnectedState || held->waitForDisconnected(10000));
            EXPECT_NE(now, pid);
            auto fresh = ConnectClient();
            ASSERT_NE(fresh, nullptr);
            fresh->write("fresh");
            EXPECT_EQ(ReadExactly(*fresh, 5), QByteArray("fresh"));
            EXPECT_EQ(Received().find("held"), std::string::npos);
        }
        EXPECT_EQ(Received().find("stale"), std::string::npos);
        PostClick();
        EXPECT_TRUE(Eventually([&] { return State() == ConnectionState::Idle && !OnGui([&] { return Form->Session()->Connected(); }); }));
    });
    EXPECT_TRUE(WaitUntil([&] { return ::kill(static_cast<pid_t>(pid), 0) != 0; }));
}

const RedialCase kRedialCases[] = {
    {"same_device", nullptr},
    {"another_device", "VER_INFO,DEMO1.2.3,SN0777\r\nOK\r\n"},
};

INSTANTIATE_TEST_SUITE_P(Redial, LostCallTest, ::testing::ValuesIn(kRedialCases),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST_F(ModemTest, busy_number_shows_its_text_and_frees_everything) {
    Modem->setDial(ModemPersonality::DialOutcome::Busy);
    Form->URLLabel1Click();
    ASSERT_TRUE(WaitUntil([&] { return Form->Session()->State() == ConnectionState::Idle; }));
    EXPECT_EQ(Form->Label7->text(), QStringLiteral("Номер занят"));
    EXPECT_EQ(Form->Label7->palette().color(QPalette::WindowText), QColor(255, 0, 0));
    EXPECT_EQ(Form->URLLabel1->text(), QStringLiteral("Подключить"));
    EXPECT_TRUE(SettingsEnabled());
    EXPECT_TRUE(PortFree());
    EXPECT_FALSE(Form->Session()->SetupIsStarted());
}

TEST_F(ModemTest, cancel_during_dialling_stops_the_thread_and_frees_the_port) {
    Modem->setDial(ModemPersonality::DialOutcome::Silent);
    Form->URLLabel1Click();
    ASSERT_TRUE(WaitUntil([&] { return Form->Label7->text() == QStringLiteral("Набор номера"); }));
    Form->URLLabel1Click();
    EXPECT_EQ(Form->Session()->State(), ConnectionState::Idle);
    EXPECT_EQ(Form->Session()->Ring(), nullptr);
    EXPECT_EQ(Form->Label7->text(), QStringLiteral("Нет подключения"));
    EXPECT_TRUE(SettingsEnabled());
    EXPECT_TRUE(PortFree());
}

TEST_F(ModemTest, blank_phone_number_is_refused) {
    Form->PhoneNumber->setEditText(QStringLiteral(" \t "));
    Form->URLLabel1Click();
    ASSERT_EQ(Watcher->Count(), 1);
    EXPECT_EQ(Watcher->Seen()[0].text, QStringLiteral("Не указан номер телефона."));
    EXPECT_EQ(Form->Session()->State(), ConnectionState::Idle);
    EXPECT_EQ(Form->Session()->Ring(), nullptr);
}

TEST_F(ModemTest, numbers_that_are_no_dial_strings_are_refused_and_never_stored) {
    const QString longest(DialStringLimit, QLatin1Char('9'));
    const struct {
        QString number;
        bool dial;
    } cases[] = {
        {QStringLiteral("+7 900 123"), true},
        {QStringLiteral("*#,WPwp 0"), true},
        {longest, true},
        {longest + QLatin1Char('9'), false},
        {QStringLiteral("12\rAT+CFUN=0"), false},
        {QStringLiteral("12\nATH"), false},
        {QStringLiteral("123;"), false},
        {QStringLiteral("12") + QChar(0) + QStringLiteral("3"), false},
        {QStringLiteral("12\t3"), false},
        {QStringLiteral("+7 (900) 123-45-67"), true},
        {QStringLiteral("8.900.123.45.67"), true},
        {QStringLiteral("+7 900 123-45-67 доб"), false},
        {QStringLiteral("１２３"), false},
    };
    for (const auto& c : cases) EXPECT_EQ(IsDialString(c.number), c.dial) << c.number.toStdString();

    // Through the window: a message, no dialling, nothing in the history.
    int boxes = 0;
    for (const auto& c : cases) {
        if (c.dial) continue;
        Form->PhoneNumber->setEditText(c.number);
        Form->URLLabel1Click();
        ASSERT_EQ(Watcher->Count(), ++boxes);
        EXPECT_EQ(Watcher->Seen().back().text, DialStringRefusal());
        EXPECT_EQ(Form->Session()->State(), ConnectionState::Idle);
        EXPECT_EQ(Form->Session()->Ring(), nullptr);
        Form->LoadPhoneHistory();
        EXPECT_EQ(Form->PhoneNumber->findText(c.number), -1);
    }
}

TEST_F(ModemTest, closing_the_window_while_dialling_stops_the_thread) {
    Modem->setDial(ModemPersonality::DialOutcome::Silent);
    Form->URLLabel1Click();
    ASSERT_TRUE(WaitUntil([&] { return Form->Label7->text() == QStringLiteral("Набор номера"); }));
    Form->close();
    ASSERT_NE(Form->Session()->Ring(), nullptr);
    EXPECT_TRUE(Form->Session()->Ring()->Finished());
    EXPECT_TRUE(PortFree());
}

TEST_F(ModemTest, ring_status_other_than_the_three_stages_only_sets_the_colour) {
    Form->SetStatus(QStringLiteral("Номер занят"), TMainLintaroForm::RedColor());
    Form->WMRingStatus(0);
    EXPECT_EQ(Form->Label7->text(), QStringLiteral("Номер занят"));
    EXPECT_EQ(Form->Label7->palette().color(QPalette::WindowText), TMainLintaroForm::ButtonTextColor());
    Form->WMRingStatus(2);
    EXPECT_EQ(Form->Label7->text(), QStringLiteral("Регистрация в сети"));
}

// Each way a call ends, played by the modem: the call is hung up before its port closes,
// and nothing blocks the window meanwhile.
enum class Ending {
    SplitResultWord,            // "NO CAR" and "RIER" in two reads: the call is lost
    ResultWordInData,           // the device sends "NO CARRIER" as data: the call is up still
    PortVanished,               // the modem's port goes during the call: nothing to hang up
    ErrorWordWhileRegistering,  // a stray result word, then CONNECT: the call is used
    CancelAfterConnect,         // the user gives up in the seconds after CONNECT
    WindowClosed,               // the window is closed during the call
    WindowClosedRealTimings,    // the same with the production hang-up and a 1 s guard time
    StopSignal,                 // SIGTERM during the call (a logout): handled as the close
    DeviceSilent,               // the device behind the call does not identify itself
};

std::string EndingName(const testing::TestParamInfo<Ending>& info);
void PrintTo(Ending ending, std::ostream* os) { *os << EndingName({ending, 0}); }

class ModemEndingTest : public ModemTest, public testing::WithParamInterface<Ending> {};

TEST_P(ModemEndingTest, no_call_is_left_up) {
    const Ending ending = GetParam();
    const bool closing = ending == Ending::WindowClosed ||
                         ending == Ending::WindowClosedRealTimings || ending == Ending::StopSignal;
    if (ending == Ending::StopSignal) InstallStopSignals();
    if (ending == Ending::ErrorWordWhileRegistering) {
        Modem->setRegistration({"0,2\r\n\r\nNO CARRIER", "0,1"});
    }
    if (ending == Ending::CancelAfterConnect) {
        RingTimings timings = FastTimings();
        timings.afterConnect = RingTimings{}.afterConnect;
        Form->Session()->SetRingTimings(timings);
    }
    if (ending == Ending::DeviceSilent) Device->setIdentification(std::vector<std::string>{});
    if (ending == Ending::WindowClosedRealTimings) {
        Modem->setEscapeGuard(milliseconds(1000));
        Form->Session()->SetHangUpTimings(HangUpTimings{});
    }
    // Shown, so that its end can be seen.
    if (closing) Form->show();
    qint64 pid = 0;
    Form->URLLabel1Click();
    PlayWhilePumping([&] {
        if (ending == Ending::CancelAfterConnect) {
            // The dialling thread has seen CONNECT and waits before handing the call over.
            ASSERT_TRUE(Eventually([&] {
                return OnGui([&] { return Windows.LOGForm->Lines().join(' ').contains("CONNECT"); });
            }));
            ASSERT_EQ(Modem->state(), State::Data);
            Modem->clearRecord();
            PostClick();
            EXPECT_TRUE(Eventually([&] { return State() == ConnectionState::Idle; }));
            return;
        }
        if (ending == Ending::DeviceSilent) {
            ASSERT_TRUE(Eventually([&] { return Device->identificationRequests() == 1; }));
            Modem->clearRecord();
            // The identification waits its 10 s.
            EXPECT_TRUE(Eventually([&] { return Modem->hangUps() == 1; }, 30000));
            return;
        }
        ASSERT_TRUE(WaitConnected());
        EXPECT_EQ(Status(), QStringLiteral("Подключен"));
        pid = OnGui([&] { return static_cast<qint64>(Form->Session()->SetupProcInfo().dwProcessId); });
        Modem->clearRecord();
        switch (ending) {
            case Ending::SplitResultWord:
                Modem->dropCall(milliseconds(300));
                EXPECT_TRUE(Eventually([&] { return State() == ConnectionState::CallLost; }));
                break;
            case Ending::ResultWordInData: {
                // A pseudo-terminal has no carrier line to ask, so the call is hung up the
                // full way (the record is cleared before the echo even comes back).
                auto client = ConnectClient();
                ASSERT_NE(client, nullptr);
                client->write("data NO CARRIER data");
                client->flush();
                ASSERT_TRUE(Eventually([&] { return Received() == "data NO CARRIER data"; }));
                Modem->clearRecord();
                EXPECT_TRUE(Eventually([&] { return State() == ConnectionState::CallLost; }));
                break;
            }
            case Ending::PortVanished:
                Simulator->vanish();
                EXPECT_TRUE(Eventually([&] { return State() == ConnectionState::Idle; }));
                break;
            case Ending::ErrorWordWhileRegistering:
                PostClick();
                EXPECT_TRUE(Eventually([&] { return State() == ConnectionState::Idle; }));
                break;
            default: {
                if (ending == Ending::StopSignal) break;  // given below, to the program's loop
                PostToGui([&] { Form->close(); });
                // The window answers while the modem is still being hung up.
                EXPECT_TRUE(HangingUp());
                EXPECT_EQ(Modem->hangUps(), 0u);
                EXPECT_TRUE(OnGui([&] { return Form->isVisible(); }));
                EXPECT_TRUE(Eventually([&] { return !OnGui([&] { return Form->isVisible(); }); }));
                break;
            }
        }
    });
    if (ending == Ending::StopSignal) {
        // The program's own loop, as after the start: the signal closes the window, which
        // waits for the hang-up; the request to quit waits for the window (a window that
        // refuses to close holds Qt's quit), so the loop ends once the call is down.
        QApplication::setQuitOnLastWindowClosed(true);
        QTimer bound;
        bound.setSingleShot(true);
        QObject::connect(&bound, &QTimer::timeout, [] { QCoreApplication::exit(1); });
        bound.start(30000);
        std::thread logout([] { ::kill(::getpid(), SIGTERM); });
        EXPECT_EQ(QApplication::exec(), 0);
        logout.join();
        QApplication::setQuitOnLastWindowClosed(false);
        EXPECT_EQ(Modem->hangUps(), 1u) << "the loop ended before the call was down";
    }
    if (ending == Ending::PortVanished) {
        // The connection ends at once; the program stays, as after a lost call.
        EXPECT_TRUE(Windows.LOGForm->Lines().join('\n').contains(
            QStringLiteral("Завершение работы по потере порта.")));
        EXPECT_EQ(Form->Label7->text(), QStringLiteral("Нет подключения"));
        EXPECT_TRUE(SettingsEnabled());
        EXPECT_TRUE(Form->Session()->SetupIsStarted());
        return;
    }
    ExpectCallDown();
    ExpectEscapeThenHangUp();
    const bool lost = ending == Ending::SplitResultWord || ending == Ending::ResultWordInData;
    if (lost) {
        EXPECT_EQ(Form->URLLabel1->text(), QStringLiteral("Переподключить"));
    }
    if (closing) {
        EXPECT_FALSE(Form->isVisible());
        EXPECT_FALSE(Form->Session()->SetupIsStarted());
        EXPECT_TRUE(WaitUntil([&] { return ::kill(static_cast<pid_t>(pid), 0) != 0; }));
    } else if (!lost) {
        if (ending == Ending::DeviceSilent) {
            ASSERT_EQ(Watcher->Count(), 1);
            EXPECT_EQ(Watcher->Seen()[0].text,
                      QStringLiteral("Устройство не обнаружено, работа программы невозможна."));
        }
        EXPECT_EQ(Form->Session()->State(), ConnectionState::Idle);
        EXPECT_EQ(Form->Label7->text(), QStringLiteral("Нет подключения"));
        EXPECT_TRUE(SettingsEnabled());
    }
}

std::string EndingName(const testing::TestParamInfo<Ending>& info) {
    static const char* const names[] = {
        "split_result_word", "result_word_in_data", "port_vanished", "error_word_while_registering",
        "cancel_after_connect",
        "window_closed",     "window_closed_real_timings",   "stop_signal",
        "device_silent"};
    return names[static_cast<int>(info.param)];
}

INSTANTIATE_TEST_SUITE_P(Modem, ModemEndingTest,
                         testing::Values(Ending::SplitResultWord, Ending::ResultWordInData, Ending::PortVanished,
                                         Ending::ErrorWordWhileRegistering,
                                         Ending::CancelAfterConnect, Ending::WindowClosed,
                                         Ending::WindowClosedRealTimings, Ending::StopSignal,
                                         Ending::DeviceSilent),
                         EndingName);
