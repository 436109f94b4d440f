#include "shell/MainFormUnit.h"

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QScreen>
#include <QTimer>
#include <QToolButton>

#include "log/LOGUnit.h"
#include "shell/ErrorReport.h"
#include "shell/FileVersion.h"
#include "shell/Fonts.h"
#include "shell/InputDeafness.h"
#include "shell/PortComboBox.h"
#include "shell/StopSignals.h"
#include "shell/URLLabel.h"

namespace lintaro {

namespace {

constexpr int kDesignClientWidth = 351;
constexpr int kDesignClientHeight = 116;

// Two blue arrows turning in a circle, on a transparent ground.
QIcon RefreshIcon() {
    QPixmap pixmap(16, 16);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    const QColor blue(0, 70, 200);
    p.setPen(QPen(blue, 1.6, Qt::SolidLine, Qt::FlatCap));
    const QRectF circle(3, 3, 10, 10);
    p.drawArc(circle, 30 * 16, 150 * 16);
    p.drawArc(circle, 210 * 16, 150 * 16);
    p.setPen(Qt::NoPen);
    p.setBrush(blue);
    QPainterPath head1;  // at the end of the upper arc, pointing down-left
    head1.moveTo(0.5, 6.5);
    head1.lineTo(5.5, 6.5);
    head1.lineTo(3.0, 9.5);
    head1.closeSubpath();
    QPainterPath head2;  // at the end of the lower arc, pointing up-right
    head2.moveTo(15.5, 9.5);
    head2.lineTo(10.5, 9.5);
    head2.lineTo(13.0, 6.5);
    head2.closeSubpath();
    p.drawPath(head1);
    p.drawPath(head2);
    return QIcon(pixmap);
}

QLabel* MakeLabel(QWidget* parent, const char* name, const QString& text, QRect geometry) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(QLatin1String(name));
    label->setGeometry(geometry);
    return label;
}

}  // namespace

TMainLintaroForm::TMainLintaroForm(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("MainLintaroForm"));
    setWindowTitle(QStringLiteral("Мастер подключения"));
    setWindowFlags(Qt::Window | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint |
                   Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setFont(TahomaFont());
    // The button-face background, painted as the window's own role: with the Button role
    // the children would draw their text in the button-text colour, not their own.
    QPalette face = palette();
    face.setColor(QPalette::Window, face.color(QPalette::Button));
    setPalette(face);
    setAutoFillBackground(true);
    setFixedSize(kDesignClientWidth, kDesignClientHeight);
    CreateComponents();
    FormCreate();
}

TMainLintaroForm::~TMainLintaroForm() {
    // The session goes first, with its dialling thread and port, while the window it
    // reports to is still whole; what it says on the way out is not rendered.
    FDeafness.reset();
    FSession->disconnect(this);
    delete FSession;
    FSession = nullptr;
}

void TMainLintaroForm::SetCompanions(TCOMSettingsForm* comSettings,
                                     TTCPServerSettingsForm* tcpSettings, TLOGForm* log) {
    FCOMSettings = comSettings;
    FTCPServerSettings = tcpSettings;
    FLOGForm = log;
    if (log != nullptr) log->installEventFilter(this);
    FSession->SetDataLogWanted(LogShown());
}

// The log window shown or hidden: the relay keeps relayed data for it only while shown.
bool TMainLintaroForm::eventFilter(QObject* watched, QEvent* event) {
    if (watched == FLOGForm && FSession != nullptr &&
        (event->type() == QEvent::Show || event->type() == QEvent::Hide)) {
        FSession->SetDataLogWanted(LogShown());
    }
    return QWidget::eventFilter(watched, event);
}

