// Runs a fuzz target where libFuzzer is not available (a GCC build): inputs made of random
// bytes and of the words the parsers look for, grown from earlier inputs, for a bounded
// time. Usage: <target> [--seconds N] [--seed S] [input files...]. Files are run once
// each instead. A failing input is printed in hex before the target aborts.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "FuzzCheck.h"

namespace {

// The input being run, for the report of a crash.
const std::uint8_t* gData = nullptr;
std::size_t gSize = 0;

void WriteHex(int fd) {
    static const char digits[] = "0123456789abcdef";
    char pair[2];
    for (std::size_t i = 0; i < gSize; ++i) {
        pair[0] = digits[gData[i] >> 4];
        pair[1] = digits[gData[i] & 15];
        [[maybe_unused]] ssize_t n = ::write(fd, pair, 2);
    }
    [[maybe_unused]] ssize_t n = ::write(fd, "\n", 1);
}

void OnCrash(int sig) {
    static const char head[] = "failing input (hex): ";
    [[maybe_unused]] ssize_t n = ::write(2, head, sizeof head - 1);
    WriteHex(2);
    ::signal(sig, SIG_DFL);
    ::raise(sig);
}

// What setup.ini, identification replies, log text, terminal driver tables, port lists and
// phone numbers are made of.
const std::vector<std::string> kWords = {"=",
                                         "\r\n",
                                         "\r",
                                         "\n",
                                         ",",
                                         ".",
                                         "\"",
                                         std::string(1, '\0'),
                                         "\xEF\xBB\xBF",
                                         "\xFF\xFE",
                                         "\xFE\xFF",
                                         "OK\r\n",
                                         " ",
                                         "\t",
                                         "ID,",
                                         "ABC12.3.4",
                                         "ABC12=abc12setup",
                                         "[Programs]",
                                         "..",
                                         "/",
                                         "\\",
                                         ":",
                                         "C:",
                                         "serial",
                                         "pty:slave",
                                         "system:console",
                                         "188",
                                         "0-511",
                                         "4294967295",
                                         "-",
                                         "99999999999999999999",
                                         "+7",
                                         "*#",
                                         "W",
                                         "P",
                                         ";",
                                         "AT+CFUN=0",
                                         "\xD0\x9F",
                                         "\xC0",
                                         "\x80",
                                         "\xFF",
                                         "(COM3)",
                                         "COM",
                                         "/dev/ttyUSB0"};

std::string RandomInput(std::mt19937_64& random, const std::vector<std::string>& pool) {
    std::string input;
    if (!pool.empty() && random() % 2 == 0) input = pool[random() % pool.size()];
    const std::size_t pieces = 1 + random() % 24;
    for (std::size_t i = 0; i < pieces && input.size() < 4096; ++i) {
        switch (random() % 4) {
            case 0:
            case 1:
                input.insert(input.empty() ? 0 : random() % (input.size() + 1),
                             kWords[random() % kWords.size()]);
                break;
            case 2:
                for (std::size_t n = random() % 8; n > 0; --n) {
                    input.push_back(static_cast<char>(random() & 0xFF));
                }
                break;
            default:
                if (!input.empty()) input.erase(random() % input.size(), 1 + random() % 4);
                break;
        }
    }
    return input;
}

int RunOnce(const std::string& input) {
    gData = reinterpret_cast<const std::uint8_t*>(input.data());
    gSize = input.size();
    return LLVMFuzzerTestOneInput(gData, gSize);
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 3;
    std::uint64_t seed = std::random_device()();
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
            seconds = std::atof(argv[++i]);
        } else if (std::strcmp(argv[i], "--seed") == 0 && i + 1 < argc) {
            seed = std::strtoull(argv[++i], nullptr, 10);
        } else {
            files.emplace_back(argv[i]);
        }
    }
    for (const int sig : {SIGABRT, SIGSEGV, SIGBUS, SIGFPE, SIGILL}) ::signal(sig, OnCrash);

    if (!files.empty()) {
        for (const std::string& file : files) {
            std::ifstream in(file, std::ios::binary);
            RunOnce(std::string(std::istreambuf_iterator<char>(in), {}));
        }
        return 0;
    }

    std::printf("seed %llu, %.1f s\n", static_cast<unsigned long long>(seed), seconds);
    std::mt19937_64 random(seed);
    std::vector<std::string> pool;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    std::uint64_t runs = 0;
    RunOnce({});
    while (std::chrono::steady_clock::now() < deadline) {
        std::string input = RandomInput(random, pool);
        RunOnce(input);
        ++runs;
        // A few earlier inputs are kept to grow longer ones from.
        if (pool.size() < 256) {
            pool.push_back(std::move(input));
        } else {
            pool[random() % pool.size()] = std::move(input);
        }
    }
    std::printf("%llu inputs\n", static_cast<unsigned long long>(runs));
    return 0;
}
