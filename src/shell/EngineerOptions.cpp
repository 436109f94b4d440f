#include "shell/EngineerOptions.h"

#include <QAction>
#include <QCommandLineParser>
#include <QComboBox>
#include <QLabel>
#include <QToolButton>

#include "log/LOGUnit.h"
#include "shell/COMSettingsUnit.h"
#include "shell/Lintaro.h"
#include "shell/MainFormUnit.h"
#include "shell/TPCServerSettingsUnit.h"
#include "shell/URLLabel.h"

namespace lintaro {

namespace {

// The two rows the start-up layout takes away (type and phone), 27 pixels each.
constexpr int kRowHeight = 27;

void ShowOver(QWidget* dialog, QWidget* owner) {
    dialog->show();
    dialog->move(owner->frameGeometry().center() - dialog->rect().center());
    dialog->raise();
    dialog->activateWindow();
}

}  // namespace

ParsedCommandLine ParseCommandLine(const QStringList& arguments) {
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Мастер подключения: связывает прибор на COM-порту с его программой настройки.\n"
        "Без параметров окно открывается как обычно; параметры открывают то, что скрыто."));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Показать эту справку."));
    const QCommandLineOption log(QStringLiteral("log"),
                                 QStringLiteral("Открыть окно журнала обмена."));
    const QCommandLineOption modem(QStringLiteral("modem"),
                                   QStringLiteral("Показать выбор типа подключения (GSM-модем)."));
    const QCommandLineOption settings(
        QStringLiteral("settings"),
        QStringLiteral("Открыть настройки COM-порта и TCP-сервера из контекстного меню окна."));
    parser.addOptions({help, log, modem, settings});

    ParsedCommandLine result;
    if (!parser.parse(arguments)) {
        result.ExitCode = 2;
        result.Output = parser.errorText() + QLatin1Char('\n') + parser.helpText();
        return result;
    }
    if (parser.isSet(help)) {
        result.ExitCode = 0;
        result.Output = parser.helpText();
        return result;
    }
    if (!parser.positionalArguments().isEmpty()) {
        result.ExitCode = 2;
        result.Output = QStringLiteral("Лишние параметры: %1\n")
                            .arg(parser.positionalArguments().join(QLatin1Char(' '))) +
                        parser.helpText();
        return result;
    }
    result.Options.Log = parser.isSet(log);
    result.Options.Modem = parser.isSet(modem);
    result.Options.Settings = parser.isSet(settings);
    return result;
}

void ApplyEngineerOptions(const LintaroWindows& windows, const EngineerOptions& options) {
    TMainLintaroForm* form = windows.MainLintaroForm.get();
    if (options.Modem) form->ShowConnectionTypeRow();
    if (options.Settings) form->EnableSettingsMenu();
    if (options.Log) windows.LOGForm->show();
}

// The design's full layout: type row, port row, phone row (shown for the modem), link row.
void TMainLintaroForm::ShowConnectionTypeRow() {
    if (!ConnectTypeComboBox->isHidden()) return;
    setFixedSize(width(), height() + 2 * kRowHeight);
    for (QWidget* portRow : {static_cast<QWidget*>(Label4), static_cast<QWidget*>(PortsListComboBox),
                             static_cast<QWidget*>(SpeedButton1)}) {
        portRow->move(portRow->x(), portRow->y() + kRowHeight);
    }
    for (QWidget* linkRow : {static_cast<QWidget*>(URLLabel1), static_cast<QWidget*>(Label6),
                             static_cast<QWidget*>(Label7)}) {
        linkRow->move(linkRow->x(), linkRow->y() + 2 * kRowHeight);
    }
    Label3->show();
    ConnectTypeComboBox->show();
    ConnectTypeComboBoxChange(ConnectTypeComboBox);
}

void TMainLintaroForm::EnableSettingsMenu() {
    if (!actions().isEmpty()) return;
    setContextMenuPolicy(Qt::ActionsContextMenu);
    auto* com = new QAction(QStringLiteral("Настройки COM-порта…"), this);
    com->setObjectName(QStringLiteral("COMSettingsAction"));
    connect(com, &QAction::triggered, this, [this] {
        if (FCOMSettings != nullptr) ShowOver(FCOMSettings, this);
    });
    auto* tcp = new QAction(QStringLiteral("Настройки TCP-сервера…"), this);
    tcp->setObjectName(QStringLiteral("TCPServerSettingsAction"));
    connect(tcp, &QAction::triggered, this, [this] {
        if (FTCPServerSettings != nullptr) ShowOver(FTCPServerSettings, this);
    });
    addActions({com, tcp});
}

}  // namespace lintaro
