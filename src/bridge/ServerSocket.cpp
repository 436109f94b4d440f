#include "bridge/ServerSocket.h"

#include <QTcpServer>
#include <QTcpSocket>

namespace lintaro {

TServerSocket::TServerSocket(QObject* parent) : QObject(parent), FServer(new QTcpServer(this)) {
    FServer->setObjectName(QStringLiteral("ServerSocket"));
    connect(FServer, &QTcpServer::newConnection, this, &TServerSocket::Accept);
}

TServerSocket::~TServerSocket() { Close(); }

bool TServerSocket::Active() const { return FServer->isListening(); }

quint16 TServerSocket::Port() const { return FServer->serverPort(); }

bool TServerSocket::Open(quint16 port) {
    Close();
    FError.clear();
    if (!FServer->listen(QHostAddress::LocalHost, port)) {
        FError = FServer->errorString();
        return false;
    }
    return true;
}

void TServerSocket::Close() {
    DropClients();
    if (FServer->isListening()) FServer->close();
}

void TServerSocket::DropClients() {
    const QList<QTcpSocket*> dropped = FConnections;
    FConnections.clear();
    for (QTcpSocket* socket : dropped) {
        socket->disconnect(this);
        socket->abort();
        socket->deleteLater();
    }
}

void TServerSocket::Accept() {
    while (QTcpSocket* socket = FServer->nextPendingConnection()) {
        if (FReadBufferSize > 0) socket->setReadBufferSize(FReadBufferSize);
        // Bytes go out as they come: with Nagle's algorithm a reply split over two port
        // reads would wait for the client's delayed acknowledgement (about 40 ms).
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        FConnections.append(socket);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { Q_EMIT ClientRead(socket); });
        connect(socket, &QTcpSocket::bytesWritten, this,
                [this, socket] { Q_EMIT ClientWritten(socket); });
        // Errors on a connection are not reported to anyone; a broken connection ends
        // with its disconnect.
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            if (!FConnections.contains(socket)) return;
            Q_EMIT ClientDisconnect(socket);
            Forget(socket);
        });
        Q_EMIT ClientConnect(socket);
    }
}

void TServerSocket::Refuse(QTcpSocket* socket) {
    socket->disconnect(this);
    socket->abort();
    Forget(socket);
}

void TServerSocket::Forget(QTcpSocket* socket) {
    FConnections.removeOne(socket);
    socket->disconnect(this);
    socket->deleteLater();
}

}  // namespace lintaro
