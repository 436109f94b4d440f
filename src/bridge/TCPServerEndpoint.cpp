// The TCP server endpoint of the session: start, stop, sending to the configuration
// program, and its connections (only the user's own are taken).
#include <QTcpSocket>

#include "bridge/ConnectionSession.h"
#include "bridge/PeerCheck.h"
#include "bridge/ServerSocket.h"

namespace lintaro {

// ---- TCP server endpoint ----

bool ConnectionSession::StartTCPServer() {
    if (FServer->Active()) StopTCPServer();
    return FServer->Open(static_cast<quint16>(FServerPort & 0xFFFF));
}

void ConnectionSession::StopTCPServer() {
    FServer->Close();
    FProgram = nullptr;
}

bool ConnectionSession::SendToTCPClient(int count) {
    if (!FSetupConnected || count <= 0 || FProgram == nullptr) return false;
    if (FProgram->state() != QAbstractSocket::ConnectedState) return false;
    // The socket keeps what the network cannot take yet and sends it in order; the port
    // is not read while this backlog is above the bound.
    const bool taken =
        FProgram->write(reinterpret_cast<const char*>(FDataBuffer.data()), count) == count;
    FProgram->flush();  // now, not at the next turn of the event loop
    return taken;
}

qint64 ConnectionSession::ClientBacklog() const {
    if (!FSetupConnected || FProgram == nullptr) return 0;
    return FProgram->bytesToWrite();
}

// Takes what the program has sent while the pending bytes stay below the bound; the rest
// waits in the socket (and TCP holds the sender back).
void ConnectionSession::TakeFromClient() {
    if (FProgram == nullptr) return;
    const qint64 room = PendingBound - FReadSocket.size();
    if (room > 0 && FProgram->bytesAvailable() > 0) FReadSocket += FProgram->read(room);
}

// Only the user's own processes may reach the device. The first of them is taken for the
// configuration program; another one is kept connected but not relayed, so that it can
// neither feed the device nor cut the program off.
void ConnectionSession::ClientConnected(QTcpSocket* socket) {
    if (!PeerIsSameUser(socket->socketDescriptor())) {
        Log(QStringLiteral("Отклонено подключение к TCP серверу с порта %1: процесс другого пользователя")
                .arg(socket->peerPort()));
        FServer->Refuse(socket);
        return;
    }
    FSetupConnected = true;
    if (FProgram == nullptr) FProgram = socket;
}

void ConnectionSession::ClientDisconnected(QTcpSocket* socket) {
    if (socket != FProgram) return;
    // What the program sent before closing still goes to the device.
    FReadSocket += socket->readAll();
    FProgram = nullptr;
    FSetupConnected = false;
    // A program that reconnected at once is the next connection of the user's.
    for (QTcpSocket* other : FServer->Connections()) {
        if (other != socket && other->state() == QAbstractSocket::ConnectedState) {
            FProgram = other;
            FSetupConnected = true;
            break;
        }
    }
    TakeFromClient();
    RelayTcpToCom();
}

void ConnectionSession::DropTCPClients() {
    FServer->DropClients();
    FProgram = nullptr;
    FSetupConnected = false;
}
}  // namespace lintaro
