// The modem road end to end: the window dials through a simulated GSM modem (on an
// accelerated dialling clock), runs the bridge over the data call, hangs up, and redials
// after a lost call.
#include <QFileInfo>
#include <QToolButton>

#include "BridgeHarness.h"
#include "bridge/DialString.h"
#include "serial/COMUtils.h"
#include "ModemPersonality.h"
#include "RingTestSupport.h"

using namespace lintaro;
using namespace lintaro::test;
using devsim::ModemPersonality;
using testing_support::FastTimings;

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
        Form->SetRingTimings(FastTimings());
        Form->ConnectTypeComboBox->setCurrentIndex(0);
        Q_EMIT Form->ConnectTypeComboBox->activated(0);
        Form->PhoneNumber->setEditText(QStringLiteral("+7 900 123"));
    }
    void TearDown() override {
        if (Modem) Modem->setOutput({});
        BridgeTest::TearDown();
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
    EXPECT_EQ(Form->ConnectionState(), 1);
    EXPECT_FALSE(SettingsEnabled());
    // The call's cycle runs inside the dialling thread's end notification, on this thread,
    // while the scenario plays on its own.
    PlayWhilePumping([&] {
        ASSERT_TRUE(WaitConnected());
        EXPECT_EQ(Status(), QStringLiteral("Подключен"));
        EXPECT_EQ(Modem->dialled(), std::vector<std::string>{"+7 900 123"});
        pid = OnGui([&] { return static_cast<qint64>(Form->SetupProcInfo().dwProcessId); });
        auto client = ConnectClient();
        ASSERT_NE(client, nullptr);
        client->write("ping");
        client->flush();
        EXPECT_EQ(ReadExactly(*client, 4), QByteArray("ping"));  // the device echoes
        Modem->clearRecord();
        PostClick();
        EXPECT_TRUE(Eventually([&] { return Modem->hangUps() == 1; }));
        EXPECT_TRUE(Eventually([&] { return State() == 0 && !OnGui([&] { return Form->Connected(); }); }));
    });

    // "+" three times, then "ATH" CR LF well after the escape.
    std::string bytes;
    for (const auto& piece : Modem->pieces()) bytes += piece.bytes;
    EXPECT_EQ(bytes, "+++ATH\r\n");
    const auto pieces = Modem->pieces();
    ASSERT_GE(pieces.size(), 2u);
    EXPECT_EQ(pieces.back().bytes, "ATH\r\n");
    EXPECT_GE(pieces.back().at - pieces.front().at, std::chrono::milliseconds(140));
    EXPECT_TRUE(WaitUntil([&] { return ::kill(static_cast<pid_t>(pid), 0) != 0; }));
    EXPECT_TRUE(SettingsEnabled());
    EXPECT_TRUE(PortFree());
    EXPECT_EQ(Form->Label7->text(), QStringLiteral("Нет подключения"));
}

TEST_F(ModemTest, lost_call_offers_redial_which_keeps_the_configuration_program) {
    qint64 pid = 0;
    Form->URLLabel1Click();
    PlayWhilePumping([&] {
        ASSERT_TRUE(WaitConnected());
        pid = OnGui([&] { return static_cast<qint64>(Form->SetupProcInfo().dwProcessId); });
        Modem->dropCall();
        ASSERT_TRUE(Eventually([&] { return State() == 3; }));
        // The cycle of the lost call ends; the thread that dialled it finishes.
        ASSERT_TRUE(Eventually([&] {
            return OnGui([&] { return !Form->Connected() && Form->Ring()->Finished(); });
        }));
    });
    EXPECT_EQ(Form->URLLabel1->text(), QStringLiteral("Переподключить"));
    EXPECT_EQ(Form->Label7->text(), QStringLiteral("Нет подключения"));
    EXPECT_FALSE(SettingsEnabled());
    EXPECT_TRUE(Form->SetupIsStarted());
    EXPECT_EQ(::kill(static_cast<pid_t>(pid), 0), 0);

    Form->URLLabel1Click();  // redial
    PlayWhilePumping([&] {
        ASSERT_TRUE(WaitConnected());
        EXPECT_EQ(Modem->dialled().size(), 2u);
        EXPECT_EQ(Device->identificationRequests(), 2u);
        EXPECT_EQ(OnGui([&] { return static_cast<qint64>(Form->SetupProcInfo().dwProcessId); }), pid);
        PostClick();
        EXPECT_TRUE(Eventually([&] { return State() == 0 && !OnGui([&] { return Form->Connected(); }); }));
    });
    EXPECT_TRUE(WaitUntil([&] { return ::kill(static_cast<pid_t>(pid), 0) != 0; }));
}

