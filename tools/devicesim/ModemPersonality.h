// A GSM modem with the field device behind it: AT commands until "ATD" brings a data call
// up, then the device itself until "+++" and "ATH" hang up. Answers may come late, as real
// modems' do, and the network may drop the call.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "DevicePersonality.h"
#include "DeviceSimulator.h"
#include "InstrumentPersonality.h"

namespace lintaro::devsim {

class ModemPersonality : public DevicePersonality {
public:
    using Clock = std::chrono::steady_clock;

    enum class Reply { Ok, Error, Silent };
    enum class DialOutcome { Connect, Busy, NoCarrier, NoDialtone, NoAnswer, Silent };
    enum class State {
        Command,        // takes AT commands
        Dialling,       // after "ATD", until the outcome; any byte from the host aborts it
        Data,           // the call is up: bytes go to and come from the device
        OnlineCommand,  // the call is up but "+++" switched back to commands
    };

    // Bytes as the terminal delivered them, with the time they arrived. Writes the host made
    // back to back may arrive as one piece; writes with a pause between them never do.
    struct Piece {
        Clock::time_point at;
        std::string bytes;
    };

    static constexpr std::string_view ConnectText = "CONNECT 9600";

    explicit ModemPersonality(
        std::shared_ptr<InstrumentPersonality> device = std::make_shared<InstrumentPersonality>());
    ~ModemPersonality() override;

    ModemPersonality(const ModemPersonality&) = delete;
    ModemPersonality& operator=(const ModemPersonality&) = delete;

    // Where answers due later and the dropped-call notice go (the simulator's send); empty
    // drops them. Waits for a send in progress, so that after setOutput({}) the old target
    // is no longer called.
    void setOutput(std::function<void(std::string)> output);

    // The setters may be called from any thread, also while the simulator runs.
    // The answer to "ATZ", "AT" or "AT+CBST=7,0,1" (all "OK" at first). Other commands
    // that the modem does not know are answered "ERROR".
    void setReply(std::string_view command, Reply reply);
    // The registration states that "AT+CREG?" reports ("0,1", "0,2", "0,5"), one per
    // poll; the last one stays. At first always "0,1". A state may carry further lines
    // of the answer after it, such as a stray result word ("0,2\r\n\r\nNO CARRIER").
    void setRegistration(std::vector<std::string> states);
    // What "ATD" leads to, `delay` after the command (at first CONNECT at once).
    void setDial(DialOutcome outcome, std::chrono::milliseconds delay = {});
    // Each answer comes between `least` and `most` after its command; the echo comes at once.
    void setAnswerDelay(std::chrono::milliseconds least, std::chrono::milliseconds most);
    // Command echo, on at first (also switched by "ATE0", "ATE1").
    void setEcho(bool echo);
    // The guard time (register S12, 1 s at first): "+++" is an escape rather than data only
    // with this much silence from the host before and after it (0: at once, always).
    void setEscapeGuard(std::chrono::milliseconds guard);

    // The device behind the modem, for its own settings.
    InstrumentPersonality& device() { return *device_; }

    // The network ends the call: "NO CARRIER" to the host and back to commands. Nothing
    // happens outside a call. With `split`, the word leaves in two pieces ("\r\nNO CAR",
    // then the rest `split` later), as a slow line may deliver it.
    void dropCall(std::chrono::milliseconds split = {});

    State state() const;
    // Every command line received (up to its CR, line feeds left out), in order.
    std::vector<std::string> commands() const;
    // What followed "ATD" in each dial command, exactly as received.
    std::vector<std::string> dialled() const;
    std::vector<Piece> pieces() const;
    std::size_t hangUps() const;
    void clearRecord();

    void onReceived(std::string_view bytes, DeviceLink& link) override;
    void onReset() override;

private:
    // Runs under mutex_ when due; returns the bytes to send.
    using Action = std::function<std::string()>;

    // Both take bytes until the state changes and return the rest.
    std::string_view receiveCommand(std::string_view bytes, DeviceLink& link);
    std::string_view receiveData(std::string_view bytes, DeviceLink& link);
    void executeLine(std::string line, DeviceLink& link);
    void answer(std::string bytes, DeviceLink& link);
    void schedule(Clock::time_point due, Action action);
    void endCall();
    void emit(const std::string& bytes);
    void runTimer();

    const std::shared_ptr<InstrumentPersonality> device_;

    mutable std::mutex mutex_;
    std::condition_variable timerChanged_;
    std::map<std::string, Reply> replies_;
    std::vector<std::string> registration_{"0,1"};
    std::size_t registrationPolls_ = 0;
    DialOutcome dialOutcome_ = DialOutcome::Connect;
    std::chrono::milliseconds dialDelay_{0};
    std::chrono::milliseconds leastDelay_{0};
    std::chrono::milliseconds mostDelay_{0};
    std::minstd_rand random_{1};
    bool echo_ = true;
    std::chrono::milliseconds escapeGuard_{1000};
    // When the host last sent data during the call (or the call came up).
    Clock::time_point lastDataAt_{};

    State state_ = State::Command;
    std::string line_;
    bool afterCommand_ = false;  // the last byte was the CR of a command
    int heldPluses_ = 0;
    // Bumped when a call ends or starts and when data arrives, so that an outcome or an
    // escape scheduled before no longer applies.
    std::uint64_t callEpoch_ = 0;
    std::uint64_t dataEpoch_ = 0;

    std::vector<std::string> commands_;
    std::vector<std::string> dialled_;
    std::vector<Piece> pieces_;
    std::size_t hangUps_ = 0;

    std::multimap<Clock::time_point, Action> timers_;
    Clock::time_point lastAnswerDue_{};
    bool stopping_ = false;

    std::mutex outputMutex_;  // held while output_ is called
    std::function<void(std::string)> output_;
    std::thread timer_;
};

// A GSM modem on a pseudo-terminal: the simulator with a modem personality whose late
// answers go through it.
class ModemSimulator {
public:
    ModemSimulator(std::string dir, std::string name,
                   std::shared_ptr<ModemPersonality> modem = std::make_shared<ModemPersonality>());
    ~ModemSimulator();

    ModemSimulator(const ModemSimulator&) = delete;
    ModemSimulator& operator=(const ModemSimulator&) = delete;

    ModemPersonality& modem() { return *modem_; }
    DeviceSimulator& simulator() { return simulator_; }
    const std::string& portPath() const { return simulator_.portPath(); }

private:
    const std::shared_ptr<ModemPersonality> modem_;
    DeviceSimulator simulator_;
};

}  // namespace lintaro::devsim
