// The local TCP server of the bridge: listening sockets on the loopback addresses. Each
// accepted connection is handed on as it comes, as a descriptor of its own; the server
// keeps none.
#pragma once

#include <QObject>
#include <QString>

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
    // Stops listening; the connections handed on are their receivers'.
    void Close();
    quint16 Port() const;
    QString ErrorString() const { return FError; }

Q_SIGNALS:
    // A connection was accepted: `socket` is a non-blocking socket of the platform, of
    // which nothing was read yet, the receiver's to own and close; -1 when the system
    // gave none.
    void ClientConnect(qintptr socket, quint16 peerPort);

private:
    void Accept();

    bool Listen(quint16 port);

    QTcpServer* FServer;   // 127.0.0.1
    QTcpServer* FServer6;  // ::1
    QString FError;
};

}  // namespace lintaro
