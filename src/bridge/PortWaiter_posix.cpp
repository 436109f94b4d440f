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

// A non-blocking write takes what fits and returns, so any room means a whole buffer.
int PortWaiter::WriteRoom() const {
    if (d->fd < 0) return static_cast<int>(COMBufferSize);  // let the write itself tell
    pollfd p{d->fd, POLLOUT, 0};
    const bool room = ::poll(&p, 1, 0) > 0 && (p.revents & (POLLOUT | POLLERR | POLLHUP)) != 0;
    return room ? static_cast<int>(COMBufferSize) : 0;
}

}  // namespace lintaro
