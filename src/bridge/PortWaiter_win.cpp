// Windows: port names are not paths, so there is no folder to watch. A port device that
// leaves ends the relay's pending wait on the port, which then cannot be asked any more:
// the relay tells its hang-up. The timed presence test, which enumerates the present Ports
// devices, stays as a slow fallback for a driver that leaves the wait standing.
#include "bridge/PortWaiter.h"

namespace lintaro {

namespace {

constexpr int kPresenceIntervalMs = 1000;

}  // namespace

struct PortWaiter::Private {};

PortWaiter::PortWaiter(QObject* parent) : QObject(parent), d(new Private) {}

PortWaiter::~PortWaiter() { delete d; }

int PortWaiter::PresenceIntervalMs() const { return kPresenceIntervalMs; }

void PortWaiter::Attach(const std::string&) {}

void PortWaiter::Detach() {}

}  // namespace lintaro
