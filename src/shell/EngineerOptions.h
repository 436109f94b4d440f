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
    // Set when the program should end at once with this code (--help, a wrong option);
    // Output is then what it prints.
    std::optional<int> ExitCode;
    QString Output;
};

// Arguments as QCoreApplication::arguments() gives them (program name first).
ParsedCommandLine ParseCommandLine(const QStringList& arguments);

// Applies the options to the freshly created windows.
void ApplyEngineerOptions(const LintaroWindows& windows, const EngineerOptions& options);

}  // namespace lintaro
