#include "shell/COMSettingsUnit.h"

#include "serial/COMUtils.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QScreen>

#include "shell/Fonts.h"

namespace lintaro {
namespace {

}

TCOMSettingsForm::TCOMSettingsForm(QWidget* parent)
    : QWidget(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint) {
    setObjectName(QStringLiteral("COMSettingsForm"));
    setWindowTitle(QStringLiteral("Настройки COM-порта"));
    setFont(TahomaFont());
    setAttribute(Qt::WA_QuitOnClose, false);
    setFixedSize(250, 74);

    Label1 = new QLabel(QStringLiteral("Скорость:"), this);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->move(24, 16);
    Label1->adjustSize();

    SpeedComboBox = new QComboBox(this);
    SpeedComboBox->setObjectName(QStringLiteral("SpeedComboBox"));
    SpeedComboBox->setEditable(false);
    SpeedComboBox->addItems({"600", "1200", "2400", "4800", "9600", "14400", "19200", "28800",
                             "38400", "56000", "57600", "115200", "128000", "256000"});
    SpeedComboBox->setCurrentIndex(6);
    SpeedComboBox->setGeometry(82, 13, 71, 21);

    Label2 = new QLabel(QStringLiteral("бод"), this);
    Label2->setObjectName(QStringLiteral("Label2"));
    Label2->move(159, 16);
    Label2->adjustSize();

    OKButton = new QPushButton(QStringLiteral("Сохранить"), this);
    OKButton->setObjectName(QStringLiteral("OKButton"));
    OKButton->setGeometry(167, 40, 75, 25);

    setTabOrder(SpeedComboBox, OKButton);

    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        move(screen->availableGeometry().center() - rect().center());
    }

    connect(OKButton, &QPushButton::clicked, this, [this] { OKButtonClick(); });
}

int TCOMSettingsForm::ReadSpeed() const {
    bool ok = false;
    const int speed = SpeedComboBox->currentText().toInt(&ok, 10);
    return ok ? speed : DefaultCOMSpeed;
}

void TCOMSettingsForm::OKButtonClick() {
    hide();
}

void TCOMSettingsForm::closeEvent(QCloseEvent* event) {
    hide();
    event->ignore();
}

}  // namespace lintaro
