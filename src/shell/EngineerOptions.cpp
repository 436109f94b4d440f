#include "shell/EngineerOptions.h"

#include <QAction>
#include <QComboBox>
#include <QFileInfo>
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

struct QtOption {
    bool takesValue;
    bool display;  // names where the window goes
};

// The options QGuiApplication and QApplication take from the command line (with one or two
// dashes, a value after a blank or "=").
std::optional<QtOption> FindQtOption(QString argument) {
    if (argument.startsWith(QLatin1String("--"))) argument.remove(0, 1);
    if (!argument.startsWith(QLatin1Char('-'))) return std::nullopt;
    const QString name = argument.mid(1).section(QLatin1Char('='), 0, 0);
    static const QStringList withValue = {QStringLiteral("platformpluginpath"),
                                          QStringLiteral("platformtheme"),
                                          QStringLiteral("plugin"),
                                          QStringLiteral("qwindowgeometry"),
                                          QStringLiteral("qwindowicon"),
                                          QStringLiteral("qwindowtitle"),
                                          QStringLiteral("session"),
                                          QStringLiteral("geometry"),
                                          QStringLiteral("style"),
                                          QStringLiteral("stylesheet"),
                                          QStringLiteral("name"),
                                          QStringLiteral("title"),
                                          QStringLiteral("icon"),
                                          QStringLiteral("fontengine")};
    static const QStringList flags = {QStringLiteral("reverse"), QStringLiteral("widgetcount"),
                                      QStringLiteral("nograb"),  QStringLiteral("dograb"),
                                      QStringLiteral("sync"),    QStringLiteral("qmljsdebugger")};
    if (name == QLatin1String("platform") || name == QLatin1String("display"))
        return QtOption{true, true};
    if (withValue.contains(name)) return QtOption{true, false};
    if (flags.contains(name)) return QtOption{false, false};
    return std::nullopt;
}

QString VersionText() {
    return QStringLiteral("Lintaro (Мастер подключения), версия %1\n")
        .arg(QStringLiteral(LINTARO_FILE_VERSION));
}

QString HelpText(const QString& program) {
    return QStringLiteral(
               "Lintaro — мастер подключения: связывает прибор на COM-порту с его программой "
               "настройки.\n"
               "\n"
               "Запуск: %1 [параметры]\n"
               "\n"
               "Без параметров окно открывается как обычно; параметры открывают то, что скрыто.\n"
               "\n"
               "Параметры:\n"
               "  -h, --help     показать эту справку\n"
               "  -v, --version  показать версию программы\n"
               "  --log          открыть окно журнала обмена\n"
               "  --modem        показать выбор типа подключения (GSM-модем)\n"
               "  --settings     открыть настройки COM-порта и TCP-сервера из контекстного меню "
               "окна\n"
               "\n"
               "Параметры Qt (-style, -platform и другие) передаются Qt; прочие параметры "
               "пропускаются.\n")
        .arg(program);
}

}  // namespace

ParsedCommandLine ParseCommandLine(const QStringList& arguments) {
    ParsedCommandLine result;
    const QString program =
        arguments.isEmpty() ? QString() : QFileInfo(arguments.first()).fileName();
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString& argument = arguments[i];
        if (argument == QLatin1String("--help") || argument == QLatin1String("-h")) {
            result.ExitCode = 0;
            result.Output = HelpText(program.isEmpty() ? QStringLiteral("lintaro") : program);
            return result;
        }
        if (argument == QLatin1String("--version") || argument == QLatin1String("-v")) {
            result.ExitCode = 0;
            result.Output = VersionText();
            return result;
        }
        if (argument == QLatin1String("--log")) {
            result.Options.Log = true;
        } else if (argument == QLatin1String("--modem")) {
            result.Options.Modem = true;
        } else if (argument == QLatin1String("--settings")) {
            result.Options.Settings = true;
        } else if (const std::optional<QtOption> qt = FindQtOption(argument)) {
            if (qt->display) result.DisplayGiven = true;
            // "-style fusion": the value is Qt's too ("-style=fusion" carries its own).
            if (qt->takesValue && !argument.contains(QLatin1Char('=')) && i + 1 < arguments.size())
                ++i;
        } else {
            result.Ignored << argument;
        }
    }
    return result;
}

QString IgnoredArgumentsLine(const ParsedCommandLine& commandLine) {
    if (commandLine.Ignored.isEmpty()) return {};
    return QStringLiteral("Lintaro: неизвестные параметры пропущены: %1 (справка: --help)\n")
        .arg(commandLine.Ignored.join(QLatin1Char(' ')));
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
