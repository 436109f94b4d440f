#include "log/LOGUnit.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QHash>
#include <QListView>
#include <QMenu>
#include <QPainter>
#include <QSaveFile>
#include <QScreen>
#include <QStyle>
#include <QStyledItemDelegate>
#include <QTextLayout>
#include <QVBoxLayout>
#include <algorithm>
#include <memory>
#include <utility>

#include "log/CodePage.h"
#include "log/LintaroError.h"
#include "log/LogRows.h"

namespace lintaro {
namespace {

constexpr int ItemHeight = 13;

// The shortest of a few prefixes of `text` that is wider than `width` (the whole text when
// none is): cut off there, the text elides to the same at that width.
QString WiderPrefix(const QString& text, const QFontMetrics& metrics, int width) {
    // A quarter more than the average character fills: one measure for most rows.
    qsizetype n = std::max(0, width) * 5 / 4 / std::max(1, metrics.averageCharWidth()) + 8;
    while (n < text.size()) {
        if (text.at(n - 1).isHighSurrogate()) ++n;
        const QString prefix = text.left(n);
        if (metrics.horizontalAdvance(prefix) > width) return prefix;
        n *= 2;
    }
    return text;
}

// Every entry one line of the same height, whatever characters it holds. A row can be a
// thousand characters long and the list repaints at every batch of data: eliding the whole
// of each shown row, and laying its text out three times per paint as the style does, cost
// the window most of its time. A row is elided once, from a prefix, and the rows shown
// lately keep their elided text laid out, drawn as the style would draw it.
class TLogRowDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        return {QStyledItemDelegate::sizeHint(option, index).width(), ItemHeight};
    }

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        QStyleOptionViewItem opt = option;
        const std::shared_ptr<const Kept> kept = Elide(&opt, index);
        const QWidget* widget = opt.widget;
        QStyle* style = widget != nullptr ? widget->style() : QApplication::style();
        // Selected, focused or edited rows are left to the style (some styles give their
        // text colours of their own), and so is text that is not one line within the row.
        constexpr QStyle::State StyleOwn =
            QStyle::State_Selected | QStyle::State_HasFocus | QStyle::State_Editing;
        const QTextLayout* layout = nullptr;
        QRect textRect;
        if (kept != nullptr && (opt.state & StyleOwn) == 0 &&
            opt.features == QStyleOptionViewItem::HasDisplay) {
            textRect = TextRect(opt, style);
            layout = &kept->Layout(opt, textRect.width());
            if (layout->lineCount() != 1 || layout->lineAt(0).naturalTextWidth() > textRect.width())
                layout = nullptr;
        }
        if (layout == nullptr) {
            style->drawControl(QStyle::CE_ItemViewItem, &opt, painter, widget);
            return;
        }
        // The row without its text, then the text where and as the style puts it.
        opt.text.clear();
        style->drawControl(QStyle::CE_ItemViewItem, &opt, painter, widget);
        const QPalette::ColorGroup group =
            (opt.state & QStyle::State_Enabled) == 0  ? QPalette::Disabled
            : (opt.state & QStyle::State_Active) == 0 ? QPalette::Inactive
                                                      : QPalette::Normal;
        painter->save();
        painter->setClipRect(opt.rect, Qt::IntersectClip);
        painter->setPen(opt.palette.color(group, QPalette::Text));
        const QRect placed = QStyle::alignedRect(Qt::LayoutDirectionAuto, opt.displayAlignment,
                                                 layout->boundingRect().size().toSize(), textRect);
        layout->draw(painter, QPointF(textRect.x(), placed.top()));
        painter->restore();
    }

protected:
    void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override {
        Elide(option, index);
    }

