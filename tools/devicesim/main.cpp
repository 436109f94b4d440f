// lintaro-devsim: plays a device on a pseudo-terminal until it is told to stop.
//
//   lintaro-devsim [--dir DIR] [--name NAME] [--mode echo|record]
//                  [--id TEXT]... [--id-gap MS] [--no-id] [--control PORT]
//
// The port appears as DIR/NAME (DIR defaults to $LINTARO_PORT_DIR); its path is printed on
// one line once the device is ready. Each --id gives one piece of the identification reply
// (\r, \n, \t, \\ and \xHH are understood), sent MS milliseconds apart. SIGUSR1 unplugs the
// device, SIGUSR2 plugs it in again, SIGTERM or SIGINT ends the program. --control serves
// the remote control channel of ControlChannel.h on 127.0.0.1:PORT (0: a free port) and
// prints "control PORT" as a second line.
//
// --mode modem plays a GSM modem with the device behind it (the --id options are the
// device's). Its options:
//   --atz|--at|--cbst ok|error|silent   the answer to "ATZ", "AT", "AT+CBST=7,0,1"
//   --creg STATE...                     what each "AT+CREG?" reports (0,1 0,2 0,5); the last stays
//   --dial connect|busy|no-carrier|no-dialtone|no-answer|silent   the outcome of "ATD"
//   --dial-delay MS                     when the outcome comes
//   --answer-delay MS[-MS]              how late the answers come (the echo comes at once)
//   --no-echo, --escape-guard MS        no command echo; the silence that makes "+++" an escape
// SIGALRM drops the call ("NO CARRIER").
#include <signal.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ControlChannel.h"
#include "DeviceSimulator.h"
#include "InstrumentPersonality.h"
#include "ModemPersonality.h"

namespace {

using lintaro::devsim::DeviceSimulator;
using lintaro::devsim::InstrumentPersonality;
using lintaro::devsim::ModemPersonality;

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string Unescape(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out.push_back(text[i]);
            continue;
        }
        const char c = text[++i];
        if (c == 'r') {
            out.push_back('\r');
        } else if (c == 'n') {
            out.push_back('\n');
        } else if (c == 't') {
            out.push_back('\t');
        } else if (c == '\\') {
            out.push_back('\\');
        } else if (c == 'x' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
                   HexValue(text[i + 2]) >= 0) {
            out.push_back(static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2])));
            i += 2;
        } else {
            out.push_back('\\');
            out.push_back(c);
        }
    }
    return out;
}

struct Options {
    std::string dir;
    std::string name = "sim0";
    InstrumentPersonality::Mode mode = InstrumentPersonality::Mode::Echo;
    std::vector<std::string> id{std::string(InstrumentPersonality::DefaultIdentification)};
    bool idGiven = false;
    std::chrono::milliseconds gap{0};
    int control = -1;
    bool modem = false;
    std::vector<std::pair<std::string, ModemPersonality::Reply>> replies;
    std::vector<std::string> registration;
    ModemPersonality::DialOutcome dial = ModemPersonality::DialOutcome::Connect;
    std::chrono::milliseconds dialDelay{0};
    std::chrono::milliseconds leastDelay{0};
    std::chrono::milliseconds mostDelay{0};
    bool echo = true;
    std::optional<std::chrono::milliseconds> escapeGuard;
};

[[noreturn]] void Usage(const std::string& problem) {
    std::cerr << "lintaro-devsim: " << problem << "\n"
              << "usage: lintaro-devsim [--dir DIR] [--name NAME] [--mode echo|record|modem]"
                 " [--id TEXT]... [--id-gap MS] [--no-id] [--control PORT]\n"
                 "  modem: [--atz|--at|--cbst ok|error|silent] [--creg STATE]... [--dial OUTCOME]\n"
                 "         [--dial-delay MS] [--answer-delay MS[-MS]] [--no-echo]"
                 " [--escape-guard MS]\n";
    std::exit(2);
}

ModemPersonality::Reply ParseReply(const std::string& text) {
    if (text == "ok") return ModemPersonality::Reply::Ok;
    if (text == "error") return ModemPersonality::Reply::Error;
    if (text == "silent") return ModemPersonality::Reply::Silent;
    Usage("unknown answer " + text);
}

ModemPersonality::DialOutcome ParseDial(const std::string& text) {
    using Outcome = ModemPersonality::DialOutcome;
    if (text == "connect") return Outcome::Connect;
    if (text == "busy") return Outcome::Busy;
    if (text == "no-carrier") return Outcome::NoCarrier;
    if (text == "no-dialtone") return Outcome::NoDialtone;
    if (text == "no-answer") return Outcome::NoAnswer;
    if (text == "silent") return Outcome::Silent;
    Usage("unknown dial outcome " + text);
}

std::chrono::milliseconds Milliseconds(const std::string& text) {
    return std::chrono::milliseconds(std::atoi(text.c_str()));
}

