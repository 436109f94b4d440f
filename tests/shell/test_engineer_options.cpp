#include <gtest/gtest.h>

#include <QAction>
#include <QComboBox>
#include <QLabel>

#include "ModalWatcher.h"
#include "log/LOGUnit.h"
#include "shell/COMSettingsUnit.h"
#include "shell/EngineerOptions.h"
#include "shell/Lintaro.h"
#include "shell/MainFormUnit.h"
#include "shell/TPCServerSettingsUnit.h"
#include "shell/URLLabel.h"

using namespace lintaro;

TEST(EngineerOptions, command_line_is_parsed_or_answered) {
    struct Case {
        QStringList args;
        bool log, modem, settings;
        std::optional<int> exitCode;
        const char* output;  // a part of what is printed
        QStringList ignored;
        bool display = false;
    };
    const Case cases[] = {
        {{}, false, false, false, std::nullopt, "", {}},
        {{"--log"}, true, false, false, std::nullopt, "", {}},
        {{"--modem", "--settings"}, false, true, true, std::nullopt, "", {}},
        {{"--help"}, false, false, false, 0, "Запуск: Lintaro [параметры]", {}},
        {{"-h"}, false, false, false, 0, "--modem", {}},
        {{"--version"}, false, false, false, 0, LINTARO_FILE_VERSION, {}},
        // Others start the program all the same; Qt's own options and values go to Qt.
        {{"--bogus", "COM3"}, false, false, false, std::nullopt, "", {"--bogus", "COM3"}},
        {{"-style", "fusion", "--log", "-reverse", "--stylesheet=a.qss"},
         true,
         false,
         false,
         std::nullopt,
         "",
         {}},
        {{"-platform", "offscreen", "extra"},
         false,
         false,
         false,
         std::nullopt,
         "",
         {"extra"},
         true},
    };
    for (const Case& c : cases) {
        const ParsedCommandLine parsed =
            ParseCommandLine(QStringList{"/opt/lintaro/Lintaro"} + c.args);
        const std::string name = c.args.join(' ').toStdString();
        EXPECT_EQ(parsed.ExitCode, c.exitCode) << name;
        EXPECT_TRUE(parsed.Output.contains(QString::fromUtf8(c.output))) << name;
        EXPECT_FALSE(parsed.Output.contains(QLatin1String("Usage"))) << name;
        if (c.exitCode) continue;
        EXPECT_EQ(parsed.Options.Log, c.log) << name;
        EXPECT_EQ(parsed.Options.Modem, c.modem) << name;
        EXPECT_EQ(parsed.Options.Settings, c.settings) << name;
        EXPECT_EQ(parsed.Ignored, c.ignored) << name;
        EXPECT_EQ(parsed.DisplayGiven, c.display) << name;
    }
}

// Without options the design's start-up layout; with them the hidden parts are reachable.
TEST(EngineerOptions, options_reach_the_log_the_modem_row_and_the_settings_dialogs) {
    for (const bool on : {false, true}) {
        test::ModalWatcher watcher;  // the test run has no ports: one message
        LintaroWindows windows = CreateLintaroWindows();
        TMainLintaroForm& form = *windows.MainLintaroForm;
        form.show();
        ApplyEngineerOptions(windows, {on, on, on});

        EXPECT_EQ(windows.LOGForm->isVisible(), on);
        EXPECT_EQ(form.ConnectTypeComboBox->isVisible(), on);
        EXPECT_EQ(form.Label3->isVisible(), on);
        // The design's full layout: four rows, the link at the bottom one.
        EXPECT_EQ(form.height(), on ? 116 : 62);
        EXPECT_EQ(form.URLLabel1->y(), on ? 89 : 35);
        EXPECT_EQ(form.PortsListComboBox->y(), on ? 38 : 11);
        EXPECT_EQ(form.actions().size(), on ? 2 : 0);
        if (!on) continue;

        // The modem chosen in the shown row brings the phone row.
        form.ConnectTypeComboBox->setCurrentIndex(0);
        Q_EMIT form.ConnectTypeComboBox->activated(0);
        EXPECT_TRUE(form.PhoneNumber->isVisible());

        form.actions()[0]->trigger();
        EXPECT_TRUE(windows.COMSettingsForm->isVisible());
        form.actions()[1]->trigger();
        EXPECT_TRUE(windows.TCPServerSettingsForm->isVisible());
        // Applying again changes nothing.
        ApplyEngineerOptions(windows, {true, true, true});
        EXPECT_EQ(form.height(), 116);
        EXPECT_EQ(form.actions().size(), 2);
    }
}
