// Main of the GUI test programs: an offscreen application whose settings, runtime folder
// and port folder are private to the run, so no test touches the user's real ones.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "shell/ErrorReport.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QTemporaryDir home;
    if (!home.isValid()) return 2;
    qputenv("XDG_CONFIG_HOME", (home.path() + "/config").toUtf8());
    qputenv("XDG_RUNTIME_DIR", (home.path() + "/runtime").toUtf8());
    qputenv("LINTARO_PORT_DIR", (home.path() + "/ports").toUtf8());
    qputenv("LINTARO_ONLY_PORT_DIR", "1");
    qputenv("TMPDIR", (home.path() + "/tmp").toUtf8());
    for (const char* sub : {"/config", "/runtime", "/ports", "/tmp"}) {
        QDir().mkpath(home.path() + sub);
    }
    QFile::setPermissions(home.path() + "/runtime", QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    lintaro::LintaroApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    return RUN_ALL_TESTS();
}