private:
    struct Kept;

    // The option of a row, its text elided; what is kept of the row (none when not elided).
    std::shared_ptr<const Kept> Elide(QStyleOptionViewItem* option,
                                      const QModelIndex& index) const {
        QStyledItemDelegate::initStyleOption(option, index);
        if (option->textElideMode == Qt::ElideNone) return nullptr;
        const QWidget* widget = option->widget;
        const QStyle* style = widget != nullptr ? widget->style() : QApplication::style();
        if (option->rect.width() != FWidth || option->font != FFont || style != FStyle ||
            option->direction != FDirection || FKept.size() > MaxKept) {
            FKept.clear();
            FWidth = option->rect.width();
            FFont = option->font;
            FStyle = style;
            FDirection = option->direction;
        }
        std::shared_ptr<Kept> kept = FKept.value(option->text);
        if (!kept) {
            const QString whole = option->text;
            option->text = WiderPrefix(whole, option->fontMetrics, FWidth);
            kept = std::make_shared<Kept>(option->fontMetrics.elidedText(
                option->text, option->textElideMode, TextRect(*option, style).width()));
            FKept.insert(whole, kept);
        }
        option->text = kept->elided;
        option->textElideMode = Qt::ElideNone;
        return kept;
    }

    // A row's elided text, and its layout once the row has been painted.
    struct Kept {
        explicit Kept(QString text) : elided(std::move(text)) {}
        const QTextLayout& Layout(const QStyleOptionViewItem& option, int width) const {
            if (!layout) {
                // As the style lays out a row's text to draw it.
                layout = std::make_unique<QTextLayout>(elided, option.font);
                QTextOption textOption;
                textOption.setWrapMode(QTextOption::ManualWrap);
                textOption.setTextDirection(option.direction);
                textOption.setAlignment(
                    QStyle::visualAlignment(option.direction, option.displayAlignment));
                layout->setTextOption(textOption);
                layout->beginLayout();
                qreal height = 0;
                for (QTextLine line = layout->createLine(); line.isValid();
                     line = layout->createLine()) {
                    line.setLineWidth(width);
                    line.setPosition(QPointF(0, height));
                    height += line.height();
                }
                layout->endLayout();
            }
            return *layout;
        }
        QString elided;
        mutable std::unique_ptr<QTextLayout> layout;
    };

    // Where the style draws a row's text: its rect less the margins it leaves. The place
    // does not depend on the text, which the style would measure whole to find it.
    static QRect TextRect(QStyleOptionViewItem option, const QStyle* style) {
        option.text = QStringLiteral(" ");
        const int margin =
            style->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, option.widget) + 1;
        return style->subElementRect(QStyle::SE_ItemViewItemText, &option, option.widget)
            .adjusted(margin, 0, -margin, 0);
    }

    static constexpr qsizetype MaxKept = 256;  // more than a screen shows
    mutable QHash<QString, std::shared_ptr<Kept>> FKept;
    mutable int FWidth = -1;
    mutable QFont FFont;
    mutable const QStyle* FStyle = nullptr;
    mutable Qt::LayoutDirection FDirection = Qt::LayoutDirectionAuto;
};

}  // namespace

TLOGForm::TLOGForm(QWidget* parent) : QWidget(parent, Qt::Window) {
    setObjectName(QStringLiteral("LOGForm"));
    setWindowTitle(QStringLiteral("Данные"));
    setAttribute(Qt::WA_QuitOnClose, false);

    Rows = new TLogRows(TLogRows::DefaultMaxRows, TLogRows::DefaultMaxBytes, this);
    Log = new QListView(this);
    Log->setObjectName(QStringLiteral("Log"));
    Log->setModel(Rows);
    Log->setItemDelegate(new TLogRowDelegate(Log));
    Log->setUniformItemSizes(true);
    Log->setWordWrap(false);
    Log->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    Log->setContextMenuPolicy(Qt::CustomContextMenu);

    AutiscrollCheckBox = new QCheckBox(QStringLiteral("Прокрутка"), this);
    AutiscrollCheckBox->setObjectName(QStringLiteral("AutiscrollCheckBox"));
    AutiscrollCheckBox->setChecked(false);

    PopupMenu = new QMenu(this);
    PopupMenu->setObjectName(QStringLiteral("PopupMenu"));
    N1 = PopupMenu->addAction(QStringLiteral("Очистить"));
    N1->setObjectName(QStringLiteral("N1"));
    N2 = PopupMenu->addAction(QStringLiteral("Сохранить"));
    N2->setObjectName(QStringLiteral("N2"));

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(Log, 1);
    auto* bottom = new QVBoxLayout;
    bottom->setContentsMargins(3, 3, 3, 3);
    bottom->addWidget(AutiscrollCheckBox);
    layout->addLayout(bottom);

    resize(635, 300);
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        move(screen->geometry().topLeft());
    }

    connect(AutiscrollCheckBox, &QCheckBox::clicked, this, [this] { AutiscrollCheckBoxClick(); });
    connect(N1, &QAction::triggered, this, [this] { N1Click(); });
    connect(N2, &QAction::triggered, this, [this] {
        try {
            N2Click();
        } catch (const std::exception& error) {
            Q_EMIT ErrorRaised(ErrorText(error));
        }
    });
    connect(Log, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& at) { PopupMenu->popup(Log->viewport()->mapToGlobal(at)); });
}

