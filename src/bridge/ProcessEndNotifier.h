// Wakes the caller once a started program has ended, where the platform can tell without
// asking again and again: a process descriptor on Linux, the process handle on Windows.
#pragma once

#include <QObject>
#include <functional>

#include "bridge/ProcessInformation.h"

namespace lintaro {

// A notifier owned by `parent` that calls `ended` once the program has ended (it may call
// it at once, when it has ended already); nullptr where the system cannot tell, and the
// caller then asks from time to time.
QObject* NewProcessEndNotifier(const TProcessInformation& info, QObject* parent,
                               std::function<void()> ended);

}  // namespace lintaro
