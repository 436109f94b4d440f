// Who holds a local TCP port that the server could not take. One implementation per
// platform (PortHolder_linux.cpp, PortHolder_win.cpp).
#pragma once

#include <cstdint>
#include <string>

namespace lintaro {

// Who listens on TCP port `port` of this machine: "<program> (PID <id>)" for each of the
// user's own processes that holds a listening socket there, joined by ", "; "другой
// пользователь" when the listener is another user's. Empty where the system does not
// tell. Names are shown as ShownForeignText gives them.
std::string TCPPortHolder(std::uint16_t port);

}  // namespace lintaro
