// The TCP server endpoint of the session: start, stop, and its connections (only the
// user's own are taken, and handed to the relay).
#include <QTcpSocket>
#include <QTimer>
#include <utility>

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
    DropPendingPeers();
    FRelay->DropClients();
}

bool ConnectionSession::SetupConnected() const { return FRelay->Clients() > 0; }

// Only the user's own processes may reach the device. Each of their connections goes to
// the relay, which owns it from then on: its bytes go to the device in the order they
// come, and the device's bytes go to the oldest connection. Nothing was read from the
// connection yet (this runs as it is accepted), so the session's own descriptor starts with
// the first byte; the socket object lets go of it at once, and nothing reads it until the
// owner is known.
void ConnectionSession::ClientConnected(QTcpSocket* socket) {
    const qintptr own = relay_platform::SocketTake(socket->socketDescriptor());
    const quint16 peerPort = socket->peerPort();
    FServer->Refuse(socket);
    if (own == -1) {
        Log(QStringLiteral("Отклонено подключение к TCP серверу с порта %1: соединение не удалось принять")
                .arg(peerPort));
        return;
    }
    CheckPeer({own, peerPort, QDeadlineTimer(kPeerWaitMs)});
}

void ConnectionSession::CheckPeer(const PendingPeer& peer) {
    switch (PeerUserOf(peer.socket)) {
        case PeerUser::Same:
            FRelay->AddClient(peer.socket);
            return;
        case PeerUser::NotYetKnown:
            if (!peer.deadline.hasExpired()) {
                FPendingPeers.push_back(peer);
                if (!FPeerTimer->isActive()) FPeerTimer->start();
                return;
            }
            break;
        case PeerUser::Other:
            break;
    }
    Log(QStringLiteral("Отклонено подключение к TCP серверу с порта %1: процесс другого пользователя")
            .arg(peer.port));
    relay_platform::SocketClose(peer.socket);
}

void ConnectionSession::CheckPendingPeers() {
    const std::vector<PendingPeer> pending = std::exchange(FPendingPeers, {});
    for (const PendingPeer& peer : pending) CheckPeer(peer);
    if (FPendingPeers.empty()) FPeerTimer->stop();
}

void ConnectionSession::DropPendingPeers() {
    for (const PendingPeer& peer : FPendingPeers) relay_platform::SocketClose(peer.socket);
    FPendingPeers.clear();
    FPeerTimer->stop();
}

void ConnectionSession::DropTCPClients() { FRelay->DropClients(); }
}  // namespace lintaro
