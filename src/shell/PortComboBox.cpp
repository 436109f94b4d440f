#include "shell/PortComboBox.h"

#include <QAbstractItemView>
#include <QEvent>
#include <QStyleOptionComboBox>
#include <QStylePainter>

namespace lintaro {

namespace {

// The port, and after it the adapter: the port takes at most half the width (elided in
// the middle, where long names are alike), the adapter what is left.
QString Elided(const QComboBox& box, const QStyleOptionComboBox& option) {
    const QRect text = box.style()->subControlRect(QStyle::CC_ComboBox, &option,
                                                   QStyle::SC_ComboBoxEditField, &box);
    const QFontMetrics& metrics = box.fontMetrics();
    const int width = text.width() - 2;
    const QString adapter = box.currentData(TPortComboBox::AdapterRole).toString();
    if (adapter.isEmpty()) return metrics.elidedText(option.currentText, Qt::ElideMiddle, width);
    const QString port =
        metrics.elidedText(option.currentText, Qt::ElideMiddle, width / 2) + QStringLiteral(" — ");
    return port +
           metrics.elidedText(adapter, Qt::ElideRight, width - metrics.horizontalAdvance(port));
}

}  // namespace

TPortComboBox::TPortComboBox(QWidget* parent) : QComboBox(parent) {
    view()->setTextElideMode(Qt::ElideMiddle);
}

// The closed box shows its port and adapter cut short: its tooltip is the selected item's.
bool TPortComboBox::event(QEvent* event) {
    if (event->type() == QEvent::ToolTip) setToolTip(currentData(Qt::ToolTipRole).toString());
    return QComboBox::event(event);
}

QString TPortComboBox::DisplayedText() const {
    QStyleOptionComboBox option;
    initStyleOption(&option);
    return Elided(*this, option);
}

// QComboBox's own painting, with the label elided in the middle rather than cut.
void TPortComboBox::paintEvent(QPaintEvent* /*event*/) {
    QStylePainter painter(this);
    painter.setPen(palette().color(QPalette::Text));
    QStyleOptionComboBox option;
    initStyleOption(&option);
    painter.drawComplexControl(QStyle::CC_ComboBox, option);
    option.currentText = Elided(*this, option);
    painter.drawControl(QStyle::CE_ComboBoxLabel, option);
}

}  // namespace lintaro
