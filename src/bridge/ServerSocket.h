// The local TCP server of the bridge: listening sockets on the loopback addresses. Each
// accepted connection is handed to the connection session as it comes, which takes it
// over (or refuses it); the server keeps only those nobody took, until it closes.
#pragma once

#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>
#include <QTcpSocket>

class QTcpServer;

namespace lintaro {

class TServerSocket : public QObject {
    Q_OBJECT
public:
    explicit TServerSocket(QObject* parent = nullptr);
    ~TServerSocket() override;

    bool Active() const;
    // Listens on the loopback addresses only, 127.0.0.1 and ::1 at the same port: the
    // configuration program runs on this machine, and nobody on the network may reach the
    // device through the bridge. A program that connects to "localhost" may take either,
    // and another user's listener on the other would get its connection. Without IPv6 on
    // the machine 127.0.0.1 alone is enough. False with ErrorString() set when a port
    // cannot be bound.
    bool Open(quint16 port);
    // Closes every connection (without disconnect events), then the listening socket.
    void Close();
    // Closes and frees every connection at once, without disconnect events; keeps
    // listening.
    void DropClients();
    // Closes and frees one connection at once, without a disconnect event.
    void Refuse(QTcpSocket* socket);
    quint16 Port() const;
    QString ErrorString() const { return FError; }

Q_SIGNALS:
    // A connection was accepted; nothing was read from it yet.
    void ClientConnect(QTcpSocket* socket);

private:
    void Accept();
    void Forget(QTcpSocket* socket);

    bool Listen(quint16 port);

    QTcpServer* FServer;   // 127.0.0.1
    QTcpServer* FServer6;  // ::1
    QList<QTcpSocket*> FConnections;
    QString FError;
};

}  // namespace lintaro
