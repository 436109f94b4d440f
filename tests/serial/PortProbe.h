// What the system says about an open port, read behind the serial layer's back.
#pragma once

#include <optional>
#include <ostream>

#include "serial/COMUtils.h"

namespace lintaro::testing_support {

struct LineSettings {
    unsigned speed = 0;
    int dataBits = 0;
    bool parity = false;
    bool twoStopBits = false;
    bool operator==(const LineSettings&) const = default;
    friend void PrintTo(const LineSettings& line, std::ostream* out) {
        *out << line.speed << " bit/s, " << line.dataBits << " data bits, "
             << (line.parity ? "parity" : "no parity") << ", "
             << (line.twoStopBits ? "two stop bits" : "one stop bit");
    }
};

// The line settings the driver holds for the port; nothing when it cannot tell.
std::optional<LineSettings> ReadLineSettings(COMHandle handle);

// The number of bytes waiting in the port's input queue; nothing when it cannot tell.
std::optional<std::size_t> BytesWaiting(COMHandle handle);

// Whether the value is an open handle (a descriptor on POSIX) of this process.
bool IsOpenHandle(COMHandle handle);

// A value that was an open handle and is closed now.
COMHandle ClosedHandle();

}  // namespace lintaro::testing_support
