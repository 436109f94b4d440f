#include "ModalWatcher.h"

#include <QPushButton>
#include <QApplication>
#include <QDialog>
#include <QDeadlineTimer>
#include <algorithm>
#include <QEventLoop>

namespace lintaro::test {

ModalWatcher::ModalWatcher(std::function<void(QWidget*)> other) : FOther(std::move(other)) {
    QObject::connect(&FTimer, &QTimer::timeout, [this] { Poll(); });
    FTimer.start(5);
}

ModalWatcher::~ModalWatcher() { FTimer.stop(); }

void ModalWatcher::Poll() {
    QWidget* modal = QApplication::activeModalWidget();
    if (modal == nullptr || !modal->isVisible()) return;
    if (auto* box = qobject_cast<QMessageBox*>(modal)) {
        FSeen.push_back({box->windowTitle(), box->text(), box->icon(), box->informativeText()});
        QAbstractButton* button = box->defaultButton();
        if (button == nullptr && !box->buttons().isEmpty()) button = box->buttons().first();
        if (button != nullptr) {
            button->click();
        } else {
            box->done(0);
        }
    } else if (FOther) {
        FOther(modal);
    } else if (auto* dialog = qobject_cast<QDialog*>(modal)) {
        dialog->reject();
    }
}

bool ModalWatcher::WaitForCount(int n, int timeoutMs) const {
    return WaitUntil([&] { return Count() >= n; }, timeoutMs);
}

// Sleeps in the event loop between looks (no Qt Test: the Windows Qt is built without it).
bool WaitUntil(const std::function<bool()>& condition, int timeoutMs) {
    const QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired()) return condition();
        QEventLoop loop;
        QTimer::singleShot(std::min<qint64>(20, std::max<qint64>(1, deadline.remainingTime())), &loop,
                           &QEventLoop::quit);
        loop.exec();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    return true;
}

}  // namespace lintaro::test
