// The window's side of the dialling thread, played by the test's own thread: it serves the
// thread's synchronized calls, records the posted stages, the log lines and the end.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "serial/COMUtils.h"
#include "serial/ModemHangUp.h"
#include "serial/RingThread.h"

namespace lintaro::testing_support {

// Dialogue waits short enough for a test run, long enough for a loaded machine.
inline RingTimings FastTimings() {
    using std::chrono::milliseconds;
    RingTimings timings;
    // The waits for an answer end as soon as it comes, so they can be long: a loaded
    // machine may hold the simulated modem back for a while. A poll of the registration
    // waits its time out unless registered, and its answer must come within it. The pause
    // after ATZ is the modem's time to answer before its answer is discarded.
    timings.wakeStep = milliseconds(5);
    timings.atzPause = milliseconds(200);
    timings.okTimeout = milliseconds(5000);
    timings.cregTimeout = milliseconds(2000);
    timings.cregPause = milliseconds(20);
    timings.beforeDial = milliseconds(20);
    timings.connectTimeout = milliseconds(5000);
    timings.afterConnect = milliseconds(20);
    timings.poll = milliseconds(20);
    return timings;
}

// Hang-up waits for a test run, against a modem whose guard time is below `guard`.
inline HangUpTimings FastHangUp() {
    using std::chrono::milliseconds;
    // The simulated modem measures its guard time between its reads of the bytes, which a
    // loaded machine may delay: the silence before "+++" is kept well above its guard.
    HangUpTimings timings;
    timings.guard = milliseconds(600);
    timings.escapeAnswer = milliseconds(3000);
    timings.commandAnswer = milliseconds(3000);
    timings.dtrDrop = milliseconds(20);
    timings.poll = milliseconds(20);
    return timings;
}

// The log layout of the dialling thread without a clock: "S:" tag " " piece, one line per
// piece when the text holds a carriage return.
inline std::vector<std::string> FormTestLines(const std::string& text, const std::string& tag) {
    std::vector<std::string> pieces;
    if (text.find('\r') == std::string::npos) {
        pieces.push_back(text);
    } else {
        std::string piece;
        for (std::size_t i = 0; i < text.size(); ++i) {
            if (text[i] != '\r' && text[i] != '\n') {
                piece.push_back(text[i]);
                continue;
            }
            pieces.push_back(std::move(piece));
            piece.clear();
            if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
        }
        if (!piece.empty()) pieces.push_back(piece);
    }
    std::vector<std::string> lines;
    for (const std::string& piece : pieces) lines.push_back("S:" + tag + " " + piece);
    return lines;
}

class TestHost : public RingThreadHost {
public:
    void RequestSynchronize(TRingThread& thread) override {
        std::lock_guard lock(mutex_);
        requests_.push_back(&thread);
        changed_.notify_all();
    }
    void PostRingStatus(TRingThread&, int stage) override {
        std::lock_guard lock(mutex_);
        stages_.push_back(stage);
        changed_.notify_all();
    }

    // Serves the requested calls on this thread until `done` holds; false when the time ran
    // out first.
    bool serveUntil(const std::function<bool()>& done,
                    std::chrono::milliseconds limit = std::chrono::seconds(20)) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        for (;;) {
            serveRequests();
            if (done()) return true;
            if (std::chrono::steady_clock::now() >= deadline) return false;
            std::unique_lock lock(mutex_);
            // The thread's own progress (a finish, a byte at the modem) signals nothing here.
            changed_.wait_for(lock, std::chrono::milliseconds(5), [&] { return !requests_.empty(); });
        }
    }

    void serveRequests() {
        std::unique_lock lock(mutex_);
        while (!requests_.empty()) {
            TRingThread* thread = requests_.front();
            requests_.pop_front();
            lock.unlock();
            thread->ServeSynchronizedCalls();
            lock.lock();
        }
    }

    // Requests of a destroyed thread must not be served.
    void forget(const TRingThread* thread) {
        std::lock_guard lock(mutex_);
        std::erase(requests_, thread);
    }

    std::vector<int> stages() const {
        std::lock_guard lock(mutex_);
        return stages_;
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<TRingThread*> requests_;
    std::vector<int> stages_;
};

// One dialling attempt as the window makes it: the end notification takes the port over and
// hands it to `onConnected` after a connect. The port is closed with the attempt, so that
// the modem surely got the last command: closing a pseudo-terminal drops what its other
// side has not read yet.
class Attempt {
public:
    Attempt(TestHost& host, const std::string& port, const std::string& phone,
            RingTimings timings = FastTimings())
        : host_(host), windowThread_(std::this_thread::get_id()) {
        TRingThreadCreateStruct create;
        create.COM = port;
        create.Phone = phone;
        create.FormLines = FormTestLines;
        create.LogObject = [this](const std::string& line) {
            EXPECT_EQ(std::this_thread::get_id(), windowThread_);
            log.push_back(line);
        };
        create.TerminateHandler = [this](TRingThread& thread) { ended(thread); };
        create.Owner = &host_;
        create.Timings = timings;
        thread = std::make_unique<TRingThread>(create);
    }
    ~Attempt() { destroy(); }

    void destroy() {
        if (thread) {
            const TRingThread* gone = thread.get();
            thread.reset();
            host_.forget(gone);
        }
        CloseCOMPort(takenPort);
    }

    bool serveUntilFinished(std::chrono::milliseconds limit = std::chrono::seconds(20)) {
        return host_.serveUntil([&] { return thread->Finished(); }, limit);
    }

    // Cancels as the window does: 255, Terminate, WaitFor.
    void cancel() {
        thread->SetErrorCode(255);
        thread->Terminate();
        thread->WaitFor();
    }

    std::vector<std::string> log;
    int ends = 0;
    std::uint32_t code = 0;
    COMHandle takenPort = InvalidCOMHandle;
    std::function<void(TRingThread&, COMHandle&)> onConnected;
    std::unique_ptr<TRingThread> thread;

private:
    void ended(TRingThread& ringThread) {
        EXPECT_EQ(std::this_thread::get_id(), windowThread_);
        EXPECT_FALSE(ringThread.Finished());
        ++ends;
        code = ringThread.ErrorCode();
        takenPort = ringThread.TakePort();
        if (code == 0 && onConnected) onConnected(ringThread, takenPort);
    }

    TestHost& host_;
    const std::thread::id windowThread_;
};

// The number of entries of a /proc/self folder: descriptors or threads of this process.
inline std::size_t CountEntries(const char* folder) {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(folder)) ++count;
    return count;
}

}  // namespace lintaro::testing_support
