// The settings store on Qt's native per-user settings (an ini-style file under the
// user's configuration folder on Linux).
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>
#include <QVariant>

#include "shell/ErrorReport.h"
#include "shell/SettingsStore.h"

namespace lintaro {

namespace {

// Where Qt keeps the native per-user settings of organisation "Vormex", application
// "Lintaro" on this platform.
QString SettingsFilePath() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/Vormex/Lintaro.conf");
}

// Qt reads the file when the accessor is made, with an open that waits for a FIFO's
// writer and a read that never ends on a device: anything in its place that is neither a
// file nor a folder (a folder only fails the writes) is refused before.
struct RegularSettingsFile {
    RegularSettingsFile() {
        const QString path = SettingsFilePath();
        const QFileInfo info(path);
        if (info.exists() && !info.isFile() && !info.isDir()) {
            throw LintaroError(QStringLiteral("The settings file \"%1\" is not a regular file.")
                                   .arg(QDir::toNativeSeparators(path)));
        }
    }
};

}  // namespace

// The check is a base: it runs before the settings member reads the file.
struct TSettingsKey::TImpl : RegularSettingsFile {
    QSettings Settings{QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Vormex"),
                       QStringLiteral("Lintaro")};
};

TSettingsKey::TSettingsKey() : FImpl(std::make_unique<TImpl>()) {
    // Opening creates the key, a read included: an empty file where none was. Whether
    // that worked is not tested here; a read then finds nothing, a write reports.
    const QFileInfo file(FImpl->Settings.fileName());
    if (!file.exists() && QDir().mkpath(file.absolutePath())) {
        QFile(file.absoluteFilePath()).open(QIODevice::WriteOnly);
    }
}

TSettingsKey::~TSettingsKey() = default;

bool TSettingsKey::ValueExists(const QString& name) const {
    return FImpl->Settings.contains(name);
}

QString TSettingsKey::ReadString(const QString& name) const {
    const QVariant value = FImpl->Settings.value(name);
    if (!value.isValid() && !ValueExists(name)) return {};
    // Only plain text counts; the file format also holds lists, byte arrays and variants.
    if (value.typeId() != QMetaType::QString) {
        throw LintaroError(QStringLiteral("Invalid data type for '%1'").arg(name));
    }
    return value.toString();
}

void TSettingsKey::WriteString(const QString& name, const QString& value) {
    QSettings& settings = FImpl->Settings;
    const auto failure = [&] {
        return LintaroError(
            QStringLiteral("Failed to set data for '%1': the settings file \"%2\" cannot be "
                           "written.")
                .arg(name, QDir::toNativeSeparators(Location())));
    };
    // Tested before the change: Qt keeps a change that could not be saved in its
    // process-wide cache of the file, where later reads would find it.
    if (!settings.isWritable()) throw failure();
    settings.setValue(name, value);
    settings.sync();
    if (settings.status() != QSettings::NoError) throw failure();
}

QString TSettingsKey::Location() const {
    return FImpl->Settings.fileName();
}

}  // namespace lintaro
