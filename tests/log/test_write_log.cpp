#include <gtest/gtest.h>

#include <QCheckBox>
#include <QListView>
#include <QRegularExpression>
#include <QScrollBar>

#include "ModalWatcher.h"
#include "log/LOGUnit.h"
#include "log/LogRows.h"
#include "shell/MainFormUnit.h"

namespace lintaro {
namespace {

// The main window with its log window, as the program creates them.
struct Windows {
    test::ModalWatcher watcher;  // answers start-up messages (no ports in the test folder)
    TMainLintaroForm main;
    TLOGForm log;
    Windows() { main.SetCompanions(nullptr, nullptr, &log); }
};

TEST(MainWindowLog, stores_lines_only_while_the_log_window_is_shown) {
    Windows w;
    w.main.WriteLog("+VER_INFO=?", "APP->COM");
    EXPECT_EQ(w.log.Rows->rowCount(), 0);

    w.log.show();
    w.main.WriteLog("+VER_INFO=?", "APP->COM");
    w.main.WriteLog("", "");
    w.main.WriteLog("A\r\nB\r\n", "COM->TCP");
    w.main.WriteLogBytes("\xC0\r", "TCP->COM");
    const QString stamp = R"(\d{4}\.\d{2}\.\d{2} \d{2}\D+\d{2}\D+\d{2}\.\d{3})";
    const QStringList expected = {stamp + R"(: APP->COM \+VER_INFO=\?)", stamp + ":  ",
                                  stamp + ": COM->TCP A", stamp + ": COM->TCP B",
                                  stamp + ": TCP->COM А"};
    const QStringList lines = w.log.Lines();
    ASSERT_EQ(lines.size(), expected.size());
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QRegularExpression pattern(QRegularExpression::anchoredPattern(expected[i]));
        EXPECT_TRUE(pattern.match(lines[i]).hasMatch()) << lines[i].toStdString();
    }
}

TEST(MainWindowLog, autoscroll_follows_the_check_box) {
    Windows w;
    w.log.show();
    QScrollBar* bar = w.log.Log->verticalScrollBar();
    for (int i = 0; i < 100; ++i) w.main.WriteLog(QString::number(i), "");
    ASSERT_TRUE(test::WaitUntil([&] { return bar->maximum() > 0; }));  // laid out later
    EXPECT_EQ(bar->value(), 0);
    EXPECT_FALSE(w.main.Autoscroll());

    w.log.AutiscrollCheckBox->click();
    w.main.SetAutoscroll(false);  // the check box alone holds the setting
    EXPECT_TRUE(w.main.Autoscroll());
    w.main.WriteLog("end", "");
    EXPECT_EQ(bar->value(), bar->maximum());
}

}  // namespace
}  // namespace lintaro
