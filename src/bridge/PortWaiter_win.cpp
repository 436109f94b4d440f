// Windows: port names are not paths, so there is no folder to watch, and a port device
// that leaves is only seen by asking for it: the presence test enumerates the present
// Ports devices every 50 ms, as ever.
#include "bridge/PortWaiter.h"

namespace lintaro {

namespace {

constexpr int kPresenceIntervalMs = 50;

}  // namespace

struct PortWaiter::Private {};

PortWaiter::PortWaiter(QObject* parent) : QObject(parent), d(new Private) {}

PortWaiter::~PortWaiter() { delete d; }

int PortWaiter::PresenceIntervalMs() const { return kPresenceIntervalMs; }

void PortWaiter::Attach(const std::string&) {}

void PortWaiter::Detach() {}

}  // namespace lintaro
