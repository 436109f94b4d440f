// Command-line options for field engineers. The start-up layout is the design's; these
// make reachable what it hides: the traffic log window, the connection-type row (the
// modem path) and the two settings dialogs.
#pragma once

#include <QString>
#include <QStringList>
#include <optional>

namespace lintaro {

struct LintaroWindows;

struct EngineerOptions {
    bool Log = false;       // --log: the traffic log window opens with the main window
    bool Modem = false;     // --modem: the connection-type row is shown
    bool Settings = false;  // --settings: the settings dialogs in the window's context menu
};

struct ParsedCommandLine {
    EngineerOptions Options;
    // Set when the program should end at once with this code (--help, --version);
    // Output is then what it prints.
    std::optional<int> ExitCode;
    QString Output;
    // Arguments that are neither ours nor Qt's: the program starts all the same.
    QStringList Ignored;
    // Qt's -platform or -display names where the window goes.
    bool DisplayGiven = false;
};

// Arguments as main() receives them (program name first). Qt's own options (-style,
// -platform …) and their values are left to Qt.
ParsedCommandLine ParseCommandLine(const QStringList& arguments);

// The one line on standard error about ignored arguments; empty when there are none.
QString IgnoredArgumentsLine(const ParsedCommandLine& commandLine);

// Applies the options to the freshly created windows.
void ApplyEngineerOptions(const LintaroWindows& windows, const EngineerOptions& options);

}  // namespace lintaro
