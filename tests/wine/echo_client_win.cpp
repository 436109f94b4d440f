// A stand-in Windows configuration program for the end-to-end test of the packaged
// program: started by the wizard with no arguments, it connects to the wizard's TCP
// server, sends random bytes that the simulated device echoes, and checks that every
// byte comes back in order. It writes its verdict to "echo-client-result.txt" in its
// working folder (which must be the program folder) and then waits to be ended.
//
// LINTARO_E2E_BYTES sets the amount (default 1 MiB), LINTARO_E2E_PORT the server port.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace {

std::string Narrow(const wchar_t* text) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? n - 1 : 0, '\0');
    if (n > 1) WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), n, nullptr, nullptr);
    return out;
}

void Report(const std::string& verdict) {
    wchar_t module[MAX_PATH] = {};
    wchar_t folder[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, module, MAX_PATH);
    GetCurrentDirectoryW(MAX_PATH, folder);
    if (FILE* f = std::fopen("echo-client-result.txt.part", "wb")) {
        std::fprintf(f, "%s\nmodule %s\nfolder %s\n", verdict.c_str(), Narrow(module).c_str(),
                     Narrow(folder).c_str());
        std::fclose(f);
        // Renamed when complete, so the test never reads half a verdict.
        MoveFileExW(L"echo-client-result.txt.part", L"echo-client-result.txt",
                    MOVEFILE_REPLACE_EXISTING);
    }
}

long EnvNumber(const char* name, long fallback) {
    const char* text = std::getenv(name);
    return text != nullptr && *text != '\0' ? std::strtol(text, nullptr, 10) : fallback;
}

SOCKET Connect(unsigned short port) {
    // The server may come up a moment after the program starts.
    for (int attempt = 0; attempt < 200; ++attempt) {
        SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return s;
        closesocket(s);
        Sleep(100);
    }
    return INVALID_SOCKET;
}

std::string Exchange(SOCKET s, size_t total) {
    std::vector<unsigned char> sent(total);
    std::mt19937 random(std::random_device{}());
    for (auto& byte : sent) byte = static_cast<unsigned char>(random());
    u_long nonBlocking = 1;
    ioctlsocket(s, FIONBIO, &nonBlocking);
    // A bounded window in flight, so neither side's queues grow without limit.
    constexpr size_t kWindow = 16 * 1024;
    size_t written = 0;
    size_t received = 0;
    std::vector<unsigned char> buffer(64 * 1024);
    const ULONGLONG deadline = GetTickCount64() + 120000;
    while (received < total) {
        if (GetTickCount64() > deadline) {
            return "FAIL timeout after " + std::to_string(received) + " of " + std::to_string(total);
        }
        fd_set readable;
        fd_set writable;
        FD_ZERO(&readable);
        FD_ZERO(&writable);
        FD_SET(s, &readable);
        const bool canSend = written < total && written - received < kWindow;
        if (canSend) FD_SET(s, &writable);
        timeval wait{1, 0};
        if (select(0, &readable, canSend ? &writable : nullptr, nullptr, &wait) == SOCKET_ERROR) {
            return "FAIL select " + std::to_string(WSAGetLastError());
        }
        if (canSend && FD_ISSET(s, &writable)) {
            const size_t chunk = std::min(kWindow - (written - received), total - written);
            const int n = send(s, reinterpret_cast<const char*>(sent.data() + written),
                               static_cast<int>(chunk), 0);
            if (n > 0) written += static_cast<size_t>(n);
        }
        if (FD_ISSET(s, &readable)) {
            const int n = recv(s, reinterpret_cast<char*>(buffer.data()), static_cast<int>(buffer.size()), 0);
            if (n == 0) return "FAIL closed after " + std::to_string(received);
            if (n < 0) {
                if (WSAGetLastError() == WSAEWOULDBLOCK) continue;
                return "FAIL recv " + std::to_string(WSAGetLastError());
            }
            for (int i = 0; i < n; ++i) {
                if (received >= total || buffer[i] != sent[received]) {
                    return "FAIL byte " + std::to_string(received) + " differs";
                }
                ++received;
            }
        }
    }
    return "OK " + std::to_string(total);
}

}  // namespace

// A window program, as configuration programs are: no console comes up when it starts.
int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return 1;
    const auto total = static_cast<size_t>(EnvNumber("LINTARO_E2E_BYTES", 1 << 20));
    const auto port = static_cast<unsigned short>(EnvNumber("LINTARO_E2E_PORT", 53462));
    SOCKET s = Connect(port);
    if (s == INVALID_SOCKET) {
        Report("FAIL no connection");
        return 1;
    }
    Report(Exchange(s, total));
    // A configuration program stays until the wizard ends it.
    for (;;) Sleep(1000);
}
