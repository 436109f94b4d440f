#include "serial/RingThread.h"

#include "log/Cp1251.h"
#include "serial/ModemWords.h"

#include <condition_variable>
#include <exception>
#include <mutex>
#include <string_view>
#include <utility>

namespace lintaro {

const char* const RingErrorTexts[8] = {
    "",
    "Не могу открыть COM-порт",
    "Модем не отвечает",
    "Нет регистрации в сети GSM",
    "Номер занят",
    "Не могу дозвониться",
    "Нет сигнала в линии",
    "Номер не отвечает",
};

namespace {

enum CallKind { NoCall, LogCall, EndCall };

const std::string SentTag = "<<";
const std::string ReceivedTag = ">>";

// The log writer takes bytes of the 8-bit code page, like the modem's answers. The thread's
// own messages are Russian, so they go in as Windows-1251, the program's code page.
std::string CodePageText(std::string_view utf8) { return Utf8ToCp1251(utf8); }

}  // namespace

// Everything the dialling thread and the window's thread share. Owned jointly by the
// object, the dialling thread and a running ServeSynchronizedCalls, so that the end
// notification may destroy the object while the other two still finish their part.
struct TRingThread::Shared {
    std::mutex mutex;
    // Every change below is announced here: terminate, a call handed over or done, the end.
    std::condition_variable changed;
    bool terminated = false;

    // The one synchronized call under way. The dialling thread blocks until it is done, so
    // there is never more than one.
    int callKind = NoCall;
    std::string FLogLine;
    bool callServable = false;  // the host was asked; from now on the call may run
    bool callRunning = false;
    bool callDone = false;

