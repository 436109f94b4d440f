#include "bridge/BrowserTraffic.h"

namespace lintaro {

namespace {

// Registered methods are at most 17 characters long (UPDATEREDIRECTREF); the bound leaves
// room for extensions without holding a longer run of capitals back.
constexpr std::size_t kLongestMethod = 24;

bool MethodChar(char c, bool first) {
    return (c >= 'A' && c <= 'Z') || (!first && (c == '-' || c == '_'));
}

FirstBytes HttpRequest(std::string_view bytes) {
    std::size_t at = 0;
    while (at < bytes.size() && at < kLongestMethod && MethodChar(bytes[at], at == 0)) ++at;
    if (at == bytes.size()) return FirstBytes::Undecided;
    if (at == 0 || bytes[at] != ' ') return FirstBytes::Plain;
    if (++at == bytes.size()) return FirstBytes::Undecided;
    return bytes[at] == '/' || bytes[at] == '*' ? FirstBytes::Http : FirstBytes::Plain;
}

// A TLS record: type 22 (handshake), version 3.x, two bytes of length, then the first
// handshake message, a ClientHello (1).
FirstBytes TlsHello(std::string_view bytes) {
    constexpr unsigned char kRecord[] = {22, 3};
    for (std::size_t i = 0; i < 6; ++i) {
        if (i == bytes.size()) return FirstBytes::Undecided;
        const auto c = static_cast<unsigned char>(bytes[i]);
        if ((i < 2 && c != kRecord[i]) || (i == 2 && c > 4) || (i == 5 && c != 1)) {
            return FirstBytes::Plain;
        }
    }
    return FirstBytes::Tls;
}

}  // namespace

FirstBytes ClassifyFirstBytes(std::string_view bytes) {
    if (bytes.empty()) return FirstBytes::Undecided;
    return static_cast<unsigned char>(bytes[0]) == 22 ? TlsHello(bytes) : HttpRequest(bytes);
}

}  // namespace lintaro
