// Windows: the port is opened for synchronous I/O, which cannot be waited on alongside the
// event loop, so while the bridge waits the port's queues are looked at every few
// milliseconds (only then: outside a wait nothing is polled).
#include <windows.h>

#include <QTimer>

#include "PortWaiter.h"

namespace lintaro {

namespace {

constexpr int kPollMs = 5;
// The output queue size asked of the driver when the port was opened.
constexpr DWORD kOutQueue = 2048;

bool Queues(HANDLE port, COMSTAT& status) {
    DWORD errors = 0;
    return ClearCommError(port, &errors, &status) != 0;
}

}  // namespace

struct PortWaiter::Private {
    HANDLE port = INVALID_HANDLE_VALUE;
    bool read = false;
    bool write = false;
    QTimer* timer = nullptr;
};

PortWaiter::PortWaiter(QObject* parent) : QObject(parent), d(new Private) {
    d->timer = new QTimer(this);
    d->timer->setInterval(kPollMs);
    connect(d->timer, &QTimer::timeout, this, [this] {
        COMSTAT status{};
        if (d->port == INVALID_HANDLE_VALUE) return;
        if (!Queues(d->port, status)) {
            // A vanished port: let the bridge look (its presence test decides).
            if (d->read) {
                d->read = false;
                Q_EMIT Readable();
            }
            return;
        }
        if (d->read && status.cbInQue > 0) {
            d->read = false;
            Q_EMIT Readable();
        }
        if (d->write && status.cbOutQue < kOutQueue) {
            d->write = false;
            Q_EMIT Writable();
        }
        if (!d->read && !d->write) d->timer->stop();
    });
}

PortWaiter::~PortWaiter() {
    Detach();
    delete d;
}

void PortWaiter::Attach(COMHandle handle) {
    Detach();
    d->port = reinterpret_cast<HANDLE>(handle);
}

void PortWaiter::Detach() {
    d->timer->stop();
    d->read = d->write = false;
    d->port = INVALID_HANDLE_VALUE;
}

void PortWaiter::Watch(bool read, bool write) {
    d->read = read && d->port != INVALID_HANDLE_VALUE;
    d->write = write && d->port != INVALID_HANDLE_VALUE;
    if (d->read || d->write) {
        d->timer->start();
    } else {
        d->timer->stop();
    }
}

int PortWaiter::WriteRoom() const {
    if (d->port == INVALID_HANDLE_VALUE) return static_cast<int>(COMBufferSize);
    COMSTAT status{};
    // A port that cannot be asked is given a try: the write itself then fails.
    if (!Queues(d->port, status)) return static_cast<int>(COMBufferSize);
    return status.cbOutQue >= kOutQueue ? 0 : static_cast<int>(kOutQueue - status.cbOutQue);
}

}  // namespace lintaro
