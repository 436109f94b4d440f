#include <gtest/gtest.h>
#include <signal.h>
#ifndef _WIN32
#include <sys/resource.h>
#endif
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include <QAbstractItemView>
#include <QAction>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QListView>
#include <QScrollBar>
#include <QStyledItemDelegate>
#include <QTemporaryDir>
#include <QTimer>

#include "shell/ErrorReport.h"
#include "ModalWatcher.h"
#include "log/CodePage.h"
#include "log/LOGUnit.h"
#include "log/LogLines.h"
#include "log/LogRows.h"
#include "log/TimeFuncs.h"
#include "shell/ErrorReport.h"

namespace lintaro {
namespace {

using test::ModalWatcher;

QByteArray ReadFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void WriteFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

// Answers the save dialog by typing `name` into its file name field, as a user would.
std::function<void(QWidget*)> TypeFileName(const QString& name, QString* offered = nullptr) {
    return [=](QWidget* modal) {
        auto* dialog = qobject_cast<QFileDialog*>(modal);
        auto* edit = dialog ? dialog->findChild<QLineEdit*>("fileNameEdit") : nullptr;
        if (edit == nullptr) return;
        if (offered != nullptr) *offered = edit->text();
        // Typing with the focus in the field drops the list's selection of the name
        // offered; without focus the dialog would keep it, so drop it here.
        for (auto* view : dialog->findChildren<QAbstractItemView*>()) view->clearSelection();
        edit->setText(name);
        static_cast<QDialog*>(dialog)->accept();  // the dialog's own checks run
    };
}

TEST(LogWindow, scrolls_to_the_end_only_when_asked) {
    TLOGForm form;
    form.show();
    QStringList many;
    for (int i = 0; i < 200; ++i) many.append(QString::number(i));
    form.AppendLines(many, false);
    QScrollBar* bar = form.Log->verticalScrollBar();
    ASSERT_TRUE(test::WaitUntil([&] { return bar->maximum() > 0; }));  // laid out later
    EXPECT_EQ(bar->value(), 0);

    form.AppendLines({"last"}, true);
    EXPECT_EQ(bar->value(), bar->maximum());
    const QRect lastRect = form.Log->visualRect(form.Rows->index(form.Rows->rowCount() - 1));
    EXPECT_TRUE(form.Log->viewport()->rect().contains(lastRect));
}

// The window elides its rows itself, from a prefix, once while they are shown: they look
// exactly as the style draws their whole text, at any width and when painted again.
TEST(LogWindow, long_rows_look_as_with_their_whole_text) {
    TLOGForm form;
    form.show();
    // Soft hyphens and control bytes have no width.
    for (const QByteArray& bytes :
         {QByteArray(3000, 'a'), QByteArray(1500, '.'), QByteArray(1500, 'W'),
          QByteArray("\xAD\x01\x1B").repeated(100) + QByteArray(200, 'x'), QByteArray("short")})
        form.Rows->AppendData(QDate(2026, 1, 2), QTime(3, 4), QStringLiteral("COM->TCP"), bytes);
    // Emoji as surrogate pairs; marks stacked above and below the row's height.
    form.AppendLines({QString::fromUcs4(U"\U0001F600").repeated(400),
                      QString::fromUcs4(U"g\u0301\u0301\u0301\u0316\u0316\u0316").repeated(80)},
                     false);
    // The text's colour differs in each state, and one row is selected and focused.
    QPalette palette = form.Log->palette();
    for (auto [group, color] :
         {std::pair{QPalette::Active, Qt::darkBlue}, {QPalette::Inactive, Qt::darkGreen}})
        palette.setColor(group, QPalette::Text, color);
    form.Log->setPalette(palette);
    form.Log->setCurrentIndex(form.Rows->index(1));
    struct WholeText : QStyledItemDelegate {  // the style's own elision, at the same height
        QAbstractItemDelegate* own;
        explicit WholeText(QAbstractItemDelegate* d) : own(d) {}
        QSize sizeHint(const QStyleOptionViewItem& o, const QModelIndex& i) const override {
            return own->sizeHint(o, i);
        }
    } whole(form.Log->itemDelegate());
    const auto look = [&](QAbstractItemDelegate* delegate) {
        form.Log->setItemDelegate(delegate);
        QCoreApplication::processEvents();
        return form.Log->grab().toImage();
    };
    // The last width again, written right to left.
    for (auto [width, direction] : {std::pair{635, Qt::LeftToRight},
                                    {1400, Qt::LeftToRight},
                                    {150, Qt::LeftToRight},
                                    {150, Qt::RightToLeft}}) {
        form.resize(width, 200);
        form.Log->setLayoutDirection(direction);
        const QImage full = look(&whole);
        EXPECT_TRUE(look(whole.own) == full) << width << direction;
        EXPECT_TRUE(look(whole.own) == full) << width << direction << ", painted again";
    }
}

// The oldest lines go first, in steps of a hundredth of the limit, and a first row says
// how many went; a view shows exactly what is held.
TEST(LogRows, keep_the_newest_lines_within_their_limits) {
    struct Case {
        const char* name;
        qsizetype maxRows, maxChars;
        std::vector<QStringList> batches;
        QStringList held;
    };
    QStringList numbers;
    for (int i = 0; i < 201; ++i) numbers.append(QString::number(i));
    const Case cases[] = {
        {"within", 3, 100, {{"a", "b"}, {"c"}}, {"a", "b", "c"}},
        {"one at a time", 3, 100, {{"a"}, {"b"}, {"c"}, {"d"}, {"e"}},
         {"Удалено старых строк: 2", "c", "d", "e"}},
        {"a batch over the limit", 3, 100, {{"a"}, {"b", "c", "d", "e"}},
         {"Удалено старых строк: 2", "c", "d", "e"}},
        {"bytes", 100, 10, {{"aaaa", "bbbb"}, {"cccc"}},
         {"Удалено старых строк: 1", "bbbb", "cccc"}},
        {"one line over the bytes", 100, 3, {{"a"}, {"bbbbb"}},
         {"Удалено старых строк: 1", "bbbbb"}},
        {"in steps", 200, 1000, {numbers.mid(0, 200), {"200"}},
         QStringList{"Удалено старых строк: 2"} + numbers.mid(2)},
    };
    for (const Case& c : cases) {
        TLogRows rows(c.maxRows, c.maxChars);
        QListView view;
        view.setModel(&rows);
        for (const QStringList& batch : c.batches) rows.Append(batch);
        EXPECT_EQ(rows.Lines(), c.held) << c.name;
        ASSERT_EQ(rows.rowCount(), c.held.size()) << c.name;
        EXPECT_EQ(rows.index(0).data().toString(), c.held.first()) << c.name;
        EXPECT_EQ(rows.index(rows.rowCount() - 1).data().toString(), c.held.last()) << c.name;
    }
}

// A data entry is kept as bytes and formed when asked for: shown, listed and counted
// against the limits exactly as the lines FormLogLines makes of its text.
TEST(LogRows, data_entries_are_the_lines_formed_of_their_text) {
    struct Case {
        const char* name;
        qsizetype maxRows, maxBytes;
        std::vector<std::pair<QString, QByteArray>> entries;
    };
    const QByteArray cyrillic(1500, '\xC0');
    const Case cases[] = {
        {"breaks and directions",
         100,
         10000,
         {{"COM->TCP", "A\r\nB\r\n"}, {"TCP->COM", "x\ny"}, {"COM->TCP", "\r\rC"}}},
        {"a NUL ends the text",
         100,
         10000,
         {{"TCP->COM", QByteArray("A\nB\0C\rD", 8)}, {"TCP->COM", QByteArray("\0\r", 2)}}},
        {"empty, and no direction", 100, 10000, {{"TCP->COM", ""}, {"", "\xC0\xFF\xB9\x88"}}},
        {"high bytes count as UTF-8",
         100,
         130,
         {{"COM->TCP", QByteArray(30, '\xC0')}, {"COM->TCP", "abcdefghijklmnopqrstuvwxyz"}}},
        {"an entry over the rows", 3, 10000, {{"COM->TCP", "a\rb\rc\rd\re"}}},
        {"a long row is cut as shown", 100, 100000, {{"COM->TCP", cyrillic}}},
    };
    const QDate date(2024, 12, 31);
    const QTime time(23, 59, 59, 999);
    const QString stamp = FormatTimeStamp(date, time, TimeStampSeparator());
    for (const Case& c : cases) {
        TLogRows rows(c.maxRows, c.maxBytes);
        TLogRows formed(c.maxRows, c.maxBytes);
        for (const auto& [direction, bytes] : c.entries) {
            rows.AppendData(date, time, direction, bytes);
            formed.Append(FormLogLines(BytesToText(bytes), direction, LogLayout::MainWindow,
                                       [&] { return stamp; }));
        }
        EXPECT_EQ(rows.Lines(), formed.Lines()) << c.name;
        ASSERT_EQ(rows.rowCount(), formed.rowCount()) << c.name;
        for (int i = 0; i < rows.rowCount(); ++i)
            EXPECT_EQ(rows.index(i).data(), formed.index(i).data()) << c.name << " row " << i;
    }
}

// Relayed data (batched by the relay) is taken in at once, one stamp per entry, in order
// with the lines written between.
TEST(LogWindow, data_entries_are_taken_in_order_with_lines) {
    TLOGForm form;
    form.AppendData("AB\r\nC", "COM->TCP", false);
    form.AppendLines({"plain"}, false);
    form.AppendData("x", "TCP->COM", false);
    const QStringList lines = form.Lines();
    const QStringList pieces = {": COM->TCP AB", ": COM->TCP C", "plain", ": TCP->COM x"};
    ASSERT_EQ(lines.size(), pieces.size());
    for (qsizetype i = 0; i < lines.size(); ++i) {
        EXPECT_TRUE(lines[i].endsWith(pieces[i])) << lines[i].toStdString();
    }
    EXPECT_EQ(lines[0].chopped(pieces[0].size()), lines[1].chopped(pieces[1].size()));  // one stamp

    form.N1->trigger();
    EXPECT_TRUE(form.Lines().isEmpty());
}

TEST(LogSave, replaces_the_file_with_every_byte_value_intact) {
    QTemporaryDir dir;
    const QString path = dir.filePath("old.log");
    WriteFile(path, QByteArray(1000, 'x'));
    QByteArray all;
    for (int b = 0; b < 256; ++b) all.append(static_cast<char>(b));
    TLOGForm::SaveLines({BytesToText(all), "", "tail"}, path);
    EXPECT_EQ(ReadFile(path), all + "\r\n\r\ntail\r\n");
    TLOGForm::SaveLines({}, path);
    EXPECT_TRUE(QFile::exists(path));
    EXPECT_EQ(ReadFile(path), QByteArray());
}

#ifndef _WIN32  // file size limits and FIFOs are POSIX
TEST(LogSave, a_failed_write_keeps_the_old_file_and_names_the_systems_reason) {
    QTemporaryDir dir;
    const QString path = dir.filePath("old.log");
    WriteFile(path, "the old log\r\n");
    const QByteArray big(256 * 1024, 'y');

    // A file size limit fails the write as a full disk would, with a reason of its own.
    struct rlimit kept {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &kept), 0);
    struct rlimit small = kept;
    small.rlim_cur = 4096;
    const auto oldHandler = ::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    QString text;
    try {
        TLOGForm::SaveLines({QString::fromLatin1(big)}, path);
    } catch (const LintaroError& error) {
        text = error.Text();
    }
    ::setrlimit(RLIMIT_FSIZE, &kept);
    ::signal(SIGXFSZ, oldHandler);

