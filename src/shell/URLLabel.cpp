#include "shell/URLLabel.h"

#include <QMouseEvent>

namespace lintaro {

TURLLabel::TURLLabel(QWidget* parent) : QLabel(parent) {
    QFont f = font();
    f.setUnderline(true);
    f.setBold(false);
    f.setItalic(false);
    f.setStrikeOut(false);
    setFont(f);
    // Blue while usable; a disabled link keeps the platform's greyed text.
    QPalette p = palette();
    p.setColor(QPalette::Active, QPalette::WindowText, QColor(0, 0, 255));
    p.setColor(QPalette::Inactive, QPalette::WindowText, QColor(0, 0, 255));
    setPalette(p);
}

// Swallowed on purpose: the link has no hover effect.
void TURLLabel::enterEvent(QEnterEvent* event) { event->accept(); }
void TURLLabel::leaveEvent(QEvent* event) { event->accept(); }

void TURLLabel::mousePressEvent(QMouseEvent* event) {
    FPressed = event->button() == Qt::LeftButton;
    event->accept();
}

void TURLLabel::mouseReleaseEvent(QMouseEvent* event) {
    const bool clicked =
        FPressed && event->button() == Qt::LeftButton && rect().contains(event->position().toPoint());
    FPressed = false;
    event->accept();
    if (clicked) Q_EMIT Click();
}

}  // namespace lintaro
