// The settings store methods of the main window: the port used last and the phone
// history. Each opens, uses and releases its own accessor; errors are not caught here and
// reach the application's error report.
#include <QComboBox>
#include <QLocale>
#include <QTimer>
#include <algorithm>
#include <string>
#include <vector>

#include "serial/PortIdentity.h"
#include "shell/ErrorReport.h"
#include "shell/MainFormUnit.h"
#include "shell/SettingsStore.h"

namespace lintaro {
namespace {
const QString COMValueName = QStringLiteral("COM");
// The identity of the port named by "COM" (serial/PortIdentity.h); settings of older
// versions have none.
const QString COMIdValueName = QStringLiteral("COMId");
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
    if (!key.ValueExists(COMValueName)) return;
    const QString stored = key.ReadString(COMValueName);
    SelectComboItem(PortsListComboBox, stored);
    if (!key.ValueExists(COMIdValueName)) return;

    // The user's adapter under whatever name it has now: its old name may be gone, or
    // taken by another adapter.
    const QString identity = key.ReadString(COMIdValueName);
    std::vector<std::string> names;
    for (int i = 0; i < PortsListComboBox->count(); ++i) {
        names.push_back(PortsListComboBox->itemText(i).toStdString());
    }
    const AdapterWhereabouts found = FindAdapter(identity.toStdString(), names);
    const QString name = QString::fromStdString(found.name);
    if (name.isEmpty() || name == PortsListComboBox->currentText()) return;
    PortsListComboBox->setCurrentIndex(PortsListComboBox->findText(name));
    // Logged once the window runs: at start-up the log window does not exist yet.
    const QString text =
        QString::fromStdString(AdapterFoundText(stored.toStdString(), identity.toStdString(), found));
    QTimer::singleShot(0, this, [this, text] { WriteLog(text, QString()); });
}

void TMainLintaroForm::SaveCOMPort() {
    TSettingsKey key;
    const QString port = PortsListComboBox->currentText();
    key.WriteString(COMValueName, port);
    // The identity taken while the port was open wins: the adapter may be unplugged by
    // now, or another one may have taken its name.
    QString identity = port == FOpenedPort ? FOpenedPortId : QString();
    if (identity.isEmpty()) identity = QString::fromStdString(COMPortIdentity(port.toStdString()));
    key.WriteString(COMIdValueName, identity);
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
