// Windows: the port is opened for synchronous I/O, which cannot be waited on alongside the
// event loop, so while the session watches it the port's queues are looked at by a timer:
// every few milliseconds while bytes move, backing off to one look per 50 ms while
// the line is quiet. A port whose state cannot be asked any more (ClearCommError fails:
// the adapter is gone) has hung up. Names are not paths, so there is no folder to watch.
#include <windows.h>

#include <QTimer>
#include <algorithm>

#include "bridge/PortWaiter.h"

namespace lintaro {

namespace {

constexpr int kBusyPollMs = 5;
constexpr int kQuietPollMs = 50;
// The presence test enumerates the present Ports devices, every 50 ms as ever.
constexpr int kPresenceIntervalMs = 50;

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
    d->timer->setInterval(kBusyPollMs);
    connect(d->timer, &QTimer::timeout, this, [this] {
        if (d->port == INVALID_HANDLE_VALUE) return;
        COMSTAT status{};
        if (!Queues(d->port, status)) {
            d->read = d->write = false;
            d->timer->stop();
            Q_EMIT HungUp();
            return;
        }
        bool told = false;
        if (d->read && status.cbInQue > 0) {
            told = true;
            Q_EMIT Readable();
        }
        if (d->write && status.cbOutQue < COMQueueSize) {
            d->write = false;
            told = true;
            Q_EMIT Writable();
        }
        if (!d->read && !d->write) {
            d->timer->stop();
        } else {
            d->timer->setInterval(told ? kBusyPollMs
                                       : std::min(d->timer->interval() * 2, kQuietPollMs));
        }
    });
}

PortWaiter::~PortWaiter() {
    Detach();
    delete d;
}

int PortWaiter::PresenceIntervalMs() { return kPresenceIntervalMs; }

void PortWaiter::Attach(COMHandle handle, const std::string&) {
    Detach();
    d->port = reinterpret_cast<HANDLE>(handle);
}

bool PortWaiter::CheckHangUp() {
    if (d->port == INVALID_HANDLE_VALUE) return false;
    COMSTAT status{};
    if (Queues(d->port, status)) return false;
    d->read = d->write = false;
    d->timer->stop();
    Q_EMIT HungUp();
    return true;
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
        if (!d->timer->isActive()) {
            d->timer->setInterval(kBusyPollMs);
            d->timer->start();
        }
    } else {
        d->timer->stop();
    }
}

int PortWaiter::WriteRoom() const {
    if (d->port == INVALID_HANDLE_VALUE) return static_cast<int>(COMBufferSize);
    COMSTAT status{};
    // A port that cannot be asked is given a try: the write itself then fails.
    if (!Queues(d->port, status)) return static_cast<int>(COMBufferSize);
    return status.cbOutQue >= COMQueueSize ? 0 : static_cast<int>(COMQueueSize - status.cbOutQue);
}

}  // namespace lintaro
