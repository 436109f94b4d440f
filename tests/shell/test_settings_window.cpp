#include <gtest/gtest.h>

#include <QComboBox>
#include <QTimer>

#include <sys/stat.h>

#include "shell/ErrorReport.h"
#include "log/LOGUnit.h"
#include "ModalWatcher.h"
#include "PortDir.h"
#include "shell/MainFormUnit.h"
#include "StandInSysfs.h"
#include "test_settings_support.h"

namespace lintaro {
namespace {

class SettingsWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::ResetSettings();
        test::ModalWatcher startWatcher;  // the test run has no ports: one message
        FForm = std::make_unique<TMainLintaroForm>();
    }
    void TearDown() override {
        FForm.reset();
        test::ResetSettings();
    }
    void SetPorts(const QStringList& ports) {
        FForm->PortsListComboBox->clear();
        FForm->PortsListComboBox->addItems(ports);
        if (!ports.isEmpty()) FForm->PortsListComboBox->setCurrentIndex(0);
    }
    QStringList Phones() const {
        QStringList items;
        for (int i = 0; i < FForm->PhoneNumber->count(); ++i) {
            items << FForm->PhoneNumber->itemText(i);
        }
        return items;
    }
    std::unique_ptr<TMainLintaroForm> FForm;
};

TEST_F(SettingsWindowTest, phone_list_follows_the_store_and_keeps_the_typed_text) {
    EXPECT_TRUE(QFileInfo(test::SettingsFile()).isFile());  // created by the first load
    EXPECT_TRUE(Phones().isEmpty());

    test::StorePhones({{2, "222"}, {1, "111"}, {5, "555"}});
    FForm->PhoneNumber->setEditText("typed");
    FForm->LoadPhoneHistory();
    EXPECT_EQ(Phones(), (QStringList{"111", "222", "555"}));
    EXPECT_EQ(FForm->PhoneNumber->currentText(), "typed");

    FForm->AddPhoneToHistory("89001112233");
    EXPECT_EQ(
        test::StoredPhones(),
        (test::PhoneValues{{1, "89001112233"}, {2, "111"}, {3, "222"}, {4, "555"}, {5, "555"}}));
    EXPECT_EQ(Phones(), (QStringList{"89001112233", "111", "222", "555", "555"}));
}

TEST_F(SettingsWindowTest, saved_port_is_reselected_whatever_its_letter_case) {
    SetPorts({"COM1", "COM3", "COM4"});
    FForm->LoadCOMPort();  // nothing stored: the selection stays
    EXPECT_EQ(FForm->PortsListComboBox->currentText(), "COM1");

    TSettingsKey().WriteString("COM", "com3");
    FForm->LoadCOMPort();
    EXPECT_EQ(FForm->PortsListComboBox->currentText(), "COM3");

    SetPorts({});
    FForm->SaveCOMPort();  // an empty list stores an empty text
    ASSERT_TRUE(TSettingsKey().ValueExists("COM"));
    EXPECT_EQ(TSettingsKey().ReadString("COM"), "");
    SetPorts({"COM2", "COM5"});
    FForm->LoadCOMPort();
    EXPECT_EQ(FForm->PortsListComboBox->currentIndex(), 0);
}

// The adapter under its new name, old one gone or taken, or moved to another socket without
// a serial number; without identity, by name.
TEST_F(SettingsWindowTest, saved_adapter_is_selected_under_its_new_name) {
    test::StandInSysfs sysfs;
    const QString a = test::AddListedPort("ttyUSB1"), b = test::AddListedPort("ttyUSB0"),
                  c = test::AddListedPort("ttyUSB2");
    sysfs.Attach(a.toStdString(), "usb1/1-2", "1-2:1.0/ttyUSB1", "0403 6001 AAA");
    sysfs.Attach(b.toStdString(), "usb1/1-3", "1-3:1.0/ttyUSB0", "0403 6001 BBB");
    sysfs.Attach(c.toStdString(), "usb1/1-1/1-1.4", "1-1.4:1.0/ttyUSB2", "1a86 7523");
    FForm->FillPortsList();
    TLOGForm log;
    FForm->SetCompanions(nullptr, nullptr, &log);
    log.show();
    const QString gone = test::PortDir() + "/ttyUSB7", idA = "usb:0403:6001:AAA",
                  idC = "usb:1a86:7523@1-1.2";
    const struct { QString com, id, selected, shownId; } rows[] = {
        {gone, idA, a, idA}, {b, idA, a, idA}, {b, "usb:0403:6001:ZZZ", b, {}}, {b, {}, b, {}},
        {gone, idC, c, idC + " -> usb:1a86:7523@1-1.4"}};
    for (const auto& row : rows) {
        test::ResetSettings();
        TSettingsKey().WriteString("COM", row.com);
        if (!row.id.isNull()) TSettingsKey().WriteString("COMId", row.id);
        log.N1Click();
        FForm->LoadCOMPort();
        QCoreApplication::processEvents();
        EXPECT_EQ(FForm->PortsListComboBox->currentText(), row.selected) << row.com.toStdString();
        const QString line = "COM-порт " + row.com + " найден под именем " + row.selected + " (" + row.shownId + ")";
        EXPECT_EQ(log.Lines().join('|').endsWith(line), row.selected != row.com);
    }
    FForm->SelectComboItem(FForm->PortsListComboBox, b);
    FForm->SaveCOMPort();  // the identity goes beside the name
    EXPECT_EQ(TSettingsKey().ReadString("COMId"), "usb:0403:6001:BBB");
    FForm->SetCompanions(nullptr, nullptr, nullptr);
    test::ClearPortDir();
}

