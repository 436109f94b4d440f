// The port list of the connection window.
#include <QComboBox>
#include <vector>

#include "bridge/BoxText.h"
#include "serial/COMUtils.h"
#include "shell/ErrorReport.h"
#include "shell/MainFormUnit.h"
#include "shell/MessageBoxes.h"
#include "shell/PortComboBox.h"

namespace lintaro {

namespace {

// The whole name and what the system knows of the adapter behind it.
QString PortToolTip(const std::string& port) {
    const COMPortDescription description = DescribeCOMPort(port);
    QStringList lines{QString::fromStdString(port)};
    const auto add = [&lines](const char* label, const std::string& value) {
        if (!value.empty()) lines << QString::fromUtf8(label) + QString::fromStdString(value);
    };
    add("", description.friendlyName);
    add("Изготовитель: ", description.manufacturer);
    add("Модель: ", description.product);
    add("Серийный номер: ", description.serial);
    return lines.join(QLatin1Char('\n'));
}

// The adapter in one short line for the closed box: maker, model (a model that starts
// with the maker's name says it once) and serial number; else the system's name for it.
QString AdapterLine(const std::string& port) {
    const COMPortDescription description = DescribeCOMPort(port);
    const QString maker = QString::fromStdString(description.manufacturer);
    const QString model = QString::fromStdString(description.product);
    QString line = maker.isEmpty() || model.startsWith(maker, Qt::CaseInsensitive)
                       ? model
                       : (model.isEmpty() ? maker : maker + QLatin1Char(' ') + model);
    if (!description.serial.empty()) {
        if (!line.isEmpty()) line += QStringLiteral(", ");
        line += QStringLiteral("№ ") + QString::fromStdString(description.serial);
    }
    return line.isEmpty() ? QString::fromStdString(description.friendlyName) : line;
}

}  // namespace

void TMainLintaroForm::FillPortsList() {
    std::vector<std::string> ports;
    GetCOMPortList(ports, COMPortPrefix);
    PortsListComboBox->clear();
    for (const std::string& port : ports) {
        PortsListComboBox->addItem(QString::fromStdString(port));
        PortsListComboBox->setItemData(PortsListComboBox->count() - 1, PortToolTip(port),
                                       Qt::ToolTipRole);
        PortsListComboBox->setItemData(PortsListComboBox->count() - 1, AdapterLine(port),
                                       TPortComboBox::AdapterRole);
    }
    if (PortsListComboBox->count() > 0) {
        PortsListComboBox->setCurrentIndex(0);
    } else {
        ShowNoPortsMessage();
    }
}

// Where the program looked and what to try, beneath the box's text.
void TMainLintaroForm::ShowNoPortsMessage() {
    QStringList places;
    for (const std::string& place : COMPortListPlaces()) places << QString::fromStdString(place);
    const QString looked =
        places.isEmpty()
            ? QStringLiteral("Просмотрены COM-порты, известные Windows.")
            : QStringLiteral("Просмотрены порты в %1.").arg(places.join(QStringLiteral(", ")));
    const QString advice =
        places.isEmpty() ? QStringLiteral(
                               "Подключите кабель или USB-адаптер и нажмите кнопку обновления "
                               "списка. Если порт не появился, проверьте в диспетчере устройств, "
                               "установлен ли драйвер адаптера.")
                         : QStringLiteral(
                               "Подключите кабель или USB-адаптер и нажмите кнопку обновления "
                               "списка. Если порт не появился, проверьте командой dmesg, что "
                               "система узнала адаптер (/dev/ttyUSB… или /dev/ttyACM…).");
    ShowErrorMessage(this, WithDetail(QStringLiteral("Нет доступных COM портов."),
                                      looked + QLatin1Char('\n') + advice));
}

}  // namespace lintaro
