// Whether a connection's first bytes are a web browser's, which must never reach the
// device: a page the user opens may send a request to the local server (a form post or a
// "no-cors" fetch needs no answer to do harm, so neither CORS nor a check of the host
// name protects the device). Pure code, no platform.
#pragma once

#include <string_view>

namespace lintaro {

enum class FirstBytes {
    Undecided,  // the bytes so far could still begin a browser's request: wait for more
    Plain,      // they cannot: relay them (and all that follows) at once
    Http,       // an HTTP request line (a WebSocket upgrade is one too)
    Tls,        // a TLS handshake (a page's https:// request)
};

// Looks at the first bytes of a connection. An HTTP request line begins with a method
// (capital letters, '-' or '_'), a space and a request target ('/' or '*'); a TLS
// connection with a handshake record holding a ClientHello. Decides as soon as the bytes
// can no longer begin either, so a configuration program's first command is held back
// only while it looks like one.
FirstBytes ClassifyFirstBytes(std::string_view bytes);

// Most bytes ClassifyFirstBytes may need before it decides.
inline constexpr std::size_t kFirstBytesToDecide = 26;

}  // namespace lintaro
