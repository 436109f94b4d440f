// The local TCP server of the bridge: a listening socket on the loopback address and its
// connections in order of acceptance. It keeps no data of its own; the connection
// session reacts to its client events.
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

    // Connections still in the list, oldest first.
    const QList<QTcpSocket*>& Connections() const { return FConnections; }

    // Most bytes a connection buffers from the network before TCP holds the sender back.
    void SetReadBufferSize(qint64 size) { FReadBufferSize = size; }

Q_SIGNALS:
    void ClientConnect(QTcpSocket* socket);
    void ClientDisconnect(QTcpSocket* socket);
    void ClientRead(QTcpSocket* socket);
    void ClientWritten(QTcpSocket* socket);

private:
    void Accept();
    void Forget(QTcpSocket* socket);

    bool Listen(quint16 port);

    QTcpServer* FServer;   // 127.0.0.1
    QTcpServer* FServer6;  // ::1
    QList<QTcpSocket*> FConnections;
    QString FError;
    qint64 FReadBufferSize = 0;
};

}  // namespace lintaro
