// The settings store in the registry: HKEY_CURRENT_USER\SOFTWARE\Vormex\Lintaro\.
#include "shell/ErrorReport.h"
#include "shell/RegistryKey.h"
#include "shell/SettingsStore.h"

namespace lintaro {

struct TSettingsKey::TImpl {
    RegistryKey Key;
};

TSettingsKey::TSettingsKey() : FImpl(std::make_unique<TImpl>()) {}

TSettingsKey::~TSettingsKey() = default;

bool TSettingsKey::ValueExists(const QString& name) const {
    return FImpl->Key.ValueExists(name.toStdWString());
}

QString TSettingsKey::ReadString(const QString& name) const {
    try {
        return QString::fromStdWString(FImpl->Key.ReadString(name.toStdWString()));
    } catch (const RegistryError& error) {
        throw LintaroError(QString::fromUtf8(error.what()));
    }
}

void TSettingsKey::WriteString(const QString& name, const QString& value) {
    try {
        FImpl->Key.WriteString(name.toStdWString(), value.toStdWString());
    } catch (const RegistryError& error) {
        throw LintaroError(QString::fromUtf8(error.what()));
    }
}

QString TSettingsKey::Location() const {
    return QStringLiteral("HKEY_CURRENT_USER\\") + QString::fromWCharArray(SettingsKeyPath);
}

}  // namespace lintaro
