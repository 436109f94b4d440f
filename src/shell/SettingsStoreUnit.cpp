// The settings store methods of the main window: the port used last and the phone
// history. Each opens, uses and releases its own accessor; errors are not caught here and
// reach the application's error report.
#include <QComboBox>
#include <QLocale>
#include <algorithm>

#include "shell/ErrorReport.h"
#include "shell/MainFormUnit.h"
#include "shell/SettingsStore.h"

namespace lintaro {
namespace {
const QString COMValueName = QStringLiteral("COM");
}

QString PhoneValueName(int number) {
    return QStringLiteral("phone%1").arg(number);
}

QStringList ReadPhoneHistory(const TSettingsKey& key, QString* skipped) {
    QStringList history;
    for (int i = 1; i <= PhoneHistorySize; ++i) {
        const QString name = PhoneValueName(i);
        if (!key.ValueExists(name)) continue;
        try {
            history.append(key.ReadString(name));
        } catch (const LintaroError& error) {
            if (skipped == nullptr) throw;
            if (skipped->isEmpty()) *skipped = error.Text();
        }
    }
    return history;
}

void StorePhoneInHistory(TSettingsKey& key, const QString& phone) {
    // A value of another type is left out, and so overwritten by the good ones.
    QString skipped;
    QStringList history = ReadPhoneHistory(key, &skipped);
    if (!history.contains(phone, Qt::CaseSensitive)) history.prepend(phone);
    const auto count = std::min<qsizetype>(history.size(), PhoneHistorySize);
    for (qsizetype k = 0; k < count; ++k) {
        key.WriteString(PhoneValueName(static_cast<int>(k) + 1), history[k]);
    }
}

void TMainLintaroForm::LoadPhoneHistory() {
    const QString kept = PhoneNumber->currentText();
    PhoneNumber->clear();
    PhoneNumber->setEditText(QString());
    // A value of another type is skipped; the others are listed, then it is reported.
    QString skipped;
    {
        const TSettingsKey key;
        PhoneNumber->addItems(ReadPhoneHistory(key, &skipped));
    }
    // Filling the list selects its first entry; the typed text is what stays.
    PhoneNumber->setCurrentIndex(-1);
    PhoneNumber->setEditText(kept);
    if (!skipped.isEmpty()) throw LintaroError(skipped);
}

void TMainLintaroForm::AddPhoneToHistory(const QString& phone) {
    {
        TSettingsKey key;
        StorePhoneInHistory(key, phone);
    }
    LoadPhoneHistory();
}

void TMainLintaroForm::LoadCOMPort() {
    const TSettingsKey key;
    if (key.ValueExists(COMValueName)) {
        SelectComboItem(PortsListComboBox, key.ReadString(COMValueName));
    }
}

void TMainLintaroForm::SaveCOMPort() {
    TSettingsKey key;
    key.WriteString(COMValueName, PortsListComboBox->currentText());
}

void TMainLintaroForm::SelectComboItem(QComboBox* comboBox, const QString& text) {
    const QLocale locale;
    const QString wanted = locale.toUpper(text);
    for (int i = 0; i < comboBox->count(); ++i) {
        if (locale.toUpper(comboBox->itemText(i)) == wanted) {
            comboBox->setCurrentIndex(i);
            return;
        }
    }
}

}  // namespace lintaro