void TMainLintaroForm::CreateComponents() {
    FSession = new ConnectionSession(this);
    FSession->setObjectName(QStringLiteral("Session"));
    ConnectSession();

    Timer = new QTimer(this);
    Timer->setObjectName(QStringLiteral("Timer"));
    Timer->setInterval(500);

    Label3 = MakeLabel(this, "Label3", QStringLiteral("Тип подключения:"), {16, 11, 95, 13});
    Label4 = MakeLabel(this, "Label4", QStringLiteral("COM-порт:"), {16, 38, 55, 13});
    Label5 = MakeLabel(this, "Label5", QStringLiteral("Номер телефона:"), {16, 65, 88, 13});

    ConnectTypeComboBox = new QComboBox(this);
    ConnectTypeComboBox->setObjectName(QStringLiteral("ConnectTypeComboBox"));
    ConnectTypeComboBox->addItems(
        {QStringLiteral("CSD (GSM-модем)"), QStringLiteral("USB/COM (кабель)")});
    ConnectTypeComboBox->setCurrentIndex(-1);
    ConnectTypeComboBox->setGeometry(128, 8, 215, 21);
    connect(ConnectTypeComboBox, &QComboBox::activated, this,
            [this] { RunHandler([this] { ConnectTypeComboBoxChange(ConnectTypeComboBox); }); });

    PortsListComboBox = new TPortComboBox(this);
    PortsListComboBox->setObjectName(QStringLiteral("PortsListComboBox"));
    PortsListComboBox->setGeometry(128, 35, 185, 21);

    URLLabel1 = new TURLLabel(this);
    URLLabel1->setObjectName(QStringLiteral("URLLabel1"));
    URLLabel1->setText(QStringLiteral("Подключить"));
    URLLabel1->setGeometry(16, 89, 65, 13);
    connect(URLLabel1, &TURLLabel::Click, this, [this] { RunHandler([this] { URLLabel1Click(); }); });

    Label6 = MakeLabel(this, "Label6", QStringLiteral("Статус:"), {144, 89, 40, 13});
    Label7 = MakeLabel(this, "Label7", QStringLiteral("Нет подключения"), {190, 89, 92, 13});

    ErrTimer = new QTimer(this);
    ErrTimer->setObjectName(QStringLiteral("ErrTimer"));
    ErrTimer->setInterval(5000);

    SpeedButton1 = new QToolButton(this);
    SpeedButton1->setObjectName(QStringLiteral("SpeedButton1"));
    SpeedButton1->setAutoRaise(true);
    SpeedButton1->setIcon(RefreshIcon());
    SpeedButton1->setIconSize(QSize(16, 16));
    SpeedButton1->setFocusPolicy(Qt::NoFocus);
    SpeedButton1->setGeometry(320, 35, 23, 22);
    connect(SpeedButton1, &QToolButton::clicked, this, [this] { RunHandler([this] { SpeedButton1Click(); }); });

    PhoneNumber = new QComboBox(this);
    PhoneNumber->setObjectName(QStringLiteral("PhoneNumber"));
    PhoneNumber->setEditable(true);
    PhoneNumber->setInsertPolicy(QComboBox::NoInsert);
    PhoneNumber->setGeometry(128, 62, 215, 21);

    // The labels and the link take no keyboard focus, as plain labels.
    setTabOrder(ConnectTypeComboBox, PortsListComboBox);
    setTabOrder(PortsListComboBox, PhoneNumber);
}

