#include <gtest/gtest.h>

#include <QComboBox>
#include <QLabel>
#include <QTemporaryFile>
#include <QTimer>
#include <QToolButton>

#include "ModalWatcher.h"
#include "PortDir.h"
#include "shell/ErrorReport.h"
#include "shell/FileVersion.h"
#include "shell/Lintaro.h"
#include "shell/MainFormUnit.h"
#include "shell/PortComboBox.h"
#include "shell/URLLabel.h"

using namespace lintaro;
using namespace lintaro::test;

namespace {

struct Place {
    const char* name;
    int left, top, width, height;
    bool visible;
};

class MainWindowTest : public ::testing::Test {
protected:
    void SetUp() override { ClearPortDir(); }
    void TearDown() override { ClearPortDir(); }
};

}  // namespace

#ifndef _WIN32  // ports from the port folder
TEST_F(MainWindowTest, start_up_layout_shows_one_port_row_and_the_link_row) {
    AddListedPort("sim0");
    ModalWatcher watcher;
    LintaroWindows windows = CreateLintaroWindows();
    TMainLintaroForm& form = *windows.MainLintaroForm;
    form.show();

    EXPECT_EQ(watcher.Count(), 0);
    EXPECT_EQ(form.objectName(), "MainLintaroForm");
    EXPECT_EQ(form.windowTitle(), QStringLiteral("Мастер подключения v.2.0.0.37"));
    EXPECT_EQ(form.size(), QSize(351, 62));

    const Place places[] = {
        {"Label3", 16, 11, 95, 13, false},       {"ConnectTypeComboBox", 128, 8, 215, 21, false},
        {"Label4", 16, 11, 55, 13, true},        {"PortsListComboBox", 128, 11, 185, 21, true},
        {"SpeedButton1", 320, 11, 23, 22, true}, {"Label5", 16, 65, 88, 13, false},
        {"PhoneNumber", 128, 62, 215, 21, false}, {"URLLabel1", 16, 35, 65, 13, true},
        {"Label6", 144, 35, 40, 13, true},       {"Label7", 190, 35, 92, 13, true},
    };
    for (const Place& p : places) {
        auto* w = form.findChild<QWidget*>(QLatin1String(p.name));
        ASSERT_NE(w, nullptr) << p.name;
        // Labels are as wide as their text in the font at hand.
        const int width = qobject_cast<QLabel*>(w) ? w->sizeHint().width() : p.width;
        EXPECT_EQ(w->geometry(), QRect(p.left, p.top, width, p.height)) << p.name;
        EXPECT_EQ(w->isVisible(), p.visible) << p.name;
    }

    EXPECT_EQ(form.ConnectTypeComboBox->currentIndex(), 1);
    EXPECT_EQ(form.ConnectTypeComboBox->currentText(), QStringLiteral("USB/COM (кабель)"));
    EXPECT_EQ(form.Label4->text(), QStringLiteral("COM-порт:"));
    EXPECT_EQ(form.Label7->text(), QStringLiteral("Нет подключения"));
    EXPECT_EQ(form.URLLabel1->text(), QStringLiteral("Подключить"));
    EXPECT_EQ(form.URLLabel1->Tag(), static_cast<int>(ConnectionState::Idle));
    EXPECT_TRUE(form.URLLabel1->font().underline());
    EXPECT_EQ(form.URLLabel1->palette().color(QPalette::Active, QPalette::WindowText),
              QColor(0, 0, 255));
    EXPECT_EQ(form.PortsListComboBox->currentText(), PortDir() + "/sim0");
    EXPECT_EQ(form.font().pixelSize(), 11);
    EXPECT_FALSE(form.Timer->isActive());
    EXPECT_FALSE(form.ErrTimer->isActive());
    EXPECT_EQ(form.Timer->interval(), 500);
    EXPECT_EQ(form.ErrTimer->interval(), 5000);

    // The companion windows exist, hidden.
    for (QWidget* w : std::initializer_list<QWidget*>{
             reinterpret_cast<QWidget*>(form.COMSettings()),
             reinterpret_cast<QWidget*>(form.TCPServerSettings()),
             reinterpret_cast<QWidget*>(form.LOGForm())}) {
        ASSERT_NE(w, nullptr);
        EXPECT_FALSE(w->isVisible());
    }
}
#endif

