// What the program says before it has a window, or instead of one: the answers to its
// command line and the refusal to start without a display.
#pragma once

#include <QString>

namespace lintaro {

// Writes text for whoever started the program: to its standard output or error, or on
// Windows to the console it was started from; a Windows program started from the
// desktop shows it in a box.
void WriteToConsole(const QString& text, bool error);

// No graphical display to open a window on, and no Qt platform asked for (on Linux: no
// DISPLAY, no WAYLAND_DISPLAY, no QT_QPA_PLATFORM and no -platform or -display option).
bool GraphicalDisplayMissing(bool displayGiven);

// The line that says so.
QString NoDisplayMessage();

}  // namespace lintaro
