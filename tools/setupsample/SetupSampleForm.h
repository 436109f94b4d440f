// The sample configuration program's window: it connects to the wizard's local TCP
// server, shows what the device sends and sends lines typed by the user.
#pragma once

#include <QByteArray>
#include <QFile>
#include <QStringConverter>
#include <QTcpSocket>
#include <QTimer>
#include <QWidget>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

class TSetupSampleForm : public QWidget {
    Q_OBJECT

public:
    explicit TSetupSampleForm(QWidget* parent = nullptr);

private:
    void Connect();
    void ConnectLater();
    void Connected();
    void Received();
    void SendLine(const QString& line);
    void SendClick();
    void ShowReceived();

    QLabel* StatusLabel = nullptr;
    QPlainTextEdit* DataView = nullptr;
    QCheckBox* HexCheckBox = nullptr;
    QLineEdit* LineEdit = nullptr;
    QPushButton* SendButton = nullptr;

    quint16 FPort = 0;
    QTcpSocket FSocket;
    QTimer FRetryTimer;
    QByteArray FReceived;
    QStringEncoder FEncoder;

    // Test and demonstration hook (environment, since the program gets no arguments):
    // LINTARO_SAMPLE_PORT replaces the server port (tests use a free one),
    // LINTARO_SAMPLE_SCRIPT names a file whose lines are sent on every connection, and
    // LINTARO_SAMPLE_OUTPUT a file to which every received byte is appended.
    QStringList FScript;
    QFile FOutput;
};
