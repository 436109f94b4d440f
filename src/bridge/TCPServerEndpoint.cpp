// The bridge's TCP endpoint: the window's handlers of the server's client events and the
// start, stop and send operations.
#include <QTcpSocket>

#include "MainFormUnit.h"
#include "ServerSocket.h"
#include "TPCServerSettingsUnit.h"

namespace lintaro {

bool TMainLintaroForm::StartTCPServer() {
    if (ServerSocket->Active()) StopTCPServer();
    const int number = FTCPServerSettings != nullptr ? FTCPServerSettings->TakeServerPort() : 53462;
    return ServerSocket->Open(static_cast<quint16>(number & 0xFFFF));
}

void TMainLintaroForm::StopTCPServer() { ServerSocket->Close(); }

bool TMainLintaroForm::SendToTCPClient(int count) {
    if (!FSetupConnected || count <= 0) return false;
    const QList<QTcpSocket*>& connections = ServerSocket->Connections();
    if (connections.isEmpty()) return false;
    QTcpSocket* first = connections.first();
    if (first->state() != QAbstractSocket::ConnectedState) return false;
    // The socket keeps what the network cannot take yet and sends it in order; the cycle
    // stops reading the port while this backlog is above the bound.
    const bool taken =
        first->write(reinterpret_cast<const char*>(FDataBuffer.data()), count) == count;
    first->flush();  // now, not at the next turn of the event loop
    return taken;
}

qint64 TMainLintaroForm::ClientBacklog() const {
    if (!FSetupConnected) return 0;
    const QList<QTcpSocket*>& connections = ServerSocket->Connections();
    return connections.isEmpty() ? 0 : connections.first()->bytesToWrite();
}

void TMainLintaroForm::ServerSocketClientConnect(QTcpSocket*) { FSetupConnected = true; }

void TMainLintaroForm::ServerSocketClientDisconnect(QTcpSocket* socket) {
    // What the client sent before closing still goes to the device.
    FReadSocket += socket->readAll();
    FSetupConnected = false;
    WakeCycle();
}

void TMainLintaroForm::ServerSocketClientRead(QTcpSocket*) { TakeFromClients(); }

// Takes what the clients have sent, oldest connection first, while the pending bytes
// stay below the bound; the rest waits in the sockets (and TCP holds the senders back).
void TMainLintaroForm::TakeFromClients() {
    bool took = false;
    for (QTcpSocket* socket : ServerSocket->Connections()) {
        const qint64 room = PendingBound - FReadSocket.size();
        if (room <= 0) break;
        if (socket->bytesAvailable() <= 0) continue;
        FReadSocket += socket->read(room);
        took = true;
    }
    if (took) WakeCycle();
}

void TMainLintaroForm::DropTCPClients() {
    ServerSocket->DropClients();
    FSetupConnected = false;
}

}  // namespace lintaro
