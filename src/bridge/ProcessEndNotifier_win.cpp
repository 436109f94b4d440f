#include <windows.h>

#include <QWinEventNotifier>

#include "bridge/ProcessEndNotifier.h"

namespace lintaro {

QObject* NewProcessEndNotifier(const TProcessInformation& info, QObject* parent,
                               std::function<void()> ended) {
    // The process handle is signalled once the process has ended; the stop closes it only
    // after the watch has let go.
    auto* notifier = new QWinEventNotifier(reinterpret_cast<HANDLE>(info.hProcess), parent);
    QObject::connect(notifier, &QWinEventNotifier::activated, notifier, [notifier, ended] {
        notifier->setEnabled(false);
        ended();
    });
    return notifier;
}

}  // namespace lintaro
