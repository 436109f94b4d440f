// The connection's state as the window shows it, and the few facts of the connection
// display that the session and the window share.
#pragma once

#include <QString>

namespace lintaro {

// The link label's Tag mirrors this value.
enum class ConnectionState : int {
    Idle = 0,        // "Подключить"
    Connecting = 1,  // "Отмена подключения": port opening, dialling, or cable port busy
    Connected = 2,   // "Отключить": the relay runs
    CallLost = 3,    // "Переподключить": a modem result word ended the call
};

// The link's caption in each state.
QString LinkCaption(ConnectionState state);

// The two colours of the status display.
enum class StatusColour { ButtonText, Red };

// The local TCP server's port when none (or a bad one) is set.
inline constexpr int DefaultServerPort = 53462;

}  // namespace lintaro
