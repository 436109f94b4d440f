// The peer check under another user's load: another user holds many loopback sockets
// (19,000 by default) and floods the server with connections, while the user's own
// program does small round trips through a server that, as the bridge does, checks every
// connection it accepts on the thread that relays. Printed for the kernel's exact look-up
// (the program's check) and for the walk of the whole /proc/net/tcp that it replaced:
//   - cost of one check of the user's own connection (median, p99);
//   - round trips of the user's program during the flood (p50, p99, max; goal: under
//     50 ms), connections refused, and whether one of the user's was refused.
// Run as root for a second user id (nobody); otherwise the load is the user's own.
#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "OtherUser.h"
#include "bridge/PeerCheck.h"

namespace {

using Clock = std::chrono::steady_clock;
using Check = std::function<bool(int)>;

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

double Percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<std::size_t>(p * values.size()))];
}

// The check as it was: the row of /proc/net/tcp whose ends are the connection's, reversed.
bool TableWalkCheck(int fd) {
    sockaddr_in local{}, peer{};
    socklen_t length = sizeof local;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) return false;
    length = sizeof peer;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0) return false;
    char wantLocal[16], wantRemote[16];
    std::snprintf(wantLocal, sizeof wantLocal, "%08X:%04X", peer.sin_addr.s_addr,
                  ntohs(peer.sin_port));
    std::snprintf(wantRemote, sizeof wantRemote, "%08X:%04X", local.sin_addr.s_addr,
                  ntohs(local.sin_port));
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line);
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, l, r, state, queues, timer, retransmits;
        long uid = -1;
        if (fields >> slot >> l >> r >> state >> queues >> timer >> retransmits >> uid &&
            l == wantLocal && r == wantRemote)
            return uid >= 0 && static_cast<uid_t>(uid) == ::geteuid();
    }
    return false;
}

// A listening socket on 127.0.0.1 at a port of the system's choice.
int Listener(std::uint16_t& port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, 4096) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        std::perror("listener");
        std::exit(1);
    }
    port = ntohs(address.sin_port);
    return fd;
}

int Connect(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
        return fd;
    if (fd >= 0) ::close(fd);
    return -1;
}

// Runs `work` in a child as the other user when this process may switch, else as itself;
// the child ends with this process.
pid_t AsOtherUser(const std::function<void()>& work) {
    const pid_t pid = ::fork();
    if (pid != 0) return pid;
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    const uid_t other = lintaro::test::OtherUserId;
    if (::geteuid() == 0 &&
        (::setgroups(0, nullptr) != 0 || ::setresgid(other, other, other) != 0 ||
         ::setresuid(other, other, other) != 0))
        ::_exit(3);
    work();
    ::_exit(0);
}

// The other user's sockets: pairs of loopback connections to a listener of its own, held
// until it is killed. Returns once they are all open.
pid_t Hoard(int sockets) {
    int ready[2];
    if (::pipe(ready) != 0) std::exit(1);
    const pid_t pid = AsOtherUser([&] {
        std::uint16_t port = 0;
        const int listener = Listener(port);
        for (int i = 0; i + 1 < sockets; i += 2) {
            if (Connect(port) < 0 || ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC) < 0) break;
        }
        [[maybe_unused]] const ssize_t n = ::write(ready[1], "r", 1);
        for (;;) ::pause();
    });
    ::close(ready[1]);
    char byte;
    [[maybe_unused]] const ssize_t n = ::read(ready[0], &byte, 1);
    ::close(ready[0]);
    return pid;
}

void CostOfOneCheck(const char* name, const Check& check, int count) {
    std::uint16_t port = 0;
    const int listener = Listener(port);
    std::vector<double> costs;
    int refused = 0;
    for (int i = 0; i < count; ++i) {
        const int client = Connect(port);
        const int accepted = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        const auto start = Clock::now();
        const bool ours = check(accepted);
        costs.push_back(Ms(Clock::now() - start));
        refused += ours ? 0 : 1;
        ::close(accepted);
        ::close(client);
    }
    ::close(listener);
    std::printf("  %-26s one check of the user's connection: median %.3f ms, p99 %.3f ms%s\n", name,
                Percentile(costs, 0.5), Percentile(costs, 0.99),
                refused > 0 ? "  (REFUSED some!)" : "");
}

