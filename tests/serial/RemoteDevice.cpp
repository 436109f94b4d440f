#include "RemoteDevice.h"

#include "HexText.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <stdexcept>

namespace lintaro::testing_support {

namespace {

#ifdef _WIN32
using SocketType = SOCKET;
constexpr std::intptr_t NoSocket = static_cast<std::intptr_t>(INVALID_SOCKET);
constexpr int SendFlags = 0;
void CloseSocket(SocketType s) {
    ::closesocket(s);
}

// Winsock must be started once per process before the first socket.
void StartSockets() {
    static const bool started = [] {
        WSADATA data;
        return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    if (!started) throw std::runtime_error("WSAStartup failed");
}
#else
using SocketType = int;
constexpr std::intptr_t NoSocket = -1;
// A simulator that died must fail the test, not end it with SIGPIPE.
constexpr int SendFlags = MSG_NOSIGNAL;
void CloseSocket(SocketType s) {
    ::close(s);
}
void StartSockets() {}
#endif

SocketType AsSocket(std::intptr_t s) {
    return static_cast<SocketType>(s);
}

using devsim::ToHex;

std::string FromHex(const std::string& hex) {
    std::string bytes;
    if (!devsim::FromHex(hex, bytes)) throw std::runtime_error("bad hex from the simulator");
    return bytes;
}

}  // namespace

RemoteDevice::RemoteDevice(std::uint16_t port) : FSocket(NoSocket) {
    StartSockets();
    const SocketType s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (static_cast<std::intptr_t>(s) == NoSocket) throw std::runtime_error("socket failed");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (::connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        CloseSocket(s);
        throw std::runtime_error("cannot reach the device simulator on port " +
                                 std::to_string(port));
    }
    const int on = 1;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    FSocket = static_cast<std::intptr_t>(s);
}

RemoteDevice::~RemoteDevice() {
    if (FSocket != NoSocket) CloseSocket(AsSocket(FSocket));
}

std::string RemoteDevice::command(const std::string& line) {
    const std::string out = line + "\n";
    std::size_t done = 0;
    while (done < out.size()) {
        const auto n = ::send(AsSocket(FSocket), out.data() + done,
                              static_cast<int>(out.size() - done), SendFlags);
        if (n <= 0) throw std::runtime_error("lost the device simulator");
        done += static_cast<std::size_t>(n);
    }
    std::size_t end;
    while ((end = FPending.find('\n')) == std::string::npos) {
        char buffer[65536];
        const auto n = ::recv(AsSocket(FSocket), buffer, sizeof buffer, 0);
        if (n <= 0) throw std::runtime_error("lost the device simulator");
        FPending.append(buffer, static_cast<std::size_t>(n));
    }
    std::string reply = FPending.substr(0, end);
    FPending.erase(0, end + 1);
    if (reply == "ok") return {};
    if (reply.rfind("ok ", 0) == 0) return reply.substr(3);
    throw std::runtime_error("device simulator: " + line.substr(0, line.find(' ')) + ": " + reply);
}

std::string RemoteDevice::portPath() {
    return command("port");
}
void RemoteDevice::send(const std::string& bytes) {
    command("send " + ToHex(bytes));
}
std::string RemoteDevice::received() {
    return FromHex(command("received"));
}
void RemoteDevice::clearReceived() {
    command("clear");
}

bool RemoteDevice::waitForReceived(std::size_t count, std::chrono::milliseconds limit) {
    return command("wait " + std::to_string(count) + " " + std::to_string(limit.count())) == "1";
}

void RemoteDevice::setReading(bool reading) {
    command(reading ? "reading 1" : "reading 0");
}
void RemoteDevice::setMode(const std::string& mode) {
    command("mode " + mode);
}

void RemoteDevice::setIdentification(const std::vector<std::string>& pieces,
                                     std::chrono::milliseconds gap) {
    std::string line = "identification " + std::to_string(gap.count());
    for (const std::string& piece : pieces) line += " " + ToHex(piece);
    command(line);
}

std::size_t RemoteDevice::identificationRequests() {
    return static_cast<std::size_t>(std::stoull(command("requests")));
}

void RemoteDevice::vanish() {
    command("vanish");
}
void RemoteDevice::reappear() {
    command("reappear");
}
void RemoteDevice::reset() {
    command("reset");
}

}  // namespace lintaro::testing_support
