// A folder of the benchmark run for everything the program would otherwise take from the
// user: settings, runtime files, ports, the configuration program's copy. The bench never
// sees the user's settings or the machine's real ports.
#pragma once

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

namespace lintaro::bench {

// Creates the folders (config, runtime, ports, tmp, program) in `home` and points the
// environment at them. Call before the application object exists.
inline void UseBenchHome(const QTemporaryDir& home) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    for (const char* sub : {"/config", "/runtime", "/ports", "/tmp", "/program"})
        QDir().mkpath(home.path() + sub);
    QFile::setPermissions(home.path() + "/runtime",
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    qputenv("XDG_CONFIG_HOME", (home.path() + "/config").toUtf8());
    qputenv("XDG_RUNTIME_DIR", (home.path() + "/runtime").toUtf8());
    qputenv("LINTARO_PORT_DIR", (home.path() + "/ports").toUtf8());
    qputenv("LINTARO_ONLY_PORT_DIR", "1");
    qputenv("TMPDIR", (home.path() + "/tmp").toUtf8());
}

}  // namespace lintaro::bench
