#include <QStringList>

#include "shell/ErrorReport.h"
#include "shell/Lintaro.h"
#include "shell/StopSignals.h"

int main(int argc, char** argv) {
    QStringList arguments;
    for (int i = 0; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);
    const lintaro::ParsedCommandLine commandLine = lintaro::ParseCommandLine(arguments);
    if (const auto code = lintaro::AnswerCommandLine(commandLine)) return *code;
    lintaro::BeginOpeningDisplay();
    lintaro::LintaroApplication app(argc, argv);
    lintaro::EndOpeningDisplay();
    lintaro::InstallStopSignals();
    return lintaro::RunLintaro(commandLine.Options);
}
