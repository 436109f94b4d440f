// The TCP server endpoint of the session: start, stop, and its connections (only the
// user's own are taken, and handed to the relay).
#include <QTcpSocket>

#include "bridge/ConnectionSession.h"
#include "bridge/PeerCheck.h"
#include "bridge/RelayThread.h"
#include "bridge/ServerSocket.h"

namespace lintaro {

// ---- TCP server endpoint ----

bool ConnectionSession::StartTCPServer() {
    const auto port = static_cast<quint16>(FServerPort & 0xFFFF);
    // Kept through a lost call: the program's connections wait there for the relay.
    if (FServer->Active() && FServer->Port() == port) return true;
    if (FServer->Active()) StopTCPServer();
    return FServer->Open(port);
}

void ConnectionSession::StopTCPServer() {
    FServer->Close();
    FRelay->DropClients();
}

bool ConnectionSession::SetupConnected() const { return FRelay->Clients() > 0; }

// Only the user's own processes may reach the device. Each of their connections goes to
// the relay, which owns it from then on: its bytes go to the device in the order they
// come, and the device's bytes go to the oldest connection.
void ConnectionSession::ClientConnected(QTcpSocket* socket) {
    if (!PeerIsSameUser(socket->socketDescriptor())) {
        Log(QStringLiteral("Отклонено подключение к TCP серверу с порта %1: процесс другого пользователя")
                .arg(socket->peerPort()));
        FServer->Refuse(socket);
        return;
    }
    // Nothing was read from the connection yet (this runs as it is accepted), so the
    // relay's own descriptor starts with the first byte; the socket object lets go of it.
    const qintptr own = relay_platform::SocketTake(socket->socketDescriptor());
    FServer->Refuse(socket);
    if (own != -1) FRelay->AddClient(own);
}

void ConnectionSession::DropTCPClients() { FRelay->DropClients(); }
}  // namespace lintaro