#ifndef _WIN32  // ports from the port folder
TEST_F(MainWindowTest, empty_port_list_is_reported_once_and_the_window_still_opens) {
    ModalWatcher watcher;
    LintaroWindows windows = CreateLintaroWindows();
    ASSERT_TRUE(watcher.WaitForCount(1));
    ASSERT_EQ(watcher.Count(), 1);
    EXPECT_EQ(watcher.Seen()[0].title, QStringLiteral("Ошибка"));
    EXPECT_EQ(watcher.Seen()[0].text, QStringLiteral("Нет доступных COM портов."));
    EXPECT_EQ(watcher.Seen()[0].icon, QMessageBox::Critical);
    // Beneath it: where the program looked and what to try.
    EXPECT_TRUE(watcher.Seen()[0].detail.contains(PortDir()))
        << watcher.Seen()[0].detail.toStdString();
    EXPECT_TRUE(watcher.Seen()[0].detail.contains(QStringLiteral("USB-адаптер")));
    EXPECT_EQ(windows.MainLintaroForm->PortsListComboBox->count(), 0);
    EXPECT_EQ(windows.MainLintaroForm->PortsListComboBox->currentIndex(), -1);
    // A click on the link with the empty list says the same and connects nothing.
    windows.MainLintaroForm->URLLabel1Click();
    ASSERT_EQ(watcher.Count(), 2);
    EXPECT_EQ(watcher.Seen()[1].text, QStringLiteral("Нет доступных COM портов."));
    EXPECT_EQ(windows.MainLintaroForm->URLLabel1->text(), QStringLiteral("Подключить"));
}
#endif

#ifndef _WIN32  // ports from the port folder
TEST_F(MainWindowTest, refresh_lists_ports_anew_and_selects_the_first) {
    AddListedPort("sim2");
    ModalWatcher watcher;
    LintaroWindows windows = CreateLintaroWindows();
    TMainLintaroForm& form = *windows.MainLintaroForm;
    AddListedPort("sim10");
    AddListedPort("sim1");
    form.PortsListComboBox->setCurrentIndex(0);
    form.SpeedButton1->click();
    ASSERT_EQ(form.PortsListComboBox->count(), 3);
    // Natural order: sim2 before sim10.
    EXPECT_EQ(form.PortsListComboBox->itemText(0), PortDir() + "/sim1");
    EXPECT_EQ(form.PortsListComboBox->itemText(1), PortDir() + "/sim2");
    EXPECT_EQ(form.PortsListComboBox->itemText(2), PortDir() + "/sim10");
    // A long name shows its distinguishing end; the whole name is in the tooltip and is
    // what the box holds.
    AddListedPort(QStringLiteral("usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0"));
    form.SpeedButton1->click();
    auto* box = static_cast<TPortComboBox*>(form.PortsListComboBox);
    const QString full =
        PortDir() + QStringLiteral("/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0");
    const int index = box->findText(full);
    ASSERT_GE(index, 0);
    form.PortsListComboBox->setCurrentIndex(index);
    EXPECT_TRUE(box->DisplayedText().endsWith(QStringLiteral("port0")))
        << box->DisplayedText().toStdString();
    EXPECT_TRUE(box->DisplayedText().contains(QChar(0x2026))) << box->DisplayedText().toStdString();
    EXPECT_TRUE(box->itemData(index, Qt::ToolTipRole).toString().startsWith(full));
    // The adapter follows the port on the closed box.
    box->setItemData(index, QStringLiteral("FTDI FT232R USB UART, № A5"), TPortComboBox::AdapterRole);
    EXPECT_TRUE(box->DisplayedText().contains(QStringLiteral("port0 — FTDI"))) << box->DisplayedText().toStdString();
    QFile::remove(full);
    form.PortsListComboBox->setCurrentIndex(2);
    form.SpeedButton1->click();
    EXPECT_EQ(form.PortsListComboBox->currentIndex(), 0);

    ClearPortDir();
    form.SpeedButton1->click();
    ASSERT_TRUE(watcher.WaitForCount(1));
    EXPECT_EQ(watcher.Seen()[0].text, QStringLiteral("Нет доступных COM портов."));
    EXPECT_EQ(form.PortsListComboBox->count(), 0);
}
#endif

