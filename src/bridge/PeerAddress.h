// The address of a connection's end as the systems' connection tables list it, for the
// peer check (PeerCheck_*.cpp). Plain bytes: no platform header is needed.
#pragma once

#include <cstring>

namespace lintaro {

// A dual-stack socket's IPv4 ends come v4-mapped (::ffff:a.b.c.d); the tables list them as
// IPv4. `v6` is an IPv6 address's 16 bytes.
inline bool IsV4Mapped(const unsigned char* v6) {
    static constexpr unsigned char kPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    return std::memcmp(v6, kPrefix, sizeof kPrefix) == 0;
}

// Stores an IPv6 end's address into the 16 bytes of `address` as the tables list it: a
// v4-mapped one as its IPv4 address in the first four bytes. True when that is IPv4.
inline bool StoreV6Address(const unsigned char* v6, unsigned char* address) {
    if (IsV4Mapped(v6)) {
        std::memcpy(address, v6 + 12, 4);
        return true;
    }
    std::memcpy(address, v6, 16);
    return false;
}

}  // namespace lintaro
