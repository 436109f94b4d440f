// The TCP server endpoint of the session: start, stop, and its connections (only the
// user's own are admitted, by ConnectionAdmission, and handed to the relay).
#include "bridge/ConnectionAdmission.h"
#include "bridge/ConnectionSession.h"
#include "bridge/RelayThread.h"
#include "bridge/ServerSocket.h"

namespace lintaro {

// ---- TCP server endpoint ----

bool ConnectionSession::StartTCPServer() {
    const auto port = static_cast<quint16>(FServerPort & 0xFFFF);
    // Kept through a lost call: the program's connections wait there for the relay.
    if (FServer->Active() && FServer->Port() == port) return true;
    if (FServer->Active()) StopTCPServer();
    return FServer->Open(port);
}

void ConnectionSession::StopTCPServer() {
    FServer->Close();
    FAdmission->DropChecking();
    FRelay->DropClients();
}

bool ConnectionSession::SetupConnected() const { return FRelay->Clients() > 0; }

void ConnectionSession::DropTCPClients() { FRelay->DropClients(); }
}  // namespace lintaro
