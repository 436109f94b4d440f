#include "shell/ErrorReport.h"
#include "shell/Lintaro.h"

int main(int argc, char** argv) {
    lintaro::LintaroApplication app(argc, argv);
    return lintaro::RunLintaro();
}
