#include <gtest/gtest.h>

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>

#include "ModalWatcher.h"
#include "shell/COMSettingsUnit.h"
#include "shell/TPCServerSettingsUnit.h"

namespace lintaro {
namespace {

TEST(COMSettingsDialog, holds_one_of_fourteen_speeds_19200_at_start) {
    TCOMSettingsForm form;
    EXPECT_FALSE(form.isVisible());
    QStringList items;
    for (int i = 0; i < form.SpeedComboBox->count(); ++i) items << form.SpeedComboBox->itemText(i);
    EXPECT_EQ(items, (QStringList{"600", "1200", "2400", "4800", "9600", "14400", "19200", "28800",
                                  "38400", "56000", "57600", "115200", "128000", "256000"}));
    EXPECT_EQ(form.ReadSpeed(), 19200);
}

TEST(COMSettingsDialog, save_button_and_close_box_hide_and_keep_the_choice) {
    TCOMSettingsForm form;
    form.show();
    form.SpeedComboBox->setCurrentIndex(11);
    form.OKButton->click();
    EXPECT_FALSE(form.isVisible());
    EXPECT_EQ(form.ReadSpeed(), 115200);

    form.show();
    form.SpeedComboBox->setCurrentIndex(0);
    form.close();
    EXPECT_FALSE(form.isVisible());
    EXPECT_EQ(form.ReadSpeed(), 600);
}

TEST(TCPServerSettingsDialog, server_port_falls_back_to_53462_and_is_written_back) {
    const struct {
        QString text;
        int port;
    } cases[] = {
        {"53462", 53462}, {"80", 53462},    {"0", 53462},      {"-1", 53462},
        {"", 53462},      {"port", 53462},  {"12ab", 53462},   {"1023", 53462},
        {"1024", 1024},   {"8080", 8080},   {"70000", 53462},  {"99999999999", 53462},
        {"65535", 65535}, {"65536", 53462}, {"118998", 53462},
    };
    TTCPServerSettingsForm form;
    EXPECT_EQ(form.PortEdit->text(), "53462");
    for (const auto& c : cases) {
        form.PortEdit->setText(c.text);
        EXPECT_EQ(form.TakeServerPort(), c.port) << c.text.toStdString();
        EXPECT_EQ(form.PortEdit->text(), QString::number(c.port)) << c.text.toStdString();
    }
}

TEST(TCPServerSettingsDialog, save_hides_without_a_message_whatever_was_typed) {
    TTCPServerSettingsForm form;
    test::ModalWatcher watcher;
    form.show();
    form.PortEdit->setText("not a port");
    form.OkButton->click();
    EXPECT_FALSE(form.isVisible());
    EXPECT_EQ(form.PortEdit->text(), "not a port");
    EXPECT_EQ(watcher.Count(), 0);
}

}  // namespace
}  // namespace lintaro