    std::function<void(TRingThread&)> terminateHandler;
    std::thread::id endRunningOn;  // the thread inside the end notification, if any
    bool finished = false;
};

TRingThread::TRingThread(const TRingThreadCreateStruct& create)
    : FCreateStruct(create), FShared(std::make_shared<Shared>()) {
    FShared->terminateHandler = FCreateStruct.TerminateHandler;
    // Started last, so every field is set when Execute begins.
    FThread = std::thread(&TRingThread::Run, FShared, this);
}

TRingThread::~TRingThread() {
    {
        std::lock_guard lock(FShared->mutex);
        FShared->terminateHandler = nullptr;
    }
    Terminate();
    bool finished = false;
    for (;;) {
        try {
            finished = WaitServing();
            break;
        } catch (...) {
            // A log line that failed on the way out is lost; the thread is stopped anyway.
        }
    }
    if (finished) {
        FThread.join();
    } else {
        // Destroyed from inside its own end notification: the thread is blocked until that
        // returns, then ends without touching this object again.
        FThread.detach();
    }
    COMHandle port = FhCOM.exchange(InvalidCOMHandle);
    if (port != InvalidCOMHandle) CloseCOMPort(port);
}

void TRingThread::Terminate() {
    std::lock_guard lock(FShared->mutex);
    FShared->terminated = true;
    FShared->changed.notify_all();
}

bool TRingThread::Terminated() const {
    std::lock_guard lock(FShared->mutex);
    return FShared->terminated;
}

void TRingThread::WaitFor() {
    WaitServing();
}

bool TRingThread::Finished() const {
    std::lock_guard lock(FShared->mutex);
    return FShared->finished;
}

std::uint32_t TRingThread::ErrorCode() const {
    return FErrCode.load();
}

void TRingThread::SetErrorCode(std::uint32_t code) {
    FErrCode.store(code);
}

COMHandle TRingThread::hCOM() const {
    return FhCOM.load();
}

bool TRingThread::CallUp() const {
    return FCallUp.load();
}

COMHandle TRingThread::TakePort() {
    return FhCOM.exchange(InvalidCOMHandle);
}

void TRingThread::ServeSynchronizedCalls() {
    // The end notification may destroy this object: from then on only `shared` is used.
    const std::shared_ptr<Shared> shared = FShared;
    std::unique_lock lock(shared->mutex);
    // A call being handed over becomes servable as soon as the host's request returned;
    // the request may well be answered before that.
    shared->changed.wait(lock, [&] { return shared->callKind == NoCall || shared->callServable; });
    if (shared->callKind == NoCall || shared->callRunning || shared->callDone) return;
    shared->callRunning = true;
    const int kind = shared->callKind;
    std::function<void(TRingThread&)> handler;
    std::string line;
    if (kind == EndCall) {
        handler = std::move(shared->terminateHandler);
        shared->terminateHandler = nullptr;
        shared->endRunningOn = std::this_thread::get_id();
    } else {
        line = shared->FLogLine;
    }
    lock.unlock();

    // Marks the call done also when it throws, so the dialling thread never stays blocked;
    // the exception goes on to the window's own error handling.
    struct Done {
        Shared& shared;
        ~Done() {
            std::lock_guard lock(shared.mutex);
            shared.callRunning = false;
            shared.callDone = true;
            shared.endRunningOn = {};
            shared.changed.notify_all();
        }
    } done{*shared};

    if (kind == EndCall) {
        if (handler) handler(*this);
    } else if (FCreateStruct.LogObject) {
        FCreateStruct.LogObject(line);
    }
}

bool TRingThread::WaitServing() {
    const std::shared_ptr<Shared> shared = FShared;
    std::unique_lock lock(shared->mutex);
    for (;;) {
        if (shared->finished) return true;
        if (shared->endRunningOn == std::this_thread::get_id()) return false;
        if (shared->callKind != NoCall && shared->callServable && !shared->callRunning &&
            !shared->callDone) {
            lock.unlock();
            ServeSynchronizedCalls();
            lock.lock();
            continue;
        }
        shared->changed.wait(lock);
    }
}

void TRingThread::Synchronize(Shared& shared, TRingThread& self, int kind, std::string logLine) {
    {
        std::lock_guard lock(shared.mutex);
        shared.callKind = kind;
        shared.FLogLine = std::move(logLine);
        shared.callServable = false;
        shared.callRunning = false;
        shared.callDone = false;
    }
    // Asked before the call can be served: once served, the end notification may destroy
    // `self`.
    if (RingThreadHost* owner = self.FCreateStruct.Owner) owner->RequestSynchronize(self);
    std::unique_lock lock(shared.mutex);
    shared.callServable = true;
    shared.changed.notify_all();
    shared.changed.wait(lock, [&] { return shared.callDone; });
    shared.callKind = NoCall;
    shared.callServable = false;
    shared.callDone = false;
}

void TRingThread::Run(std::shared_ptr<Shared> shared, TRingThread* self) {
    try {
        self->Execute();
    } catch (...) {
        // A failure inside the body (the log writer's, say) ends it like any other stop.
    }
    bool notify = false;
    {
        std::lock_guard lock(shared->mutex);
        notify = static_cast<bool>(shared->terminateHandler);
    }
    if (notify) Synchronize(*shared, *self, EndCall, {});
    std::lock_guard lock(shared->mutex);
    shared->finished = true;
    shared->changed.notify_all();
}

void TRingThread::Sleep(std::chrono::milliseconds duration) {
    std::unique_lock lock(FShared->mutex);
    FShared->changed.wait_for(lock, duration, [&] { return FShared->terminated; });
}

void TRingThread::PostStatus(int stage) {
    if (RingThreadHost* owner = FCreateStruct.Owner) owner->PostRingStatus(*this, stage);
}

void TRingThread::WriteLog(const std::string& text, const std::string& tag) {
    if (!FCreateStruct.FormLines) return;
    for (std::string& line : FCreateStruct.FormLines(text, tag)) {
        Synchronize(*FShared, *this, LogCall, std::move(line));
    }
}

void TRingThread::SendCommand(const std::string& command) {
    WriteCOMPortStr(FhCOM.load(), command + std::string(ModemCommandEnd));
    WriteLog(command, SentTag);
}

// Modems answer late: what the previous command left unread would otherwise be taken for
// the answer to the next one.
void TRingThread::DiscardInput() {
    std::string dropped;
    ReadCOMPortStr(FhCOM.load(), dropped);
}

bool TRingThread::CheckModemError(const std::string& answer) {
    const RingResult result = FindModemResultWord(answer);
    if (result == RingResult::Connected) return false;
    FErrCode = RingCode(result);
    return true;
}

bool TRingThread::WaitForAnswer(const std::string& expected, std::chrono::milliseconds timeout) {
    const auto start = std::chrono::steady_clock::now();
    std::string answer;
    while (!Terminated() && std::chrono::steady_clock::now() - start < timeout) {
        std::string got;
        ReadCOMPortStr(FhCOM.load(), got);
        answer += got;
        if (CheckModemError(answer)) {
            WriteLog(answer, ReceivedTag);
            return false;
        }
        if (AsciiUpperCase(answer).find(expected) != std::string::npos) {
            FLastAnswer = answer;
            WriteLog(answer, ReceivedTag);
            return !Terminated();
        }
        Sleep(FCreateStruct.Timings.poll);
    }
    WriteLog(answer, ReceivedTag);
    return false;
}

bool TRingThread::WaitForOK(std::chrono::milliseconds timeout) {
    return WaitForAnswer("OK", timeout);
}

void TRingThread::Execute() {
    const RingTimings& timings = FCreateStruct.Timings;
    FErrCode = RingCode(RingResult::Connected);

    COMHandle port = InvalidCOMHandle;
    const bool opened = OpenCOMPort(FCreateStruct.COM, FCreateStruct.BaudRate, port);
    FhCOM = port;
    if (!opened) {
        FErrCode = RingCode(RingResult::PortNotOpened);
        WriteLog(CodePageText("Ошибка открытия порта"), "");
        Terminate();
        return;
    }
    // The open leaves DTR off, as the cable devices expect. A modem keeps a call only while
    // DTR is on (AT&D2), and the hang-up's last resort is to drop it, which is no drop
    // unless it was on. A port without the line (a pseudo-terminal) refuses; no harm.
    SetCOMPortDTR(port, true);
    if (Terminated()) return;
    PostStatus(static_cast<int>(RingStage::InitModem));
    WriteLog(CodePageText("Порт успешно открыт"), "");

    // A modem that was just powered or reset talks for a while; collect what it says.
    std::string greeting;
    for (int step = 0; step < timings.wakeSteps; ++step) {
        std::string got;
        ReadCOMPortStr(FhCOM.load(), got);
        greeting += got;
        Sleep(timings.wakeStep);
        if (Terminated()) return;
    }
    WriteLog(greeting, ReceivedTag);
    WriteLog(CodePageText("Инициализация модема"), "");

    for (int reset = 0; reset < 2; ++reset) {
        SendCommand("ATZ");
        DiscardInput();
        Sleep(timings.atzPause);
    }
    if (Terminated()) return;

    DiscardInput();
    SendCommand("AT");
    if (!WaitForOK(timings.okTimeout)) {
        FErrCode = RingCode(RingResult::ModemSilent);
        Terminate();
        return;
    }
    if (Terminated()) return;

    DiscardInput();
    SendCommand("AT+CBST=7,0,1");
    if (!WaitForOK(timings.okTimeout)) {
        FErrCode = RingCode(RingResult::ModemSilent);
        Terminate();
        return;
    }
    PostStatus(static_cast<int>(RingStage::Registration));

    bool registered = false;
    for (int poll = 0; poll < timings.cregPolls && !registered; ++poll) {
        if (Terminated()) return;
        DiscardInput();
        SendCommand("AT+CREG?");
        registered = WaitForAnswer("0,1", timings.cregTimeout);
        if (!registered) Sleep(timings.cregPause);
    }
    if (Terminated()) return;
    if (!registered) {
        FErrCode = RingCode(RingResult::NoRegistration);
        Terminate();
        return;
    }

    Sleep(timings.beforeDial);
    if (Terminated()) return;
    PostStatus(static_cast<int>(RingStage::Dialling));

    DiscardInput();
    FLastAnswer.clear();
    SendCommand("ATD" + FCreateStruct.Phone);
    if (WaitForAnswer("CONNECT", timings.connectTimeout)) {
        FCallUp = true;
        // The outcome is the final answer: an error word seen while polling the
        // registration no longer counts once the call is up. A cancel's 255 stays.
        std::uint32_t seen = FErrCode.load();
        while (seen != RingCode(RingResult::Cancelled) && seen != RingCode(RingResult::Connected) &&
               !FErrCode.compare_exchange_weak(seen, RingCode(RingResult::Connected))) {
        }
        Sleep(timings.afterConnect);
        Terminate();
        return;
    }
    // Cancelled just as CONNECT came (seen, or waiting unread): the call is up all the
    // same, and "ATH" would only reach the device; the owner hangs up.
    if (Terminated() && FLastAnswer.empty()) {
        std::string late;
        ReadCOMPortStr(FhCOM.load(), late);
        if (AsciiUpperCase(late).find("CONNECT") != std::string::npos) {
            FLastAnswer = late;
            WriteLog(late, ReceivedTag);
        }
    }
    if (!FLastAnswer.empty()) {
        FCallUp = true;
        Terminate();
        return;
    }
    if (FErrCode == RingCode(RingResult::Connected)) FErrCode = RingCode(RingResult::NoAnswer);
    SendCommand(std::string(HangUpCommand));
    Terminate();
}

}  // namespace lintaro
