// "Настройки COM-порта": the holder of the speed at which the program opens a COM port
// itself. Created hidden; nothing in the program shows it, so the speed stays 19200.
#pragma once

#include <QWidget>

class QComboBox;
class QLabel;
class QPushButton;

namespace lintaro {

class TCOMSettingsForm : public QWidget {
    Q_OBJECT

public:
    explicit TCOMSettingsForm(QWidget* parent = nullptr);

    // Components; each carries its name as its object name.
    QLabel* Label1 = nullptr;
    QComboBox* SpeedComboBox = nullptr;
    QLabel* Label2 = nullptr;
    QPushButton* OKButton = nullptr;

    // The chosen speed, read afresh at every opening of the port: the text of
    // SpeedComboBox as a decimal integer, 19200 when it is not one.
    int ReadSpeed() const;

    void OKButtonClick();

protected:
    // The close box hides the dialog; the value shown stays.
    void closeEvent(QCloseEvent* event) override;
};

}  // namespace lintaro
