// Main of the GUI test programs: an offscreen application whose settings, runtime folder
// and port folder are private to the run, so no test touches the user's real ones, in a
// network of its own where the system allows one. What a case leaves in the process (the
// environment, settings, a stop request) is put back before the next, so the cases pass
// in any order.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <iostream>

#include "PrivateNetwork.h"
#include "shell/ErrorReport.h"
#include "shell/StopSignals.h"

namespace {

class ProcessStateReset : public ::testing::EmptyTestEventListener {
public:
    explicit ProcessStateReset(QString home)
        : FHome(std::move(home)), FEnvironment(QProcessEnvironment::systemEnvironment()) {}

    void OnTestEnd(const ::testing::TestInfo&) override {
        const QProcessEnvironment now = QProcessEnvironment::systemEnvironment();
        for (const QString& name : now.keys()) {
            if (!FEnvironment.contains(name)) qunsetenv(name.toLocal8Bit().constData());
        }
        for (const QString& name : FEnvironment.keys()) {
            if (now.value(name) != FEnvironment.value(name) || !now.contains(name)) {
                qputenv(name.toLocal8Bit().constData(), FEnvironment.value(name).toLocal8Bit());
            }
        }
        lintaro::ForgetStopRequest();
        QApplication::setQuitOnLastWindowClosed(false);
        // Settings and the runtime folder (the instance sign, the private folder) as at
        // the start: empty.
        for (const char* sub : {"/config", "/runtime"}) {
            const QString folder = FHome + QLatin1String(sub);
            QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
            QDir(folder).removeRecursively();
            QDir().mkpath(folder);
            QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        }
    }

private:
    QString FHome;
    QProcessEnvironment FEnvironment;
};

}  // namespace

int main(int argc, char** argv) {
    // Before anything could start a thread.
    std::string why;
    if (!lintaro::test::EnterPrivateNetwork(why)) {
#ifdef __linux__
        std::cerr << "No private network (" << why << "): the tests' servers use held ports.\n";
#endif
    }
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
    ::testing::UnitTest::GetInstance()->listeners().Append(new ProcessStateReset(home.path()));
    return RUN_ALL_TESTS();
}
