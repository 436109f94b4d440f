// lintaro-devsim: plays a device on a pseudo-terminal until it is told to stop.
//
//   lintaro-devsim [--dir DIR] [--name NAME] [--mode echo|record]
//                  [--id TEXT]... [--id-gap MS] [--no-id]
//
// The port appears as DIR/NAME (DIR defaults to $LINTARO_PORT_DIR); its path is printed on
// one line once the device is ready. Each --id gives one piece of the identification reply
// (\r, \n, \t, \\ and \xHH are understood), sent MS milliseconds apart. SIGUSR1 unplugs the
// device, SIGUSR2 plugs it in again, SIGTERM or SIGINT ends the program.
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "DeviceSimulator.h"
#include "InstrumentPersonality.h"

namespace {

using lintaro::devsim::DeviceSimulator;
using lintaro::devsim::InstrumentPersonality;

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
};

[[noreturn]] void Usage(const std::string& problem) {
    std::cerr << "lintaro-devsim: " << problem << "\n"
              << "usage: lintaro-devsim [--dir DIR] [--name NAME] [--mode echo|record]"
                 " [--id TEXT]... [--id-gap MS] [--no-id]\n";
    std::exit(2);
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
            } else {
                Usage("unknown mode " + mode);
            }
        } else if (arg == "--id") {
            if (!options.idGiven) options.id.clear();
            options.idGiven = true;
            options.id.push_back(Unescape(value()));
        } else if (arg == "--id-gap") {
            options.gap = std::chrono::milliseconds(std::atoi(value().c_str()));
        } else if (arg == "--no-id") {
            options.idGiven = true;
            options.id.clear();
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
    for (const int s : {SIGUSR1, SIGUSR2, SIGTERM, SIGINT, SIGHUP}) sigaddset(&signals, s);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    auto instrument = std::make_shared<InstrumentPersonality>();
    instrument->setMode(options.mode);
    instrument->setIdentification(options.id, options.gap);
    DeviceSimulator simulator(options.dir, options.name, instrument);
    try {
        simulator.start();
    } catch (const std::exception& e) {
        std::cerr << "lintaro-devsim: " << e.what() << "\n";
        return 1;
    }
    std::cout << simulator.portPath() << std::endl;

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
        } else {
            break;
        }
    }
    simulator.stop();
    return 0;
}
