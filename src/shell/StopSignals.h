// The system's requests to stop, handled as the user's close of the windows: the same
// orderly steps (settings saved, configuration program stopped, copy deleted, port and
// server closed), then the event loop ends. Installed before the windows exist, so a
// request that comes during the start is not lost (it is served once the loop runs).
// Linux: SIGTERM, SIGHUP (logout, closed terminal) and SIGINT. Windows: the end of the
// user's session, and a console's close, logoff, shutdown, Ctrl+C and Ctrl+Break.
#pragma once

namespace lintaro {

void InstallStopSignals();

// Whether the system has asked the program to stop. A request served while a box of the
// start runs its own loop closes that box, but the program's loop does not run yet and so
// cannot be ended: the start then closes the windows as soon as they exist instead.
bool StopRequested();

// Forgets a request served: for a process that plays many starts of the program one after
// another (the tests).
void ForgetStopRequest();

}  // namespace lintaro
