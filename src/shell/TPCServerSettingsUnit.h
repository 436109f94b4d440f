// "Настройки TCP сервера": the holder of the local TCP server's port. Created hidden;
// nothing in the program shows it, so the port stays 53462.
#pragma once

#include <QWidget>

class QLabel;
class QLineEdit;
class QPushButton;

namespace lintaro {

class TTCPServerSettingsForm : public QWidget {
    Q_OBJECT

public:
    explicit TTCPServerSettingsForm(QWidget* parent = nullptr);

    // Components; each carries its name as its object name.
    QLabel* Label1 = nullptr;
    QLineEdit* PortEdit = nullptr;
    QPushButton* OkButton = nullptr;

    // The port for a server start: the text of PortEdit as a decimal integer, 53462 when
    // it is not one or is below 1024. The number is written back into PortEdit. Larger
    // numbers are returned as they are; the caller uses their low 16 bits.
    int TakeServerPort();

    void OkButtonClick();

protected:
    // The close box hides the dialog; the value shown stays.
    void closeEvent(QCloseEvent* event) override;
};

}  // namespace lintaro
