// POSIX: the port's descriptor is watched by the event loop. A terminal that hangs up
// (an unplugged adapter, a closed pseudo-terminal master) reports POLLHUP or POLLERR, or
// reads as end of file; that is told at once. The port's folder is watched through the
// file system's notifications, so a name that goes is noticed without polling.
#include <poll.h>
#include <sys/ioctl.h>

#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QSocketNotifier>

#include "bridge/PortWaiter.h"

namespace lintaro {

namespace {

// Hang-ups are told by the descriptor and the folder, so the timed presence test is only
// the fallback for a name that goes while its descriptor stays alive unseen.
constexpr int kPresenceIntervalMs = 1000;

}  // namespace

struct PortWaiter::Private {
    int fd = -1;
    QSocketNotifier* read = nullptr;
    QSocketNotifier* write = nullptr;
    QFileSystemWatcher* folder = nullptr;
    bool hungUp = false;
};

PortWaiter::PortWaiter(QObject* parent) : QObject(parent), d(new Private) {}

PortWaiter::~PortWaiter() {
    Detach();
    delete d;
}

int PortWaiter::PresenceIntervalMs() { return kPresenceIntervalMs; }

void PortWaiter::Attach(COMHandle handle, const std::string& name) {
    Detach();
    if (handle == InvalidCOMHandle) return;
    d->fd = static_cast<int>(handle);
    d->hungUp = false;
    d->read = new QSocketNotifier(d->fd, QSocketNotifier::Read, this);
    d->write = new QSocketNotifier(d->fd, QSocketNotifier::Write, this);
    d->read->setEnabled(false);
    d->write->setEnabled(false);
    // Readiness alone is told: the reader asks CheckHangUp when a read then finds nothing.
    connect(d->read, &QSocketNotifier::activated, this, [this] { Q_EMIT Readable(); });
    // Room to write stays watched while the session has bytes for the port (it turns the
    // watch off when it has none), so a bulk transfer does not register it anew each time.
    connect(d->write, &QSocketNotifier::activated, this, [this] { Q_EMIT Writable(); });
    if (!name.empty()) {
        const QString folder = QFileInfo(QString::fromStdString(name)).absolutePath();
        d->folder = new QFileSystemWatcher(this);
        if (d->folder->addPath(folder)) {
            connect(d->folder, &QFileSystemWatcher::directoryChanged, this,
                    [this] { Q_EMIT FolderChanged(); });
        }
    }
}

bool PortWaiter::CheckHangUp() {
    if (d->fd < 0 || d->hungUp) return d->hungUp;
    pollfd p{d->fd, POLLIN, 0};
    int waiting = 0;
    const bool polled = ::poll(&p, 1, 0) >= 0;
    // Readable with nothing to read is end of file: the terminal has hung up.
    const bool gone = !polled || (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0 ||
                      ((p.revents & POLLIN) != 0 &&
                       (::ioctl(d->fd, FIONREAD, &waiting) != 0 || waiting <= 0));
    if (!gone) return false;
    d->hungUp = true;
    d->read->setEnabled(false);
    d->write->setEnabled(false);
    Q_EMIT HungUp();
    return true;
}

void PortWaiter::Detach() {
    delete d->read;
    delete d->write;
    delete d->folder;
    d->read = nullptr;
    d->write = nullptr;
    d->folder = nullptr;
    d->fd = -1;
}

void PortWaiter::Watch(bool read, bool write) {
    if (d->hungUp) return;
    if (d->read != nullptr && d->read->isEnabled() != read) d->read->setEnabled(read);
    if (d->write != nullptr && d->write->isEnabled() != write) d->write->setEnabled(write);
}

// A non-blocking write takes what fits and returns, so any room means a whole buffer.
int PortWaiter::WriteRoom() const {
    if (d->fd < 0) return static_cast<int>(COMBufferSize);  // let the write itself tell
    pollfd p{d->fd, POLLOUT, 0};
    const bool room = ::poll(&p, 1, 0) > 0 && (p.revents & (POLLOUT | POLLERR | POLLHUP)) != 0;
    return room ? static_cast<int>(COMBufferSize) : 0;
}

}  // namespace lintaro
