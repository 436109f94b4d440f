// The port list of the connection window.
#include <QComboBox>
#include <vector>

#include "shell/ErrorReport.h"
#include "shell/MainFormUnit.h"
#include "shell/MessageBoxes.h"

namespace lintaro {

void TMainLintaroForm::FillPortsList() {
    std::vector<std::string> ports;
    GetCOMPortList(ports, COMPortPrefix);
    PortsListComboBox->clear();
    for (const std::string& port : ports) PortsListComboBox->addItem(QString::fromStdString(port));
    if (PortsListComboBox->count() > 0) {
        PortsListComboBox->setCurrentIndex(0);
    } else {
        ShowErrorMessage(this, QStringLiteral("Нет доступных COM портов."));
    }
}

}  // namespace lintaro
