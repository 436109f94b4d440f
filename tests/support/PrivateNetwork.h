// A network of the test program's own (Linux): its ports are private to it, so that no
// other program (the suite's other tests running at the same time included) can take a
// port a test's server is about to listen on, and a user's running program is never
// disturbed. Elsewhere, or where the system grants no namespace, nothing changes.
#pragma once

#include <string>

namespace lintaro::test {

// Moves the process into a network namespace of its own with the loopback interface up.
// Call it first thing in main, before any thread starts: without root it needs a user
// namespace too, which the kernel grants a single-threaded process only. `why` tells what
// failed when it returns false.
bool EnterPrivateNetwork(std::string& why);

// Whether EnterPrivateNetwork succeeded in this process.
bool HasPrivateNetwork();

}  // namespace lintaro::test
