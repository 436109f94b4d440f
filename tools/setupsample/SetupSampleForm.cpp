#include "SetupSampleForm.h"

#include <QCheckBox>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QHostAddress>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

// The wizard's server port; a configuration program is not told it.
constexpr quint16 kDefaultPort = 53462;
constexpr int kRetryMs = 500;

quint16 PortFromEnvironment() {
    bool ok = false;
    const int port = qEnvironmentVariableIntValue("LINTARO_SAMPLE_PORT", &ok);
    return ok && port > 0 && port < 65536 ? static_cast<quint16>(port) : kDefaultPort;
}

// Devices talk in the 8-bit code page of the wizard; Latin-1 where Windows-1251 is unknown.
const char* CodePageName() {
    static const char* const name =
        QStringDecoder("windows-1251").isValid() ? "windows-1251" : "ISO-8859-1";
    return name;
}

QStringList ReadScript() {
    const QString path = qEnvironmentVariable("LINTARO_SAMPLE_SCRIPT");
    QFile file(path);
    if (path.isEmpty() || !file.open(QIODevice::ReadOnly | QIODevice::Text)) return {};
    return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

}  // namespace

TSetupSampleForm::TSetupSampleForm(QWidget* parent)
    : QWidget(parent),
      FPort(PortFromEnvironment()),
      FEncoder(CodePageName()),
      FScript(ReadScript()) {
    setWindowTitle(QStringLiteral("Lintaro — пример программы настройки"));
    resize(480, 320);

    StatusLabel = new QLabel(this);
    DataView = new QPlainTextEdit(this);
    DataView->setReadOnly(true);
    DataView->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    HexCheckBox = new QCheckBox(QStringLiteral("HEX"), this);
    LineEdit = new QLineEdit(this);
    SendButton = new QPushButton(QStringLiteral("Отправить"), this);
    SendButton->setEnabled(false);

    auto* top = new QHBoxLayout;
    top->addWidget(StatusLabel, 1);
    top->addWidget(HexCheckBox);
    auto* bottom = new QHBoxLayout;
    bottom->addWidget(LineEdit, 1);
    bottom->addWidget(SendButton);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(DataView, 1);
    layout->addLayout(bottom);

    connect(HexCheckBox, &QCheckBox::toggled, this, [this] { ShowReceived(); });
    connect(SendButton, &QPushButton::clicked, this, [this] { SendClick(); });
    connect(LineEdit, &QLineEdit::returnPressed, this, [this] { SendClick(); });

    FRetryTimer.setSingleShot(true);
    FRetryTimer.setInterval(kRetryMs);
    connect(&FRetryTimer, &QTimer::timeout, this, [this] { Connect(); });
    connect(&FSocket, &QTcpSocket::connected, this, [this] { Connected(); });
    connect(&FSocket, &QTcpSocket::readyRead, this, [this] { Received(); });
    // A refused connection (the server not listening yet) and a dropped one alike: try
    // again until the wizard's server takes the connection.
    connect(&FSocket, &QTcpSocket::disconnected, this, [this] { ConnectLater(); });
    connect(&FSocket, &QTcpSocket::errorOccurred, this, [this] { ConnectLater(); });

    const QString outputPath = qEnvironmentVariable("LINTARO_SAMPLE_OUTPUT");
    if (!outputPath.isEmpty()) {
        FOutput.setFileName(outputPath);
        FOutput.open(QIODevice::WriteOnly | QIODevice::Append);
    }
    Connect();
}

void TSetupSampleForm::Connect() {
    StatusLabel->setText(QStringLiteral("Ожидание сервера 127.0.0.1:%1…").arg(FPort));
    FSocket.abort();
    FSocket.connectToHost(QHostAddress(QHostAddress::LocalHost), FPort);
}

void TSetupSampleForm::ConnectLater() {
    SendButton->setEnabled(false);
    if (!FRetryTimer.isActive()) FRetryTimer.start();
}

void TSetupSampleForm::Connected() {
    StatusLabel->setText(QStringLiteral("Подключено к 127.0.0.1:%1").arg(FPort));
    SendButton->setEnabled(true);
    for (const QString& line : FScript) SendLine(line);
}

void TSetupSampleForm::Received() {
    const QByteArray bytes = FSocket.readAll();
    if (FOutput.isOpen()) {
        FOutput.write(bytes);
        FOutput.flush();
    }
    FReceived += bytes;
    ShowReceived();
}

void TSetupSampleForm::ShowReceived() {
    const QString text = HexCheckBox->isChecked()
                             ? QString::fromLatin1(FReceived.toHex(' ').toUpper())
                             : QStringDecoder(CodePageName()).decode(FReceived);
    DataView->setPlainText(text);
    DataView->moveCursor(QTextCursor::End);
}

void TSetupSampleForm::SendLine(const QString& line) {
    QByteArray bytes = FEncoder.encode(line);
    bytes += "\r\n";
    FSocket.write(bytes);
}

void TSetupSampleForm::SendClick() {
    if (FSocket.state() != QAbstractSocket::ConnectedState) return;
    SendLine(LineEdit->text());
    LineEdit->clear();
}
