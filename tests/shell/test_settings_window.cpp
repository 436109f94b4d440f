#include <gtest/gtest.h>

#include <QComboBox>
#include <QTimer>

#include "ModalWatcher.h"
#include "shell/MainFormUnit.h"
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

}  // namespace
}  // namespace lintaro
