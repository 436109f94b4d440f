#include "shell/TPCServerSettingsUnit.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>

#include "bridge/ConnectionState.h"
#include "shell/Fonts.h"

namespace lintaro {
namespace {
constexpr int LowestServerPort = 1024;  // below it the ports are the system's
constexpr int HighestServerPort = 65535;
}  // namespace

TTCPServerSettingsForm::TTCPServerSettingsForm(QWidget* parent)
    : QWidget(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint) {
    setObjectName(QStringLiteral("TCPServerSettingsForm"));
    setWindowTitle(QStringLiteral("Настройки TCP сервера"));
    setFont(TahomaFont());
    setAttribute(Qt::WA_QuitOnClose, false);
    setFixedSize(219, 82);

    Label1 = new QLabel(QStringLiteral("Порт:"), this);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->move(24, 24);
    Label1->adjustSize();

    // Free text: no length limit, no digit filter.
    PortEdit = new QLineEdit(QString::number(DefaultServerPort), this);
    PortEdit->setObjectName(QStringLiteral("PortEdit"));
    PortEdit->setGeometry(59, 21, 62, 21);

    OkButton = new QPushButton(QStringLiteral("Сохранить"), this);
    OkButton->setObjectName(QStringLiteral("OkButton"));
    OkButton->setGeometry(136, 49, 75, 25);

    setTabOrder(PortEdit, OkButton);

    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        move(screen->availableGeometry().center() - rect().center());
    }

    connect(OkButton, &QPushButton::clicked, this, [this] { OkButtonClick(); });
}

int TTCPServerSettingsForm::TakeServerPort() {
    bool ok = false;
    int port = PortEdit->text().toInt(&ok, 10);
    // A number past the last port would wrap to another port without notice.
    if (!ok || port < LowestServerPort || port > HighestServerPort) port = DefaultServerPort;
    PortEdit->setText(QString::number(port));
    return port;
}

void TTCPServerSettingsForm::OkButtonClick() {
    hide();
}

void TTCPServerSettingsForm::closeEvent(QCloseEvent* event) {
    hide();
    event->ignore();
}

}  // namespace lintaro
