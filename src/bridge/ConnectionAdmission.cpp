// The admission of the local server's connections: the peer's owner is checked before a
// byte is read.
#include "bridge/ConnectionAdmission.h"

#include <QTimer>
#include <utility>

#include "bridge/PeerCheck.h"
#include "bridge/RelayThread.h"
#include "bridge/ServerSocket.h"
#include "serial/ForeignText.h"

namespace lintaro {

ConnectionAdmission::ConnectionAdmission(TServerSocket* server,
                                         std::function<void(const QString&)> log,
                                         std::function<std::uint32_t()> startedProcess,
                                         QObject* parent)
    : QObject(parent),
      FServer(server),
      FLog(std::move(log)),
      FStartedProcess(std::move(startedProcess)) {
    connect(FServer, &TServerSocket::ClientConnect, this, &ConnectionAdmission::ClientConnected);
    FPeerTimer = new QTimer(this);
    FPeerTimer->setInterval(kPeerRecheckMs);
    connect(FPeerTimer, &QTimer::timeout, this, &ConnectionAdmission::CheckPendingPeers);
}

ConnectionAdmission::~ConnectionAdmission() { DropChecking(); }

// Nothing reads the connection until its owner is known.
void ConnectionAdmission::ClientConnected(qintptr socket, quint16 peerPort) {
    if (socket == -1) {
        FLog(QStringLiteral("Отклонено подключение к TCP серверу с порта %1: соединение не удалось принять")
                 .arg(peerPort));
        return;
    }
    CheckPeer({socket, peerPort, QDeadlineTimer(kPeerWaitMs)});
}

void ConnectionAdmission::CheckPeer(const PendingPeer& peer) {
    std::uint32_t pid = 0;
    switch (PeerUserOf(peer.socket, &pid)) {
        case PeerUser::Same:
            LogAccepted(peer.port, pid);
            Q_EMIT Admitted(peer.socket, peer.port);
            return;
        case PeerUser::NotYetKnown:
            if (!peer.deadline.hasExpired()) {
                FPending.push_back(peer);
                if (!FPeerTimer->isActive()) FPeerTimer->start();
                return;
            }
            break;
        case PeerUser::Other:
            break;
    }
    FLog(QStringLiteral("Отклонено подключение к TCP серверу с порта %1: процесс другого пользователя")
             .arg(peer.port));
    relay_platform::SocketClose(peer.socket);
}

// Names the program behind a connection, so that the log shows whether anything but the
// configuration program this wizard started reaches the device.
void ConnectionAdmission::LogAccepted(quint16 peerPort, std::uint32_t pid) {
    QString who = QStringLiteral("программа не определена");
    if (pid != 0) {
        const PeerProgram program = DescribePeer(pid, FStartedProcess());
        who = QStringLiteral("%1 (PID %2), %3")
                  .arg(QString::fromStdString(ShownForeignText(program.name)))
                  .arg(pid)
                  .arg(program.startedHere ? QStringLiteral("запущена мастером")
                                           : QStringLiteral("не запущена мастером"));
    }
    FLog(QStringLiteral("Подключение к TCP серверу с порта %1: %2").arg(peerPort).arg(who));
}

void ConnectionAdmission::CheckPendingPeers() {
    const std::vector<PendingPeer> pending = std::exchange(FPending, {});
    for (const PendingPeer& peer : pending) CheckPeer(peer);
    if (FPending.empty()) FPeerTimer->stop();
}

void ConnectionAdmission::DropChecking() {
    for (const PendingPeer& peer : FPending) relay_platform::SocketClose(peer.socket);
    FPending.clear();
    FPeerTimer->stop();
}

void ConnectionAdmission::BrowserRefused(quint16 peerPort, bool tls) {
    FLog(QStringLiteral("Отклонено подключение к TCP серверу с порта %1: %2")
             .arg(peerPort)
             .arg(tls ? QStringLiteral("запрос веб-браузера по HTTPS (TLS)")
                      : QStringLiteral("запрос веб-браузера (HTTP)")));
}

}  // namespace lintaro
