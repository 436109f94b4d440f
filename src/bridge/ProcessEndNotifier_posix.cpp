#include <sys/syscall.h>
#include <unistd.h>

#include <QSocketNotifier>

#include "bridge/ProcessEndNotifier.h"

namespace lintaro {

QObject* NewProcessEndNotifier(const TProcessInformation& info, QObject* parent,
                               std::function<void()> ended) {
#if defined(SYS_pidfd_open)
    // The descriptor reads as ready once the process has ended (Linux 5.3 and later).
    const int fd = static_cast<int>(::syscall(SYS_pidfd_open, static_cast<pid_t>(info.hProcess), 0));
    if (fd < 0) return nullptr;
    auto* notifier = new QSocketNotifier(fd, QSocketNotifier::Read, parent);
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [notifier, ended] {
        notifier->setEnabled(false);
        ended();
    });
    QObject::connect(notifier, &QObject::destroyed, [fd] { ::close(fd); });
    return notifier;
#else
    (void)info;
    (void)parent;
    (void)ended;
    return nullptr;
#endif
}

}  // namespace lintaro
