// Plays the Plug and Play side of a serial port under Wine, which has none for a
// pseudo-terminal: registers the Ports-class device "<name>" (friendly name ending in
// "(<name>)") so the wizard's presence test finds it, and keeps it while running.
// Usage: lintaro-port-device COM5
#include <windows.h>

#include <cstdio>
#include <exception>

#include "PortDevice_win.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: lintaro-port-device <port name>\n");
        return 2;
    }
    try {
        const lintaro::testing_support::RegisteredPortDevice device(argv[1]);
        std::printf("registered %s\n", argv[1]);
        std::fflush(stdout);
        for (;;) Sleep(1000);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
}
