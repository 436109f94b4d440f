// Calls onto the window's thread from another thread, shared by the tests and the
// benchmark.
#pragma once

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <utility>

namespace lintaro::test {

namespace gui_thread {
// Qt's event queue orders a posted call after its posting, but with synchronisation that
// a thread checker cannot see in the uninstrumented Qt library. The calls therefore go
// through a queue under a standard mutex, and what is posted captures nothing.
inline std::mutex callsMutex;
inline std::deque<std::function<void()>> calls;

inline void Post(std::function<void()> call) {
    {
        std::lock_guard lock(callsMutex);
        calls.push_back(std::move(call));
    }
    QMetaObject::invokeMethod(qApp, [] {
        std::function<void()> next;
        {
            std::lock_guard lock(callsMutex);
            next = std::move(calls.front());
            calls.pop_front();
        }
        next();
    }, Qt::QueuedConnection);
}
}  // namespace gui_thread

// Runs `f` on the window's thread and returns its result (at once when called there). The
// result comes back through a future, so that thread checkers see that hand-over too.
template <class F>
auto OnGui(F f) -> decltype(f()) {
    if (QThread::currentThread() == qApp->thread()) return f();
    std::packaged_task<decltype(f())()> task(std::move(f));
    auto result = task.get_future();
    gui_thread::Post([&task] { task(); });
    return result.get();
}

// Posts `f` to the window's thread without waiting for it (a click that runs a cycle).
template <class F>
void PostToGui(F f) {
    gui_thread::Post(std::move(f));
}

}  // namespace lintaro::test
