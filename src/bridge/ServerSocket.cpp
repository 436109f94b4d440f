#include "bridge/ServerSocket.h"

#include <QTcpServer>
#include <QTcpSocket>

#include "bridge/RelayThread.h"

namespace lintaro {

TServerSocket::TServerSocket(QObject* parent)
    : QObject(parent), FServer(new QTcpServer(this)), FServer6(new QTcpServer(this)) {
    FServer->setObjectName(QStringLiteral("ServerSocket"));
    for (QTcpServer* server : {FServer, FServer6}) {
        // A queue as long as the system allows: another user's flood of connections must
        // not fill it so that the kernel drops the user's own until the flood has passed.
        server->setListenBacklogSize(4096);  // the kernel cuts it to what it allows
        connect(server, &QTcpServer::newConnection, this, &TServerSocket::Accept);
    }
}

TServerSocket::~TServerSocket() { Close(); }

bool TServerSocket::Active() const { return FServer->isListening(); }

quint16 TServerSocket::Port() const { return FServer->serverPort(); }

bool TServerSocket::Open(quint16 port) {
    Close();
    FError.clear();
    // A port left to the system is free on 127.0.0.1 only: another try finds one free on
    // both.
    for (int attempt = 0; attempt < (port == 0 ? 20 : 1); ++attempt) {
        if (Listen(port)) return true;
        if (FServer->isListening()) FServer->close();
    }
    return false;
}

bool TServerSocket::Listen(quint16 port) {
    if (!FServer->listen(QHostAddress::LocalHost, port)) {
        FError = FServer->errorString();
        return false;
    }
    if (FServer6->listen(QHostAddress::LocalHostIPv6, FServer->serverPort())) return true;
    switch (FServer6->serverError()) {
        case QAbstractSocket::UnsupportedSocketOperationError:  // no IPv6 here
        case QAbstractSocket::SocketAddressNotAvailableError:   // no ::1 here
            return true;
        default:
            FError = QStringLiteral("[::1]: ") + FServer6->errorString();
            return false;
    }
}

void TServerSocket::Close() {
    if (FServer->isListening()) FServer->close();
    if (FServer6->isListening()) FServer6->close();
}

void TServerSocket::Accept() {
    auto* server = qobject_cast<QTcpServer*>(sender());
    if (server == nullptr) return;
    while (QTcpSocket* socket = server->nextPendingConnection()) {
        // Bytes go out as they come: with Nagle's algorithm a reply split over two port
        // reads would wait for the client's delayed acknowledgement (about 40 ms).
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        // Nothing was read yet, so a descriptor of its own starts with the first byte; the
        // socket object lets go of its own at once.
        const qintptr own = relay_platform::SocketTake(socket->socketDescriptor());
        const quint16 peerPort = socket->peerPort();
        socket->abort();
        socket->deleteLater();
        Q_EMIT ClientConnect(own, peerPort);
    }
}

}  // namespace lintaro
