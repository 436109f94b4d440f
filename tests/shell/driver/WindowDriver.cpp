// The user's hand for the black-box tests of the real program. Qt loads it into the
// program as a generic plugin (QT_PLUGIN_PATH names the folder above "generic",
// QT_QPA_GENERIC_PLUGINS=lintarowindowdriver); the program itself has no test hook. It
// takes one action a line from the program's standard input, each once the main window is
// shown, in order:
//   port N   types N into the TCP server settings' port field
//   click    clicks the link of the main window
//   close    closes the main window as the window system does for its close box
//   modem P  chooses the modem connection and types the phone number P
//   ports    tells the port list: "ports <name>|<name>...", the closed box's text
//            ("portbox <text>") and the selected port's tooltip ("porttip <line>|<line>...")
//   watch    from now on tells each change of the status ("status <text> <#rrggbb>") and
//            each new line of the traffic log ("log <line>")
// Each window that appears is told on the standard output as a line "shown <title>", a
// message box also with its text as "box <text>".
#include <unistd.h>

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QListView>
#include <QMessageBox>
#include <cstdio>
#include <QCloseEvent>
#include <QGenericPlugin>
#include <QLineEdit>
#include <QMouseEvent>
#include <QSocketNotifier>
#include <QTimer>
#include <QWindow>

namespace {

QWidget* TopLevel(const QString& name) {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (widget->objectName() == name) return widget;
    }
    return nullptr;
}

class WindowDriver : public QObject {
public:
    WindowDriver() : FInput(STDIN_FILENO, QSocketNotifier::Read) {
        connect(&FInput, &QSocketNotifier::activated, this, [this] { Read(); });
        FRetry.setInterval(20);
        FRetry.setSingleShot(true);
        connect(&FRetry, &QTimer::timeout, this, [this] { Perform(); });
        FWatch.setInterval(20);
        connect(&FWatch, &QTimer::timeout, this, [this] { Watch(); });
        QCoreApplication::instance()->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Show && watched->isWidgetType() &&
            static_cast<QWidget*>(watched)->isWindow()) {
            const QByteArray title = static_cast<QWidget*>(watched)->windowTitle().toUtf8();
            std::printf("shown %s\n", title.constData());
            if (auto* box = qobject_cast<QMessageBox*>(watched)) {
                std::printf("box %s\n", box->text().simplified().toUtf8().constData());
            }
            std::fflush(stdout);
        }
        return false;
    }

private:
    void Read() {
        char bytes[256];
        const ssize_t n = ::read(STDIN_FILENO, bytes, sizeof bytes);
        if (n <= 0) {
            FInput.setEnabled(false);
            return;
        }
        FPending.append(bytes, n);
        Perform();
    }

    void Perform() {
        QWidget* form = TopLevel(QStringLiteral("MainLintaroForm"));
        if (form == nullptr || !form->isVisible()) {
            FRetry.start();
            return;
        }
        qsizetype end = 0;
        while ((end = FPending.indexOf('\n')) >= 0) {
            const QByteArray line = FPending.left(end).trimmed();
            FPending.remove(0, end + 1);
            Act(form, line);
        }
    }

    // Label texts are set without an event: the watch looks at them every 20 ms.
    void Watch() {
        QWidget* form = TopLevel(QStringLiteral("MainLintaroForm"));
        if (auto* label = form ? form->findChild<QLabel*>(QStringLiteral("Label7")) : nullptr) {
            const QString status = label->text() + QLatin1Char(' ') +
                                   label->palette().color(QPalette::WindowText).name();
            if (status != FStatus) {
                FStatus = status;
                std::printf("status %s\n", status.toUtf8().constData());
            }
        }
        QWidget* logForm = TopLevel(QStringLiteral("LOGForm"));
        auto* log = logForm ? logForm->findChild<QListView*>(QStringLiteral("Log")) : nullptr;
        if (QAbstractItemModel* rows = log ? log->model() : nullptr) {
            for (; FLogLines < rows->rowCount(); ++FLogLines) {
                std::printf("log %s\n",
                            rows->index(FLogLines, 0).data().toString().toUtf8().constData());
            }
        }
        std::fflush(stdout);
    }

    // Events are posted, not sent: the action runs from the program's own event loop, as
    // a user's would, and never inside this reader.
    void Act(QWidget* form, const QByteArray& line) {
        if (line == "watch") {
            FWatch.start();
        } else if (line == "ports") {
            QStringList names;
            QString shown, tip;  // the closed box's text, the selected port's tooltip
            if (auto* list = form->findChild<QComboBox*>(QStringLiteral("PortsListComboBox"))) {
                for (int i = 0; i < list->count(); ++i) names << list->itemText(i);
                shown = list->property("displayedText").toString();
                tip = list->currentData(Qt::ToolTipRole).toString().replace(QLatin1Char('\n'), QLatin1Char('|'));
            }
            std::printf("ports %s\n", names.join(QLatin1Char('|')).toUtf8().constData());
            std::printf("portbox %s\n", shown.toUtf8().constData());
            std::printf("porttip %s\n", tip.toUtf8().constData());
            std::fflush(stdout);
        } else if (line.startsWith("modem ")) {
            auto* type = form->findChild<QComboBox*>(QStringLiteral("ConnectTypeComboBox"));
            auto* phone = form->findChild<QComboBox*>(QStringLiteral("PhoneNumber"));
            if (type == nullptr || phone == nullptr) return;
            type->setCurrentIndex(0);
            emit type->activated(0);
            phone->setEditText(QString::fromLatin1(line.mid(6)));
        } else if (line.startsWith("port ")) {
            if (QWidget* dialog = TopLevel(QStringLiteral("TCPServerSettingsForm"))) {
                if (auto* edit = dialog->findChild<QLineEdit*>(QStringLiteral("PortEdit"))) {
                    edit->setText(QString::fromLatin1(line.mid(5)));
                }
            }
        } else if (line == "click") {
            auto* link = form->findChild<QWidget*>(QStringLiteral("URLLabel1"));
            if (link == nullptr) return;
            const QPointF at = QRectF(link->rect()).center();
            const QPointF global = link->mapToGlobal(at);
            QCoreApplication::postEvent(link, new QMouseEvent(QEvent::MouseButtonPress, at, global,
                                                              Qt::LeftButton, Qt::LeftButton,
                                                              Qt::NoModifier));
            QCoreApplication::postEvent(link, new QMouseEvent(QEvent::MouseButtonRelease, at, global,
                                                              Qt::LeftButton, Qt::NoButton,
                                                              Qt::NoModifier));
        } else if (line == "close") {
            // The platform delivers the close box to the window's QWindow, which hands it
            // to the widget's close handling (and ends the loop after the last window).
            if (QWindow* window = form->windowHandle()) {
                QCoreApplication::postEvent(window, new QCloseEvent);
            }
        }
    }

    QSocketNotifier FInput;
    QTimer FRetry;
    QTimer FWatch;
    QByteArray FPending;
    QString FStatus;
    int FLogLines = 0;
};

class WindowDriverPlugin : public QGenericPlugin {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QGenericPluginFactoryInterface_iid FILE "window_driver.json")

public:
    QObject* create(const QString& key, const QString&) override {
        return key.compare(QLatin1String("lintarowindowdriver"), Qt::CaseInsensitive) == 0
                   ? new WindowDriver
                   : nullptr;
    }
};

}  // namespace

#include "WindowDriver.moc"
