// The log window "Данные": the traffic log's lines in a list, with clearing, saving and
// the automatic-scroll switch. Created hidden at start-up; nothing in the program shows it.
// It holds a bounded number of lines (TLogRows), and relayed data never waits for it.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QWidget>

class QAction;
class QCheckBox;
class QFileDialog;
class QListView;
class QMenu;

namespace lintaro {

class TLogRows;

class TLOGForm : public QWidget {
    Q_OBJECT

public:
    explicit TLOGForm(QWidget* parent = nullptr);

    // Components; each carries its name as its object name.
    QListView* Log = nullptr;
    TLogRows* Rows = nullptr;  // Log's model
    QCheckBox* AutiscrollCheckBox = nullptr;
    QMenu* PopupMenu = nullptr;
    QAction* N1 = nullptr;  // "Очистить"
    QAction* N2 = nullptr;  // "Сохранить"

    // The save dialog, made on first use: a file dialog watches its folder from a thread
    // of its own, which a window that is never shown should not start.
    QFileDialog* SaveDialog();

    // Appends lines at the end of Log; with `scrollToEnd` the last line is then brought
    // into view. Used by the main window's writer (scrolling when AutiscrollCheckBox is
    // checked) and by the dialling thread's hand-over (always scrolling).
    void AppendLines(const QStringList& lines, bool scrollToEnd);
    // Relayed bytes in the main window's layout, one entry stamped now, kept as a row and
    // formed into lines only when shown. The relay batches them (RelayThread::LogInterval):
    // the window's cost does not grow with the number of chunks, and nothing waits here,
    // so that they stay in order with the lines.
    void AppendData(const QByteArray& bytes, const QString& direction, bool scrollToEnd);
    // Every line the window holds.
    QStringList Lines();

    // Writes `lines` to `fileName`, replacing it: CR LF after every line, in the 8-bit
    // code page, no byte-order mark. Throws LintaroError "Cannot create file ..." when
    // the file cannot be created.
    static void SaveLines(const QStringList& lines, const QString& fileName);

    void AutiscrollCheckBoxClick();
    void N1Click();
    void N2Click();

Q_SIGNALS:
    // A menu command failed; the application's error report shows `text`.
    void ErrorRaised(const QString& text);

private:
    static void SaveBytes(const QByteArray& bytes, const QString& fileName);
    void ScrollToEnd();

    bool FScrollDue = false;
    QFileDialog* FSaveDialog = nullptr;
    QString FLastFileName;  // the save dialog offers the last chosen name again
};

}  // namespace lintaro