    EXPECT_TRUE(text.startsWith(QStringLiteral("Cannot write file \"%1\". ").arg(path)) &&
                text.contains(QString::fromLocal8Bit(std::strerror(EFBIG))))
        << text.toStdString();
    EXPECT_EQ(ReadFile(path), QByteArray("the old log\r\n"));
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"old.log"});

    // Something that is no file in the target's place: refused at once, left as it is.
    const QString fifo = dir.filePath("fifo.log");
    ASSERT_EQ(::mkfifo(fifo.toLocal8Bit().constData(), 0600), 0);
    const QString null = dir.filePath("null.log");
    ASSERT_TRUE(QFile::link("/dev/null", null));
    for (const QString& target : {fifo, null}) {
        try {
            TLOGForm::SaveLines({"x"}, target);
            ADD_FAILURE() << "saved to " << target.toStdString();
        } catch (const LintaroError& error) {
            EXPECT_TRUE(error.Text().contains("not a regular file")) << error.what();
        }
    }
    EXPECT_FALSE(QFileInfo(fifo).isFile());
    EXPECT_TRUE(QFileInfo(null).isSymLink());
}
#endif

TEST(LogSaveDialog, typed_name_without_extension_gets_log_and_is_offered_again) {
    QTemporaryDir dir;
    TLOGForm form;
    form.AppendLines({"first", "Привет"}, false);
    form.AppendData("\xC0\xFF\r\n", "COM->TCP", false);
    {
        ModalWatcher watcher(TypeFileName(dir.filePath("traffic")));
        form.N2Click();
    }
    const QString data = form.Lines().value(2);
    EXPECT_TRUE(data.endsWith(": COM->TCP Ая")) << data.toStdString();
    const QByteArray saved =
        "first\r\n" + TextToBytes("Привет") + "\r\n" + TextToBytes(data) + "\r\n";
    EXPECT_EQ(ReadFile(dir.filePath("traffic.log")), saved);

    QString offered;
    {
        ModalWatcher watcher(TypeFileName(dir.filePath("again.txt"), &offered));
        form.N2Click();
    }
    EXPECT_EQ(offered, "traffic.log");
    EXPECT_EQ(ReadFile(dir.filePath("again.txt")), saved);

    form.N1->trigger();
    {
        ModalWatcher watcher;  // cancels
        form.N2Click();
    }
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files).size(), 2);
    EXPECT_EQ(ReadFile(dir.filePath("again.txt")), saved);
}

TEST(LogSaveDialog, uncreatable_file_reaches_the_error_report_and_keeps_the_list) {
    QTemporaryDir dir;
    WriteFile(dir.filePath("plain"), "not a folder");
    const QString path = dir.filePath("plain/x.log");
    TLOGForm form;
    // The application connects the window's failures to its error report.
    QObject::connect(&form, &TLOGForm::ErrorRaised, [](const QString& text) { ShowErrorReport(text); });
    form.AppendLines({"a", "b"}, false);

    ModalWatcher watcher(TypeFileName(path));
    QTimer::singleShot(0, form.N2, &QAction::trigger);  // as a click on the menu item
    ASSERT_TRUE(watcher.WaitForCount(1));
    const test::SeenBox& box = watcher.Seen()[0];
    EXPECT_EQ(box.icon, QMessageBox::Critical);
    const QString head =
        QStringLiteral("Cannot create file \"%1\". ").arg(QDir::toNativeSeparators(path));
    EXPECT_TRUE(box.text.startsWith(head) && box.text.size() > head.size())
        << box.text.toStdString();
    EXPECT_EQ(form.Lines(), (QStringList{"a", "b"}));
}

}  // namespace
}  // namespace lintaro