TEST_F(ModemTest, busy_number_shows_its_text_and_frees_everything) {
    Modem->setDial(ModemPersonality::DialOutcome::Busy);
    Form->URLLabel1Click();
    ASSERT_TRUE(WaitUntil([&] { return Form->ConnectionState() == 0; }));
    EXPECT_EQ(Form->Label7->text(), QStringLiteral("Номер занят"));
    EXPECT_EQ(Form->Label7->palette().color(QPalette::WindowText), QColor(255, 0, 0));
    EXPECT_EQ(Form->URLLabel1->text(), QStringLiteral("Подключить"));
    EXPECT_TRUE(SettingsEnabled());
    EXPECT_TRUE(PortFree());
    EXPECT_FALSE(Form->SetupIsStarted());
}

TEST_F(ModemTest, cancel_during_dialling_stops_the_thread_and_frees_the_port) {
    Modem->setDial(ModemPersonality::DialOutcome::Silent);
    Form->URLLabel1Click();
    ASSERT_TRUE(WaitUntil([&] { return Form->Label7->text() == QStringLiteral("Набор номера"); }));
    Form->URLLabel1Click();
    EXPECT_EQ(Form->ConnectionState(), 0);
    EXPECT_EQ(Form->Ring(), nullptr);
    EXPECT_EQ(Form->Label7->text(), QStringLiteral("Нет подключения"));
    EXPECT_TRUE(SettingsEnabled());
    EXPECT_TRUE(PortFree());
}

TEST_F(ModemTest, blank_phone_number_is_refused) {
    Form->PhoneNumber->setEditText(QStringLiteral(" \t "));
    Form->URLLabel1Click();
    ASSERT_EQ(Watcher->Count(), 1);
    EXPECT_EQ(Watcher->Seen()[0].text, QStringLiteral("Не указан номер телефона."));
    EXPECT_EQ(Form->ConnectionState(), 0);
    EXPECT_EQ(Form->Ring(), nullptr);
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
        {QStringLiteral("+7(900)123-45"), false},
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
        EXPECT_EQ(Form->ConnectionState(), 0);
        EXPECT_EQ(Form->Ring(), nullptr);
        Form->LoadPhoneHistory();
        EXPECT_EQ(Form->PhoneNumber->findText(c.number), -1);
    }
}

TEST_F(ModemTest, closing_the_window_while_dialling_stops_the_thread) {
    Modem->setDial(ModemPersonality::DialOutcome::Silent);
    Form->URLLabel1Click();
    ASSERT_TRUE(WaitUntil([&] { return Form->Label7->text() == QStringLiteral("Набор номера"); }));
    Form->close();
    ASSERT_NE(Form->Ring(), nullptr);
    EXPECT_TRUE(Form->Ring()->Finished());
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

// The close handler runs inside the call's cycle, which runs inside the dialling thread's
// end notification: stopping the thread there must not wait for itself.
TEST_F(ModemTest, closing_the_window_during_a_call_ends_it_without_hanging) {
    Form->URLLabel1Click();
    PlayWhilePumping([&] {
        ASSERT_TRUE(WaitConnected());
        PostToGui([&] { Form->close(); });
        EXPECT_TRUE(Eventually([&] {
            return OnGui([&] { return !Form->Connected() && Form->Ring()->Finished(); });
        }));
    });
    EXPECT_FALSE(Form->SetupIsStarted());
    EXPECT_TRUE(PortFree());
}