Options ParseOptions(int argc, char** argv) {
    Options options;
    if (const char* dir = std::getenv("LINTARO_PORT_DIR")) options.dir = dir;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        const auto value = [&]() -> std::string {
            if (i + 1 >= argc) Usage(std::string(arg) + " needs a value");
            return argv[++i];
        };
        if (arg == "--dir") {
            options.dir = value();
        } else if (arg == "--name") {
            options.name = value();
        } else if (arg == "--mode") {
            const std::string mode = value();
            if (mode == "echo") {
                options.mode = InstrumentPersonality::Mode::Echo;
            } else if (mode == "record") {
                options.mode = InstrumentPersonality::Mode::Record;
            } else if (mode == "modem") {
                options.modem = true;
            } else {
                Usage("unknown mode " + mode);
            }
        } else if (arg == "--id") {
            if (!options.idGiven) options.id.clear();
            options.idGiven = true;
            options.id.push_back(Unescape(value()));
        } else if (arg == "--id-gap") {
            options.gap = std::chrono::milliseconds(std::atoi(value().c_str()));
        } else if (arg == "--control") {
            options.control = std::atoi(value().c_str());
            if (options.control < 0 || options.control > 65535) Usage("no such TCP port");
        } else if (arg == "--no-id") {
            options.idGiven = true;
            options.id.clear();
        } else if (arg == "--atz" || arg == "--at" || arg == "--cbst") {
            const char* command = arg == "--atz" ? "ATZ" : arg == "--at" ? "AT" : "AT+CBST=7,0,1";
            options.replies.emplace_back(command, ParseReply(value()));
        } else if (arg == "--creg") {
            options.registration.push_back(value());
        } else if (arg == "--dial") {
            options.dial = ParseDial(value());
        } else if (arg == "--dial-delay") {
            options.dialDelay = Milliseconds(value());
        } else if (arg == "--answer-delay") {
            const std::string range = value();
            const std::size_t dash = range.find('-');
            options.leastDelay = Milliseconds(range.substr(0, dash));
            options.mostDelay = dash == std::string::npos ? options.leastDelay
                                                          : Milliseconds(range.substr(dash + 1));
        } else if (arg == "--no-echo") {
            options.echo = false;
        } else if (arg == "--escape-guard") {
            options.escapeGuard = Milliseconds(value());
        } else {
            Usage("unknown option " + std::string(arg));
        }
    }
    if (options.dir.empty()) Usage("no folder: give --dir or set LINTARO_PORT_DIR");
    if (options.name.empty() || options.name.find('/') != std::string::npos) {
        Usage("the name must be a plain file name");
    }
    return options;
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = ParseOptions(argc, argv);

    // The signals are taken one by one by sigwait below; blocked before the worker thread
    // starts, so that it inherits the mask and never runs a handler.
    sigset_t signals;
    sigemptyset(&signals);
    for (const int s : {SIGUSR1, SIGUSR2, SIGTERM, SIGINT, SIGHUP, SIGALRM}) sigaddset(&signals, s);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    auto instrument = std::make_shared<InstrumentPersonality>();
    instrument->setMode(options.mode);
    instrument->setIdentification(options.id, options.gap);
    std::shared_ptr<ModemPersonality> modem;
    if (options.modem) {
        modem = std::make_shared<ModemPersonality>(instrument);
        for (const auto& [command, reply] : options.replies) modem->setReply(command, reply);
        if (!options.registration.empty()) modem->setRegistration(options.registration);
        modem->setDial(options.dial, options.dialDelay);
        modem->setAnswerDelay(options.leastDelay, options.mostDelay);
        modem->setEcho(options.echo);
        if (options.escapeGuard) modem->setEscapeGuard(*options.escapeGuard);
    }
    DeviceSimulator simulator(
        options.dir, options.name,
        modem ? std::shared_ptr<lintaro::devsim::DevicePersonality>(modem) : instrument);
    // The modem's late answers go through the simulator; cut that off before it goes.
    struct Unhook {
        ModemPersonality* modem;
        ~Unhook() {
            if (modem) modem->setOutput({});
        }
    } unhook{modem.get()};
    if (modem) {
        modem->setOutput([&simulator](std::string bytes) { simulator.send(std::move(bytes)); });
    }
    try {
        simulator.start();
    } catch (const std::exception& e) {
        std::cerr << "lintaro-devsim: " << e.what() << "\n";
        return 1;
    }
    std::cout << simulator.portPath() << std::endl;

    std::unique_ptr<lintaro::devsim::ControlChannel> control;
    if (options.control >= 0) {
        control = std::make_unique<lintaro::devsim::ControlChannel>(
            simulator, *instrument,
            lintaro::devsim::ControlChannel::Defaults{options.mode, options.id, options.gap});
        try {
            control->start(static_cast<std::uint16_t>(options.control));
        } catch (const std::exception& e) {
            std::cerr << "lintaro-devsim: control channel: " << e.what() << "\n";
            return 1;
        }
        std::cout << "control " << control->port() << std::endl;
    }

    for (;;) {
        int s = 0;
        if (sigwait(&signals, &s) != 0) continue;
        if (s == SIGUSR1) {
            simulator.vanish();
        } else if (s == SIGUSR2) {
            try {
                simulator.reappear();
            } catch (const std::exception& e) {
                std::cerr << "lintaro-devsim: " << e.what() << "\n";
            }
        } else if (s == SIGALRM) {
            if (modem) modem->dropCall();
        } else {
            break;
        }
    }
    if (control) control->stop();
    simulator.stop();
    return 0;
}
