#include "shell/InputDeafness.h"

#include <QApplication>
#include <QEvent>
#include <QWidget>

namespace lintaro {

InputDeafness::InputDeafness(QWidget* window) : FWindow(window) { qApp->installEventFilter(this); }

InputDeafness::~InputDeafness() {
    qApp->removeEventFilter(this);
    if (FCloseRequested) QMetaObject::invokeMethod(FWindow, "close", Qt::QueuedConnection);
}

bool InputDeafness::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
        case QEvent::MouseButtonDblClick:
        case QEvent::MouseMove:
        case QEvent::Wheel:
        case QEvent::KeyPress:
        case QEvent::KeyRelease:
        case QEvent::Shortcut:
        case QEvent::ShortcutOverride:
        case QEvent::TouchBegin:
        case QEvent::TouchUpdate:
        case QEvent::TouchEnd:
            return true;
        case QEvent::Close:
            if (watched == FWindow) {
                FCloseRequested = true;
                event->ignore();
                return true;
            }
            return false;
        default:
            return false;
    }
}

}  // namespace lintaro
