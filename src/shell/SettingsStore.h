// The per-user settings store: the registry key HKCU\SOFTWARE\Vormex\Lintaro\ on
// Windows (SettingsStore_win.cpp), the native per-user settings file of organisation
// "Vormex", application "Lintaro" elsewhere (SettingsStore_qt.cpp). Values are plain
// strings: "COM" and "phone1" ... "phone8".
#pragma once

#include <QString>
#include <QStringList>
#include <memory>

namespace lintaro {

// An open accessor of the settings key. Every operation opens its own, uses it and lets
// it go; opening creates the key when it is missing. Failures are LintaroError
// exceptions for the application's error report.
class TSettingsKey {
public:
    TSettingsKey();
    ~TSettingsKey();
    TSettingsKey(const TSettingsKey&) = delete;
    TSettingsKey& operator=(const TSettingsKey&) = delete;

    bool ValueExists(const QString& name) const;
    // The text of a string value; empty when the value is missing. A value of another
    // type throws "Invalid data type for '<name>'".
    QString ReadString(const QString& name) const;
    // Stores a string value at once; throws when it cannot be stored.
    void WriteString(const QString& name, const QString& value);

    // Where the key lives, for messages.
    QString Location() const;

private:
    struct TImpl;
    std::unique_ptr<TImpl> FImpl;
};

// The phone history, newest first, on top of an open key (SettingsStoreUnit.cpp).
inline constexpr int PhoneHistorySize = 8;

// "phone1" ... "phone8".
QString PhoneValueName(int number);

// The existing values phone1 ... phone8 in number order; missing numbers are skipped. A
// value of another type throws, or, with `skipped` given, is left out and the first such
// error's text is put there.
QStringList ReadPhoneHistory(const TSettingsKey& key, QString* skipped = nullptr);

// Puts `phone` at the head of the history unless an entry has exactly its text (that
// entry keeps its place), then writes the list back from phone1 on, at most eight: a
// ninth entry is dropped and gaps close (values of another type count as gaps). Values
// are never deleted.
void StorePhoneInHistory(TSettingsKey& key, const QString& phone);

}  // namespace lintaro
