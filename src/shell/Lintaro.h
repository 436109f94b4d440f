// The program entry: refuses a second copy, creates the four windows, runs the loop.
#pragma once

#include <memory>
#include <optional>

#include "shell/EngineerOptions.h"

namespace lintaro {

class TMainLintaroForm;
class TCOMSettingsForm;
class TTCPServerSettingsForm;
class TLOGForm;

// The program's windows, in creation order; only the main window is ever shown.
struct LintaroWindows {
    std::unique_ptr<TMainLintaroForm> MainLintaroForm;
    std::unique_ptr<TCOMSettingsForm> COMSettingsForm;
    std::unique_ptr<TTCPServerSettingsForm> TCPServerSettingsForm;
    std::unique_ptr<TLOGForm> LOGForm;

    LintaroWindows();
    ~LintaroWindows();
    LintaroWindows(LintaroWindows&&) noexcept;
    LintaroWindows& operator=(LintaroWindows&&) noexcept;
};

LintaroWindows CreateLintaroWindows();

// Loads the translation of Qt's own dialogs for the system's language, falling back to
// Russian.
void InstallQtTranslations();

// Runs the program inside an existing application object; returns the exit code.
int RunLintaro(const EngineerOptions& options = {});

// Qt ends the program with a fatal message of its own when no display can be opened (a
// DISPLAY on which no server answers). Made between these two calls, the application
// object instead says so in the program's line and exits with code 1.
void BeginOpeningDisplay();
void EndOpeningDisplay();

// --help, --version or no display: says so and gives the exit code; else nothing (after
// a line about ignored arguments). Needs no application object.
std::optional<int> AnswerCommandLine(const ParsedCommandLine& commandLine);

}  // namespace lintaro
