// The TCP server endpoint of the session: start, stop, and its connections (only the
// user's own are taken, and handed to the relay).
#include <QTcpSocket>
#include <QTimer>
#include <utility>

#include "bridge/ConnectionSession.h"
#include "bridge/PeerCheck.h"
#include "bridge/RelayThread.h"
#include "bridge/ServerSocket.h"
#include "serial/ForeignText.h"

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
    std::uint32_t pid = 0;
    switch (PeerUserOf(peer.socket, &pid)) {
        case PeerUser::Same:
            LogAccepted(peer.port, pid);
            FRelay->AddClient(peer.socket, peer.port);
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

// Names the program behind a connection, so that the log shows whether anything but the
// configuration program this wizard started reaches the device.
void ConnectionSession::LogAccepted(quint16 peerPort, std::uint32_t pid) {
    QString who = QStringLiteral("программа не определена");
    if (pid != 0) {
        const PeerProgram program =
            DescribePeer(pid, FSetupIsStarted ? FSetupProcInfo.dwProcessId : 0);
        who = QStringLiteral("%1 (PID %2), %3")
                  .arg(QString::fromStdString(ShownForeignText(program.name)))
                  .arg(pid)
                  .arg(program.startedHere ? QStringLiteral("запущена мастером")
                                           : QStringLiteral("не запущена мастером"));
    }
    Log(QStringLiteral("Подключение к TCP серверу с порта %1: %2").arg(peerPort).arg(who));
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

void ConnectionSession::BrowserRefused(quint16 peerPort, bool tls) {
    Log(QStringLiteral("Отклонено подключение к TCP серверу с порта %1: %2")
            .arg(peerPort)
            .arg(tls ? QStringLiteral("запрос веб-браузера по HTTPS (TLS)")
                     : QStringLiteral("запрос веб-браузера (HTTP)")));
}

void ConnectionSession::DropTCPClients() { FRelay->DropClients(); }
}  // namespace lintaro