// The server as the bridge runs it: accepts, checks and echoes on one thread.
void RoundTripsDuringFlood(const char* name, const Check& check, int seconds) {
    std::uint16_t port = 0;
    const int listener = Listener(port);
    ::fcntl(listener, F_SETFL, O_NONBLOCK);
    std::atomic<bool> stop{false};
    std::atomic<int> refusedOthers{0}, refusedOurs{0};
    std::thread server([&] {
        std::vector<pollfd> fds{{listener, POLLIN, 0}};
        while (!stop) {
            if (::poll(fds.data(), fds.size(), 50) <= 0) continue;
            for (std::size_t i = fds.size(); i-- > 1;) {
                if (fds[i].revents == 0) continue;
                char buffer[256];
                const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
                if (n <= 0 || ::write(fds[i].fd, buffer, static_cast<std::size_t>(n)) != n) {
                    ::close(fds[i].fd);
                    fds.erase(fds.begin() + static_cast<std::ptrdiff_t>(i));
                }
            }
            if ((fds[0].revents & POLLIN) == 0) continue;
            for (int k = 0; k < 64; ++k) {
                const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
                if (fd < 0) break;
                if (check(fd)) {
                    fds.push_back({fd, POLLIN, 0});
                } else {
                    ++refusedOthers;
                    ::close(fd);
                }
            }
        }
        for (const pollfd& p : fds) ::close(p.fd);
    });
    // The user's program is connected (and served once) before the flood begins.
    const int own = Connect(port);
    const timeval patience{10, 0};
    ::setsockopt(own, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    char first = 'x';
    if (::write(own, &first, 1) != 1 || ::read(own, &first, 1) != 1) ++refusedOurs;
    const pid_t flood = AsOtherUser([&] {
        for (;;) {
            const int fd = Connect(port);
            if (fd >= 0) ::close(fd);
        }
    });
    std::vector<double> trips;
    const auto end = Clock::now() + std::chrono::seconds(seconds);
    while (Clock::now() < end && own >= 0 && refusedOurs == 0) {
        char message[16] = "round trip 0123";
        const auto start = Clock::now();
        if (::write(own, message, sizeof message) != static_cast<ssize_t>(sizeof message)) break;
        std::size_t got = 0;
        while (got < sizeof message) {
            const ssize_t n = ::read(own, message + got, sizeof message - got);
            if (n <= 0) break;
            got += static_cast<std::size_t>(n);
        }
        if (got < sizeof message) {
            // Cut off, or no answer within 10 s.
            ++refusedOurs;
            break;
        }
        trips.push_back(Ms(Clock::now() - start));
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ::kill(flood, SIGKILL);
    ::waitpid(flood, nullptr, 0);
    stop = true;
    server.join();
    if (own >= 0) ::close(own);
    ::close(listener);
    std::printf(
        "  %-26s round trips during the flood: %zu, p50 %.2f ms, p99 %.2f ms, max %.2f ms; "
        "flood connections refused %d; the user's connection %s\n",
        name, trips.size(), Percentile(trips, 0.5), Percentile(trips, 0.99),
        trips.empty() ? 0.0 : *std::max_element(trips.begin(), trips.end()), refusedOthers.load(),
        own < 0 || refusedOurs > 0 ? "REFUSED or stalled over 10 s" : "served");
}

}  // namespace

int main(int argc, char** argv) {
    int sockets = 19000, checks = 300, seconds = 5;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        const int value = std::atoi(argv[i + 1]);
        if (option == "--sockets")
            sockets = value;
        else if (option == "--checks")
            checks = value;
        else if (option == "--seconds")
            seconds = value;
        else {
            std::fprintf(stderr,
                         "usage: peer_check_bench [--sockets N] [--checks N] [--seconds N]\n");
            return 2;
        }
    }
    rlimit files{};
    ::getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &files) != 0 ||
        files.rlim_cur < static_cast<rlim_t>(sockets) + 64)
        std::fprintf(stderr, "at most %llu open files here\n",
                     static_cast<unsigned long long>(files.rlim_cur));
    const pid_t hoard = Hoard(sockets);
    std::printf("peer check, another user (%s) holding %d loopback sockets:\n",
                ::geteuid() == 0 ? "uid 65534" : "this user, not root", sockets);
    const Check kernel = [](int fd) { return lintaro::PeerIsSameUser(fd); };
    CostOfOneCheck("kernel look-up (netlink)", kernel, checks);
    CostOfOneCheck("/proc/net/tcp walk", TableWalkCheck, checks);
    RoundTripsDuringFlood("kernel look-up (netlink)", kernel, seconds);
    RoundTripsDuringFlood("/proc/net/tcp walk", TableWalkCheck, seconds);
    ::kill(hoard, SIGKILL);
    ::waitpid(hoard, nullptr, 0);
    return 0;
}
