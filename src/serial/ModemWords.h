// The words of the modem dialogue that both the dialling thread and the bridge use: the
// result words that end a call, the hang-up, the command end, and the ASCII upper case
// in which modem answers are matched.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>

namespace lintaro {

// Every command to the modem ends with CR LF.
inline constexpr std::string_view ModemCommandEnd = "\r\n";
inline constexpr std::string_view HangUpCommand = "ATH";
// The hang-up command as written to the modem (the whole sequence: serial/ModemHangUp.h).
inline std::string HangUpLine() { return std::string(HangUpCommand) + std::string(ModemCommandEnd); }

// The dialling thread's results (its ErrorCode); RingErrorTexts holds the texts of 1..7.
enum class RingResult : std::uint32_t {
    Connected = 0,
    PortNotOpened = 1,
    ModemSilent = 2,      // the modem did not answer
    NoRegistration = 3,   // not registered in the GSM network
    Busy = 4,
    NoCarrier = 5,
    NoDialtone = 6,
    NoAnswer = 7,         // also: no CONNECT in time
    Cancelled = 255,
};

inline constexpr std::uint32_t RingCode(RingResult result) {
    return static_cast<std::uint32_t>(result);
}

// The dialling stages the thread reports (WM_RINGSTATUS).
enum class RingStage : int { InitModem = 1, Registration = 2, Dialling = 3 };

// Modem answers are matched in upper case; the words looked for are all ASCII.
inline char AsciiUpper(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

inline std::string AsciiUpperCase(std::string_view text) {
    std::string upper(text);
    for (char& c : upper) c = AsciiUpper(c);
    return upper;
}

// The result words that end a call, with the dialling result each stands for.
struct ModemResultWord {
    std::string_view word;
    RingResult result;
};
inline constexpr ModemResultWord ModemResultWords[] = {
    {"BUSY", RingResult::Busy},
    {"NO CARRIER", RingResult::NoCarrier},
    {"NO DIALTONE", RingResult::NoDialtone},
    {"NO ANSWER", RingResult::NoAnswer},
};

// The first result word found anywhere in `text` (any letter case), or Connected when none.
inline RingResult FindModemResultWord(std::string_view text) {
    const std::string upper = AsciiUpperCase(text);
    for (const ModemResultWord& entry : ModemResultWords) {
        if (upper.find(entry.word) != std::string::npos) return entry.result;
    }
    return RingResult::Connected;
}

// Watches a stream of reads for a result word, also one split across two reads: each
// read is looked at together with the end of the one before.
class ModemResultWatch {
public:
    RingResult Feed(std::string_view bytes) {
        std::string window = FTail;
        window.append(bytes);
        const RingResult result = FindModemResultWord(window);
        const std::size_t keep = std::min(window.size(), LongestWord() - 1);
        FTail = window.substr(window.size() - keep);
        return result;
    }
    void Reset() { FTail.clear(); }

private:
    static constexpr std::size_t LongestWord() {
        std::size_t longest = 0;
        for (const ModemResultWord& entry : ModemResultWords) {
            longest = std::max(longest, entry.word.size());
        }
        return longest;
    }
    std::string FTail;
};

}  // namespace lintaro
