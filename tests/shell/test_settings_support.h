// Helpers of the settings tests; the store is the test run's private one.
#pragma once

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QSettings>

#include "shell/SettingsStore.h"

namespace lintaro::test {

// Where the store lives; asking does not create it.
inline QString SettingsFile() {
    return QSettings(QSettings::NativeFormat, QSettings::UserScope, "Vormex", "Lintaro").fileName();
}

// Back to a first run: nothing where the store and its folder belong.
inline void ResetSettings() {
    const QFileInfo file(SettingsFile());
    QDir(file.absoluteFilePath()).removeRecursively();
    QFile::remove(file.absoluteFilePath());
    if (!QFileInfo(file.absolutePath()).isDir()) QFile::remove(file.absolutePath());
}

// Unwritable also for root: the file's place taken by a folder, or its folder by a file.
enum class Blocker { FileIsFolder, FolderIsFile };
inline void BlockSettings(Blocker blocker) {
    ResetSettings();
    const QFileInfo file(SettingsFile());
    if (blocker == Blocker::FileIsFolder) {
        QDir().mkpath(file.absoluteFilePath());
    } else {
        QDir(file.absolutePath()).removeRecursively();
        QFile(file.absolutePath()).open(QIODevice::WriteOnly);
    }
}

using PhoneValues = QMap<int, QString>;

inline void StorePhones(const PhoneValues& values) {
    TSettingsKey key;
    for (auto it = values.begin(); it != values.end(); ++it) {
        key.WriteString(PhoneValueName(it.key()), it.value());
    }
}

inline PhoneValues StoredPhones() {
    const TSettingsKey key;
    PhoneValues values;
    for (int i = 1; i <= PhoneHistorySize; ++i) {
        if (key.ValueExists(PhoneValueName(i))) values[i] = key.ReadString(PhoneValueName(i));
    }
    return values;
}

}  // namespace lintaro::test
