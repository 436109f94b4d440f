// Who may reach the device through the local server: only the user's own processes. Each
// accepted connection has its owner asked for (again for a while where the system cannot
// name it yet), and it is either refused with a log line or reported as admitted; nothing
// reads it meanwhile.
#pragma once

#include <QDeadlineTimer>
#include <QObject>
#include <QString>
#include <cstdint>
#include <functional>
#include <vector>

class QTimer;

namespace lintaro {

class TServerSocket;

class ConnectionAdmission : public QObject {
    Q_OBJECT
public:
    // `startedProcess`: the id of the configuration program this wizard started (0: none),
    // named in the log of an admitted connection.
    ConnectionAdmission(TServerSocket* server, std::function<void(const QString&)> log,
                        std::function<std::uint32_t()> startedProcess, QObject* parent = nullptr);
    // Connections still being checked are closed.
    ~ConnectionAdmission() override;

    // Connections still being checked.
    int Checking() const { return static_cast<int>(FPending.size()); }
    // Closes the connections still being checked.
    void DropChecking();
    // The relay closed a connection whose first bytes were a web browser's request.
    void BrowserRefused(quint16 peerPort, bool tls);

Q_SIGNALS:
    // A connection of the user's own: `socket` (a socket of the platform, of which nothing
    // was read yet) is the receiver's to own and close from now on.
    void Admitted(qintptr socket, quint16 peerPort);

private:
    // A connection whose owner the system could not name yet is asked again every
    // kPeerRecheckMs until kPeerWaitMs have passed.
    struct PendingPeer {
        qintptr socket = -1;
        quint16 port = 0;
        QDeadlineTimer deadline;
    };
    static constexpr int kPeerRecheckMs = 20;
    static constexpr int kPeerWaitMs = 2000;

    void ClientConnected(qintptr socket, quint16 peerPort);
    void CheckPeer(const PendingPeer& peer);
    void CheckPendingPeers();
    void LogAccepted(quint16 peerPort, std::uint32_t pid);

    TServerSocket* FServer;
    std::function<void(const QString&)> FLog;
    std::function<std::uint32_t()> FStartedProcess;
    std::vector<PendingPeer> FPending;
    QTimer* FPeerTimer = nullptr;
};

}  // namespace lintaro
