// The test run's port folder (LINTARO_PORT_DIR): tests put virtual ports in it and take
// them out again.
#pragma once

#include <QDir>
#include <QFile>
#include <QString>

#ifndef _WIN32
#include "StandInTerminal.h"
#endif

namespace lintaro::test {

inline QString PortDir() { return qEnvironmentVariable("LINTARO_PORT_DIR"); }

// Empties the port folder.
inline void ClearPortDir() {
    QDir dir(PortDir());
    for (const QString& name : dir.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)) {
        QFile::remove(dir.filePath(name));
    }
}

#ifndef _WIN32
// A terminal with no device behind it that lists like a port.
inline QString AddListedPort(const QString& name) {
    const QString path = QDir(PortDir()).filePath(name);
    QFile::remove(path);
    QFile::link(QString::fromStdString(StandInTerminal()), path);
    return path;
}
#endif

}  // namespace lintaro::test
