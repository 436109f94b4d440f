// Helpers of the launcher's tests: the probe program and what it reports.
#pragma once

#include <signal.h>

#include <QDir>
#include <QFile>
#include <QMap>
#include <QString>
#include <cerrno>

namespace lintaro::test {

// The identification reply of a device whose model key is ABC12.
inline const QByteArray kAbc12Reply("ID,ABC12.3.4,XYZ\r\nOK\r\n");

inline bool WriteBytes(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(bytes) == bytes.size();
}

// Copies the probe program to `folder` + `name`, executable.
inline bool InstallProbe(const QString& folder, const QString& name) {
    QFile::remove(folder + name);
    return QFile::copy(QStringLiteral(LINTARO_PROBE), folder + name) &&
           QFile::setPermissions(folder + name, QFile::ReadOwner | QFile::WriteOwner |
                                                    QFile::ExeOwner | QFile::ReadGroup |
                                                    QFile::ExeGroup);
}

// The probe's report in `folder` ("probe.txt"), key=value per line; empty while missing.
inline QMap<QString, QString> ProbeReport(const QString& folder) {
    QMap<QString, QString> report;
    QFile file(folder + QStringLiteral("probe.txt"));
    if (!file.open(QIODevice::ReadOnly)) return report;
    for (const QByteArray& line : file.readAll().split('\n')) {
        const qsizetype equals = line.indexOf('=');
        if (equals > 0) {
            report.insert(QString::fromUtf8(line.left(equals)),
                          QString::fromUtf8(line.mid(equals + 1)));
        }
    }
    return report;
}

// A process that no longer runs (another's child may linger as a zombie until its new
// parent reaps it).
inline bool ProcessDead(qint64 pid) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly)) return true;
    const QByteArray text = stat.readAll();
    const qsizetype close = text.lastIndexOf(')');
    return close >= 0 && text.mid(close + 2, 1) == "Z";
}

// Our own child: gone and reaped, so no zombie is left (kill(pid, 0) still finds a zombie).
inline bool ChildReaped(qint64 pid) {
    return ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

}  // namespace lintaro::test