#ifndef _WIN32  // ports from the port folder
TEST_F(MainWindowTest, connection_type_switch_shows_or_hides_the_phone_row) {
    AddListedPort("sim0");
    LintaroWindows windows = CreateLintaroWindows();
    TMainLintaroForm& form = *windows.MainLintaroForm;
    form.show();
    form.ConnectTypeComboBox->setCurrentIndex(0);
    Q_EMIT form.ConnectTypeComboBox->activated(0);
    EXPECT_TRUE(form.Label5->isVisible());
    EXPECT_TRUE(form.PhoneNumber->isVisible());

    // No selection: nothing changes.
    form.ConnectTypeComboBox->setCurrentIndex(-1);
    Q_EMIT form.ConnectTypeComboBox->activated(-1);
    EXPECT_TRUE(form.PhoneNumber->isVisible());

    form.ConnectTypeComboBox->setCurrentIndex(1);
    Q_EMIT form.ConnectTypeComboBox->activated(1);
    EXPECT_FALSE(form.Label5->isVisible());
    EXPECT_FALSE(form.PhoneNumber->isVisible());
}
#endif

TEST(ErrorReport, error_escaping_a_handler_is_shown_and_the_program_goes_on) {
    ModalWatcher watcher;
    bool after = false;
    QTimer::singleShot(0, [] { throw LintaroError(QStringLiteral("Реестр недоступен")); });
    QTimer::singleShot(20, [&] { after = true; });
    ASSERT_TRUE(watcher.WaitForCount(1));
    EXPECT_EQ(watcher.Seen()[0].text, QStringLiteral("Реестр недоступен"));
    EXPECT_EQ(watcher.Seen()[0].icon, QMessageBox::Critical);
    EXPECT_TRUE(WaitUntil([&] { return after; }));
}

TEST(FileVersion, reads_the_block_of_a_built_executable_and_nothing_elsewhere) {
    EXPECT_EQ(GetFileVersionStr(QCoreApplication::applicationFilePath()), "2.0.0.37");
    EXPECT_EQ(GetFileVersionStr(QString()), QString());
    EXPECT_EQ(GetFileVersionStr(QStringLiteral("/nonexistent/lintaro")), QString());
    QTemporaryFile plain;
    ASSERT_TRUE(plain.open());
    plain.write("LINTARO-FILE-VERSION: not a block\n");
    plain.close();
    EXPECT_EQ(GetFileVersionStr(plain.fileName()), QString());
}

// Texts are painted in their own colours: the red status and the blue link.
#ifndef _WIN32  // ports from the port folder
TEST_F(MainWindowTest, status_and_link_are_painted_in_their_colours) {
    AddListedPort("sim0");
    LintaroWindows windows = CreateLintaroWindows();
    TMainLintaroForm& form = *windows.MainLintaroForm;
    form.show();
    form.SetStatus(QStringLiteral("Прибор недоступен"), TMainLintaroForm::RedColor());
    const auto countPixels = [](QWidget* w, auto matches) {
        const QImage image = w->grab().toImage();
        int n = 0;
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) n += matches(image.pixelColor(x, y)) ? 1 : 0;
        }
        return n;
    };
    EXPECT_GT(countPixels(form.Label7, [](QColor c) {
                  return c.red() > 150 && c.green() < 90 && c.blue() < 90;
              }),
              10);
    EXPECT_GT(countPixels(form.URLLabel1, [](QColor c) {
                  return c.blue() > 150 && c.red() < 90 && c.green() < 90;
              }),
              10);
}
#endif
