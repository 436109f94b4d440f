#include <QStringList>

#include "shell/ErrorReport.h"
#include "shell/Lintaro.h"

int main(int argc, char** argv) {
    QStringList arguments;
    for (int i = 0; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);
    const lintaro::ParsedCommandLine commandLine = lintaro::ParseCommandLine(arguments);
    if (const auto code = lintaro::AnswerCommandLine(commandLine)) return *code;
    lintaro::LintaroApplication app(argc, argv);
    return lintaro::RunLintaro(commandLine.Options);
}
