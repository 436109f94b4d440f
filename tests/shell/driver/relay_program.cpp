// Stand-in configuration program for the black-box tests: connects to the wizard's server
// (port LINTARO_RELAY_BRIDGE_PORT) and to the test (port LINTARO_RELAY_TEST_PORT), both on
// 127.0.0.1, and relays bytes both ways until either side goes. Its process id is written
// to "relay.pid" in its working directory (the program folder) once both connections are
// up, so the test can see that it was ended.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

int Connect(const char* variable) {
    const char* text = std::getenv(variable);
    const int port = text != nullptr ? std::atoi(text) : 0;
    if (port <= 0 || port > 65535) return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // The server may come up just after the start: a few tries, 50 ms apart.
    for (int attempt = 0; attempt < 100; ++attempt) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return -1;
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
        ::close(fd);
        ::usleep(50 * 1000);
    }
    return -1;
}

// One direction: what `from` has is written on to `to` (both blocking; poll says `from`
// is readable). False when `from` ended or either side failed.
bool Forward(int from, int to) {
    char buffer[65536];
    const ssize_t n = ::read(from, buffer, sizeof buffer);
    if (n <= 0) return n < 0 && errno == EINTR;
    for (ssize_t done = 0; done < n;) {
        const ssize_t w = ::write(to, buffer + done, static_cast<size_t>(n - done));
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        done += w;
    }
    return true;
}

}  // namespace

int main() {
    const int bridge = Connect("LINTARO_RELAY_BRIDGE_PORT");
    const int test = Connect("LINTARO_RELAY_TEST_PORT");
    if (bridge < 0 || test < 0) return 1;
    FILE* file = std::fopen("relay.tmp", "w");
    if (file == nullptr) return 1;
    std::fprintf(file, "%d\n", static_cast<int>(::getpid()));
    std::fclose(file);
    if (std::rename("relay.tmp", "relay.pid") != 0) return 1;
    for (;;) {
        pollfd fds[2] = {{bridge, POLLIN, 0}, {test, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return 1;
        }
        if (fds[0].revents != 0 && !Forward(bridge, test)) return 0;
        if (fds[1].revents != 0 && !Forward(test, bridge)) return 0;
    }
}
