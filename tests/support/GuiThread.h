// Calls onto the window's thread from another thread, shared by the tests and the
// benchmark.
#pragma once

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>
#include <future>
#include <utility>

namespace lintaro::test {

// Runs `f` on the window's thread and returns its result (at once when called there). The
// hand-over is a future rather than a blocking queued call, so that thread checkers see it.
template <class F>
auto OnGui(F f) -> decltype(f()) {
    if (QThread::currentThread() == qApp->thread()) return f();
    std::packaged_task<decltype(f())()> task(std::move(f));
    auto result = task.get_future();
    QMetaObject::invokeMethod(qApp, [&task] { task(); }, Qt::QueuedConnection);
    return result.get();
}

// Posts `f` to the window's thread without waiting for it (a click that runs a cycle).
template <class F>
void PostToGui(F f) {
    QMetaObject::invokeMethod(qApp, f, Qt::QueuedConnection);
}

}  // namespace lintaro::test
