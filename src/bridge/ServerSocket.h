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
    // Listens on the loopback address only: the configuration program runs on this
    // machine, and nobody on the network may reach the device through the bridge.
    // False with ErrorString() set when the port cannot be bound.
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

    QTcpServer* FServer;
    QList<QTcpSocket*> FConnections;
    QString FError;
    qint64 FReadBufferSize = 0;
};

}  // namespace lintaro
