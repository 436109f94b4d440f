// The modem dialling thread: opens a GSM modem's port, wakes the modem, waits for network
// registration and dials a circuit-switched data call, while the window stays responsive.
//
// Standard library only (no Qt), so it builds for every platform with the serial layer.
// The window's side is reached through RingThreadHost: log lines and the end notification
// run on the window's thread as synchronous calls, the dialling stages are posted.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "serial/COMUtils.h"

namespace lintaro {

// The window message of a dialling stage (WM_USER + 5).
inline constexpr unsigned WM_RINGSTATUS = 0x405;

// Texts of the result codes 1..7 (UTF-8); index 0 is empty.
extern const char* const RingErrorTexts[8];

class TRingThread;

// The window's side of the dialling thread. Implemented on the window's thread.
class RingThreadHost {
public:
    // Asks the window's thread to call `thread.ServeSynchronizedCalls()` soon (e.g. by
    // posting an event). Called from the dialling thread; must not block. A request that
    // arrives after the thread object was destroyed must be dropped.
    virtual void RequestSynchronize(TRingThread& thread) = 0;
    // Posts WM_RINGSTATUS with the stage (1, 2, 3); never waits.
    virtual void PostRingStatus(TRingThread& thread, int stage) = 0;

protected:
    ~RingThreadHost() = default;
};

// The waits of the dialogue. The defaults are the production values; tests pass shorter ones.
struct RingTimings {
    std::chrono::milliseconds wakeStep{1000};
    int wakeSteps = 15;
    std::chrono::milliseconds atzPause{500};
    std::chrono::milliseconds okTimeout{5000};
    std::chrono::milliseconds cregTimeout{2000};
    std::chrono::milliseconds cregPause{2000};
    int cregPolls = 10;
    std::chrono::milliseconds beforeDial{3000};
    std::chrono::milliseconds connectTimeout{45000};
    std::chrono::milliseconds afterConnect{5000};
    std::chrono::milliseconds poll{50};
};

struct TRingThreadCreateStruct {
    std::string COM;  // port name
    int BaudRate = DefaultCOMSpeed;
    // Bytes to dial after "ATD", as given (the window converts its text through the 8-bit
    // code page).
    std::string Phone;
    // Forms the log lines of a text (bytes in the 8-bit code page) with a tag ("<<", ">>" or
    // empty); runs on the dialling thread.
    std::function<std::vector<std::string>(const std::string& text, const std::string& tag)>
        FormLines;
    // Appends one formed line to the log list; runs on the window's thread, inside the
    // synchronous hand-over.
    std::function<void(const std::string& line)> LogObject;
    // The end notification; runs on the window's thread after Execute returned, while the
    // dialling thread waits for it.
    std::function<void(TRingThread& thread)> TerminateHandler;
    RingThreadHost* Owner = nullptr;
    RingTimings Timings;
};

class TRingThread {
public:
    // Starts at once; Execute begins after construction finished.
    explicit TRingThread(const TRingThreadCreateStruct& create);
    // Removes the end notification, stops the thread and waits for it while serving its
    // calls, then closes the port unless somebody took it. May also be called from inside
    // the thread's own end notification: the thread then ends on its own right after it.
    ~TRingThread();

    TRingThread(const TRingThread&) = delete;
    TRingThread& operator=(const TRingThread&) = delete;

    // Any thread; wakes every sleep and wait of the dialling thread so that it stops promptly.
    void Terminate();
    bool Terminated() const;
    // Window's thread: waits until the thread has finished, its end notification included,
    // serving its synchronized calls meanwhile. Called from inside that end notification it
    // returns at once, since only the caller itself is left to finish.
    void WaitFor();
    bool Finished() const;

    std::uint32_t ErrorCode() const;
    void SetErrorCode(std::uint32_t code);
    COMHandle hCOM() const;
    // The modem answered "CONNECT": the port carries a data call that has to be hung up
    // before it is closed, whatever ErrorCode says.
    bool CallUp() const;
    // Takes the port over: returns hCOM and leaves the thread without it, so that only the
    // taker closes it. Meant for the end notification, when the thread no longer uses it.
    COMHandle TakePort();

    // Window's thread: runs the pending synchronized call (a log line or the end
    // notification), if any. Safe to call re-entrantly from event loops nested in the end
    // notification, which it never runs twice.
    void ServeSynchronizedCalls();

private:
    struct Shared;

    static void Run(std::shared_ptr<Shared> shared, TRingThread* self);
    void Execute();

    void SendCommand(const std::string& command);
    void DiscardInput();
    bool WaitForAnswer(const std::string& expected, std::chrono::milliseconds timeout);
    bool WaitForOK(std::chrono::milliseconds timeout);
    bool CheckModemError(const std::string& answer);
    void WriteLog(const std::string& text, const std::string& tag);
    void Sleep(std::chrono::milliseconds duration);
    void PostStatus(int stage);
    // Hands a call over to the window's thread and blocks until it has run. Touches only
    // `shared` once the call has run, since the end notification may destroy `self`.
    static void Synchronize(Shared& shared, TRingThread& self, int kind, std::string logLine);
    // Serves calls until the thread has finished; false when it cannot finish because the
    // caller is running its end notification.
    bool WaitServing();

    const TRingThreadCreateStruct FCreateStruct;
    std::atomic<COMHandle> FhCOM{InvalidCOMHandle};
    std::atomic<std::uint32_t> FErrCode{0};
    std::atomic<bool> FCallUp{false};
    // The dial's answer once it held "CONNECT"; the dialling thread's own.
    std::string FLastAnswer;
    // What both threads touch; shared so that the end notification may destroy the object.
    const std::shared_ptr<Shared> FShared;
    std::thread FThread;
};

}  // namespace lintaro
