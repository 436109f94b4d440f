// POSIX: the port's folder is watched through the file system's notifications, so a name
// that goes is noticed without polling. A terminal that hangs up tells the relay thread
// itself, so with the folder watched nothing is left for a timed presence test.
#include <QFileInfo>
#include <QFileSystemWatcher>

#include "bridge/PortWaiter.h"

namespace lintaro {

namespace {

// Where the folder cannot be watched, the presence test looks once a second.
constexpr int kUnwatchedPresenceIntervalMs = 1000;

}  // namespace

struct PortWaiter::Private {
    QFileSystemWatcher* folder = nullptr;
    bool watched = false;
};

PortWaiter::PortWaiter(QObject* parent) : QObject(parent), d(new Private) {}

PortWaiter::~PortWaiter() {
    Detach();
    delete d;
}

int PortWaiter::PresenceIntervalMs() const { return d->watched ? 0 : kUnwatchedPresenceIntervalMs; }

void PortWaiter::Attach(const std::string& name) {
    Detach();
    if (name.empty()) return;
    const QString folder = QFileInfo(QString::fromStdString(name)).absolutePath();
    d->folder = new QFileSystemWatcher(this);
    d->watched = d->folder->addPath(folder);
    if (d->watched) {
        connect(d->folder, &QFileSystemWatcher::directoryChanged, this, [this] { Q_EMIT FolderChanged(); });
    }
}

void PortWaiter::Detach() {
    delete d->folder;
    d->folder = nullptr;
    d->watched = false;
}

}  // namespace lintaro
