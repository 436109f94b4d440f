#include "ErrorReport.h"
#include "Lintaro.h"

int main(int argc, char** argv) {
    lintaro::LintaroApplication app(argc, argv);
    return lintaro::RunLintaro();
}