TEST(SelectComboItem, compares_upper_cased_texts_and_takes_the_first_match) {
    const std::pair<QString, int> cases[] = {
        {"com3", 1}, {"COM3", 1}, {"порт ё", 3}, {"ПОРТ Ё", 3}, {"COM33", 2}, {"com 3", 2},
    };
    QComboBox combo;
    combo.addItems({"COM1", "Com3", "COM3", "Порт Ё"});
    for (const auto& [text, selected] : cases) {
        combo.setCurrentIndex(2);
        TMainLintaroForm::SelectComboItem(&combo, text);
        EXPECT_EQ(combo.currentIndex(), selected) << text.toStdString();
    }
}

TEST_F(SettingsWindowTest, unwritable_store_is_reported_and_the_program_goes_on) {
    SetPorts({"COM2"});
    for (const test::Blocker blocker : {test::Blocker::FileIsFolder, test::Blocker::FolderIsFile}) {
        test::BlockSettings(blocker);
        test::ModalWatcher watcher;
        // From the event loop, as the close handler or the link click would run them.
        QTimer::singleShot(0, FForm.get(), [&] { FForm->SaveCOMPort(); });
        ASSERT_TRUE(watcher.WaitForCount(1));
        QTimer::singleShot(0, FForm.get(), [&] { FForm->AddPhoneToHistory("89001112233"); });
        ASSERT_TRUE(watcher.WaitForCount(2));
        const QString file = QDir::toNativeSeparators(test::SettingsFile());
        for (const test::SeenBox& box : watcher.Seen()) {
            EXPECT_EQ(box.icon, QMessageBox::Critical);
            EXPECT_TRUE(box.text.contains(file)) << box.text.toStdString();
        }
        EXPECT_TRUE(watcher.Seen()[0].text.contains("'COM'"));
        EXPECT_TRUE(watcher.Seen()[1].text.contains("'phone1'"));

        // Writable again: the failed values left no trace, and saving works.
        test::ResetSettings();
        EXPECT_FALSE(TSettingsKey().ValueExists("COM"));
        EXPECT_TRUE(test::StoredPhones().isEmpty());
        FForm->SaveCOMPort();
        EXPECT_EQ(TSettingsKey().ReadString("COM"), "COM2");
    }
}

// A hostile store: values of other types among the phones, or something in the file's
// place that an open would wait on forever. Each start-up step reports its own error, the
// others still run: the port list is filled and the saved port reselected.
TEST_F(SettingsWindowTest, a_broken_store_is_reported_and_start_up_goes_on) {
    test::ClearPortDir();
    test::AddListedPort("sim0");
    const QString port = test::AddListedPort("sim1");
    const QString file = test::SettingsFile();
    FForm.reset();

    test::ResetSettings();
    {
        QSettings native(QSettings::NativeFormat, QSettings::UserScope, "Vormex", "Lintaro");
        native.setValue("phone1", QByteArray("\x01\x02"));
        native.setValue("phone2", "222");
        native.setValue("phone3", QStringList{"a", "b"});
        native.setValue("COM", port);
    }
    {
        test::ModalWatcher watcher;
        FForm = std::make_unique<TMainLintaroForm>();
        ASSERT_EQ(watcher.Count(), 1);  // once, for the first bad value
        EXPECT_EQ(watcher.Seen()[0].text, "Invalid data type for 'phone1'");
        EXPECT_EQ(Phones(), QStringList{"222"});
        EXPECT_EQ(FForm->PortsListComboBox->count(), 2);
        EXPECT_EQ(FForm->PortsListComboBox->currentText(), port);
    }
    // Adding a number writes the good ones back from phone1 on, over the first bad value;
    // the list shown again names the one still left.
    try {
        FForm->AddPhoneToHistory("333");
        ADD_FAILURE() << "the bad value left was not reported";
    } catch (const LintaroError& error) {
        EXPECT_EQ(error.Text(), "Invalid data type for 'phone3'");
    }
    EXPECT_EQ(TSettingsKey().ReadString("phone1"), "333");
    EXPECT_EQ(TSettingsKey().ReadString("phone2"), "222");
    EXPECT_EQ(Phones(), (QStringList{"333", "222"}));

    FForm.reset();
    test::ResetSettings();
    ASSERT_TRUE(QDir().mkpath(QFileInfo(file).absolutePath()));
    ASSERT_EQ(::mkfifo(file.toLocal8Bit().constData(), 0600), 0);
    {
        test::ModalWatcher watcher;
        FForm = std::make_unique<TMainLintaroForm>();
        ASSERT_GE(watcher.Count(), 1);
        for (const test::SeenBox& box : watcher.Seen()) {
            EXPECT_TRUE(box.text.contains("is not a regular file")) << box.text.toStdString();
        }
        EXPECT_EQ(FForm->PortsListComboBox->count(), 2);
    }
    // Not through ResetSettings: its own look at the store would wait on the FIFO.
    ASSERT_TRUE(QFile::remove(file));
    test::ClearPortDir();
}

}  // namespace
}  // namespace lintaro