void TMainLintaroForm::FormCreate() {
    Label3->hide();
    Label5->hide();
    PhoneNumber->hide();
    ConnectTypeComboBox->hide();
    ConnectTypeComboBox->setCurrentIndex(1);

    // The port row moves down to the phone row, then the window loses the two hidden
    // rows; the bottom-anchored controls ride up with the bottom edge.
    Label4->move(Label4->x(), Label4->y() + 27);
    PortsListComboBox->move(PortsListComboBox->x(), Label4->y());
    SpeedButton1->move(SpeedButton1->x(), Label4->y());
    setFixedSize(width(), height() - 54);
    for (QWidget* anchored : {static_cast<QWidget*>(Label4), static_cast<QWidget*>(PortsListComboBox),
                              static_cast<QWidget*>(SpeedButton1), static_cast<QWidget*>(URLLabel1),
                              static_cast<QWidget*>(Label6), static_cast<QWidget*>(Label7)}) {
        anchored->move(anchored->x(), anchored->y() - 54);
    }

    setWindowTitle(windowTitle() + QStringLiteral(" v.") +
                   GetFileVersionStr(QCoreApplication::applicationFilePath()));

    // Centred before the start-up steps, so a box they show stands over the window.
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        move(area.center() - rect().center());
    }

    // Each step reports its own error, and the steps after it still run.
    RunHandler([this] { LoadPhoneHistory(); });
    RunHandler([this] { FillPortsList(); });
    RunHandler([this] { LoadCOMPort(); });
    RunHandler([this] { ConnectTypeComboBoxChange(ConnectTypeComboBox); });

    AutoSizeLabels();
}

void TMainLintaroForm::ConnectTypeComboBoxChange(QComboBox* sender) {
    switch (sender->currentIndex()) {
        case 0:
            Label4->setText(QStringLiteral("COM-порт:"));
            Label5->show();
            PhoneNumber->show();
            break;
        case 1:
            Label4->setText(QStringLiteral("COM-порт:"));
            Label5->hide();
            PhoneNumber->hide();
            break;
        default:
            break;
    }
}

void TMainLintaroForm::SpeedButton1Click() { FillPortsList(); }

QColor TMainLintaroForm::ButtonTextColor() {
    return QApplication::palette().color(QPalette::ButtonText);
}

QColor TMainLintaroForm::RedColor() { return QColor(255, 0, 0); }

void TMainLintaroForm::SetStatus(const QString& text, const QColor& colour) {
    Label7->setText(text);
    QPalette p = Label7->palette();
    p.setColor(QPalette::WindowText, colour);
    Label7->setPalette(p);
    AutoSizeLabels();
}

// The labels take the width of their text (the link too, so that only its text is
// clickable); the design widths were measured in Tahoma and would clip other fonts.
void TMainLintaroForm::AutoSizeLabels() {
    for (QLabel* label : findChildren<QLabel*>(Qt::FindDirectChildrenOnly)) {
        const int width = label->sizeHint().width();
        if (label->width() != width) label->resize(width, label->height());
    }
}

bool TMainLintaroForm::event(QEvent* event) {
    // A child's text changed while the window is shown.
    if (event->type() == QEvent::LayoutRequest) AutoSizeLabels();
    return QWidget::event(event);
}

void TMainLintaroForm::closeEvent(QCloseEvent* event) {
    // The window closes even when a close step fails; the failure is reported.
    try {
        FormClose();
    } catch (const std::exception& error) {
        // Closed by a stop request, the report goes to the log and standard error only.
        if (StopRequested()) WriteLog(ErrorText(error), QString());
        ShowErrorReport(error);
    }
    // A modem call is hung up before the program ends: that takes the modem seconds, during
    // which the window stays, responsive but idle, and then closes by itself.
    if (FSession->HangingUp()) {
        event->ignore();
        URLLabel1->setEnabled(false);
        EnableSettingsControls(false);
        if (!FCloseAfterHangUp) {
            FCloseAfterHangUp = true;
            connect(FSession, &ConnectionSession::HangUpFinished, this, &QWidget::close,
                    static_cast<Qt::ConnectionType>(Qt::QueuedConnection | Qt::SingleShotConnection));
        }
        return;
    }
    event->accept();
}

void TMainLintaroForm::FormClose() {
    // The relay ends, a dialling thread is stopped, the configuration program is stopped.
    FSession->Close();
    SaveCOMPort();
}

void TMainLintaroForm::keyPressEvent(QKeyEvent* event) {
    FormKeyDown(event);
    QWidget::keyPressEvent(event);
}

void TMainLintaroForm::FormKeyDown(QKeyEvent*) {}

}  // namespace lintaro
