#include <poll.h>

#include <QSocketNotifier>

#include "PortWaiter.h"

namespace lintaro {

struct PortWaiter::Private {
    int fd = -1;
    QSocketNotifier* read = nullptr;
    QSocketNotifier* write = nullptr;
};

PortWaiter::PortWaiter(QObject* parent) : QObject(parent), d(new Private) {}

PortWaiter::~PortWaiter() {
    Detach();
    delete d;
}

void PortWaiter::Attach(COMHandle handle) {
    Detach();
    if (handle == InvalidCOMHandle) return;
    d->fd = static_cast<int>(handle);
    d->read = new QSocketNotifier(d->fd, QSocketNotifier::Read, this);
    d->write = new QSocketNotifier(d->fd, QSocketNotifier::Write, this);
    d->read->setEnabled(false);
    d->write->setEnabled(false);
    connect(d->read, &QSocketNotifier::activated, this, [this] {
        d->read->setEnabled(false);
        Q_EMIT Readable();
    });
    connect(d->write, &QSocketNotifier::activated, this, [this] {
        d->write->setEnabled(false);
        Q_EMIT Writable();
    });
}

void PortWaiter::Detach() {
    delete d->read;
    delete d->write;
    d->read = nullptr;
    d->write = nullptr;
    d->fd = -1;
}

void PortWaiter::Watch(bool read, bool write) {
    if (d->read != nullptr) d->read->setEnabled(read);
    if (d->write != nullptr) d->write->setEnabled(write);
}

bool PortWaiter::CanWrite() const {
    if (d->fd < 0) return true;  // nothing to ask: let the write itself tell
    pollfd p{d->fd, POLLOUT, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLOUT | POLLERR | POLLHUP)) != 0;
}

}  // namespace lintaro
