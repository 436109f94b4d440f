#include "shell/PortComboBox.h"

#include <QAbstractItemView>
#include <QStyleOptionComboBox>
#include <QStylePainter>

namespace lintaro {

namespace {

QString Elided(const QComboBox& box, const QStyleOptionComboBox& option) {
    const QRect text = box.style()->subControlRect(QStyle::CC_ComboBox, &option,
                                                   QStyle::SC_ComboBoxEditField, &box);
    return box.fontMetrics().elidedText(option.currentText, Qt::ElideMiddle, text.width() - 2);
}

}  // namespace

TPortComboBox::TPortComboBox(QWidget* parent) : QComboBox(parent) {
    view()->setTextElideMode(Qt::ElideMiddle);
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