QFileDialog* TLOGForm::SaveDialog() {
    if (FSaveDialog != nullptr) return FSaveDialog;
    // Non-native, so that it behaves the same everywhere; no overwrite question.
    FSaveDialog = new QFileDialog(this);
    FSaveDialog->setObjectName(QStringLiteral("SaveDialog"));
    FSaveDialog->setOptions(QFileDialog::DontUseNativeDialog | QFileDialog::DontConfirmOverwrite |
                            QFileDialog::HideNameFilterDetails);
    FSaveDialog->setAcceptMode(QFileDialog::AcceptSave);
    FSaveDialog->setFileMode(QFileDialog::AnyFile);
    FSaveDialog->setDefaultSuffix(QStringLiteral("log"));
    // "*" is what Windows means by "*.*": every file, with or without a dot.
    FSaveDialog->setNameFilters(
        {QStringLiteral("log files (*.log)"), QStringLiteral("all files (*)")});
    return FSaveDialog;
}

void TLOGForm::AppendLines(const QStringList& lines, bool scrollToEnd) {
    Rows->Append(lines);
    if (scrollToEnd) ScrollToEnd();
}

void TLOGForm::AppendData(const QByteArray& bytes, const QString& direction, bool scrollToEnd) {
    const QDateTime now = QDateTime::currentDateTime();
    Rows->AppendData(now.date(), now.time(), direction, bytes);
    // Brought into view once per turn of the event loop: a batch comes as one entry per
    // direction, and each scroll lays the list out anew.
    if (scrollToEnd && !std::exchange(FScrollDue, true)) {
        QMetaObject::invokeMethod(
            this,
            [this] {
                FScrollDue = false;
                ScrollToEnd();
            },
            Qt::QueuedConnection);
    }
}

void TLOGForm::ScrollToEnd() {
    const int count = Rows->rowCount();
    // The last line becomes the top line as far as the list can scroll, which shows as
    // much of the end as fits.
    if (count > 0) Log->scrollTo(Rows->index(count - 1), QAbstractItemView::PositionAtTop);
}

QStringList TLOGForm::Lines() { return Rows->Lines(); }

void TLOGForm::SaveLines(const QStringList& lines, const QString& fileName) {
    QByteArray bytes;
    for (const QString& line : lines) bytes += TextToBytes(line) + "\r\n";
    SaveBytes(bytes, fileName);
}

void TLOGForm::SaveBytes(const QByteArray& bytes, const QString& fileName) {
    const QString shown = QDir::toNativeSeparators(fileName);
    // Only a file is replaced: a FIFO would block the window, and a device (or a link to
    // one) is no place for a log.
    const QFileInfo existing(fileName);
    if (existing.exists() && !existing.isFile()) {
        throw LintaroError(
            QStringLiteral("Cannot create file \"%1\". It is not a regular file.").arg(shown));
    }
    // Written to a file beside it and put in its place only when complete: a failed write
    // (a full disk) leaves the old file as it was.
    QSaveFile file(fileName);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        throw LintaroError(
            QStringLiteral("Cannot create file \"%1\". %2").arg(shown, file.errorString()));
    }
    // Unbuffered and on after a short write: only a write that takes nothing at all
    // carries the system's reason (a full disk first takes what still fits).
    qint64 done = 0;
    while (done < bytes.size()) {
        const qint64 n = file.write(bytes.constData() + done, bytes.size() - done);
        if (n <= 0) {
            const QString reason = file.errorString();
            file.cancelWriting();
            throw LintaroError(QStringLiteral("Cannot write file \"%1\". %2").arg(shown, reason));
        }
        done += n;
    }
    if (!file.commit()) {
        throw LintaroError(
            QStringLiteral("Cannot write file \"%1\". %2").arg(shown, file.errorString()));
    }
}

void TLOGForm::AutiscrollCheckBoxClick() {
    // The check box is the only store of the setting: the main window's Autoscroll reads
    // it from here, and assigning to that property has no effect.
}

void TLOGForm::N1Click() { Rows->Clear(); }

void TLOGForm::N2Click() {
    QFileDialog* dialog = SaveDialog();
    if (!FLastFileName.isEmpty()) dialog->selectFile(FLastFileName);
    if (dialog->exec() != QDialog::Accepted) return;
    const QStringList files = dialog->selectedFiles();
    if (files.isEmpty()) return;
    FLastFileName = files.first();
    // Formed one line at a time: the rows' text never exists all at once.
    QByteArray bytes;
    Rows->ForEachLine([&bytes](const QString& line) { bytes += TextToBytes(line) + "\r\n"; });
    SaveBytes(bytes, FLastFileName);
}

}  // namespace lintaro
