// Serial port access and port enumeration.
//
// A thin synchronous layer over the operating system's serial interface. It keeps no
// state of its own and uses no Qt, so it builds for every platform on its own. Port
// names are UTF-8 text: "COM3" on Windows, a device path such as /dev/ttyUSB0 on POSIX.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace lintaro {

// The operating system's handle of an open port (a HANDLE on Windows, a file
// descriptor on POSIX), widened to pointer size.
using COMHandle = std::uintptr_t;

// All bits set: no port is open (numerically the same as Win32 INVALID_HANDLE_VALUE).
inline constexpr COMHandle InvalidCOMHandle = ~COMHandle{0};

// The speed of a port when nothing else is set (the modem is always dialled at it).
inline constexpr int DefaultCOMSpeed = 19200;

// The driver queue sizes asked for on Windows when a port is opened (SetupComm).
inline constexpr std::uint32_t COMQueueSize = 2048;

// The buffer size that every caller of ReadCOMPort provides.
inline constexpr std::size_t COMBufferSize = 32768;

// What GetCOMPortList keeps of the system's device names: "COM" on Windows; every
// listed port on POSIX, where names are paths.
extern const char* const COMPortPrefix;

// Opens the named port exclusively (a second open of the same port fails while this one
// is open), raw 8 data bits, no parity, one stop bit at `speed`, both queues purged,
// DTR off and RTS on. `handle` is written in every case: a failure after the port was
// opened (speed refused, set-up refused) leaves the open handle there for the caller to
// release with CloseCOMPort.
bool OpenCOMPort(const std::string& name, int speed, COMHandle& handle);

// Why the last failed OpenCOMPort of this thread failed. On Windows every failure is Busy,
// as the system says little more than "access denied" for a port another program holds.
enum class COMOpenFailure { None, Busy, NoAccess, Gone, Other };
COMOpenFailure LastCOMOpenFailure();

// The failure an open's system error stands for (POSIX errno values).
COMOpenFailure ClassifyCOMOpenError(int error);

// Applies the line settings of OpenCOMPort to an open port.
bool SetCOMPortState(COMHandle handle, int speed);

// Flushes what is queued for output (bounded in time), then closes. True when the handle
// was closed or was already InvalidCOMHandle; `handle` is then InvalidCOMHandle.
bool CloseCOMPort(COMHandle& handle);

// Never waits: stores the bytes already waiting in the input queue, at most `capacity`;
// the rest stays queued for the next call. 0 when nothing waits or the port cannot be
// queried (a vanished port reads as silence), -1 on a fault inside the read.
int ReadCOMPort(COMHandle handle, std::uint8_t* buffer, std::size_t capacity);

// ReadCOMPort into a 32768-byte buffer of its own; `data` is empty on silence or fault.
void ReadCOMPortStr(COMHandle handle, std::string& data);

// Number of bytes the port took; 0 when the write failed (or nothing was given), -1 on a
// fault. Never blocks for long: it takes what the output queue has room for and returns,
// so the count may be short and the caller keeps the rest; a port that takes nothing is
// waited for about half a second (a stalled port gives 0).
int WriteCOMPort(COMHandle handle, const std::uint8_t* bytes, int count);
int WriteCOMPortStr(COMHandle handle, const std::string& data);

// Raises (`on`) or drops the DTR line. False when the port has no such line (a
// pseudo-terminal, some virtual ports) or refuses.
bool SetCOMPortDTR(COMHandle handle, bool on);

// Drops what the port has received and nobody has read yet.
bool DiscardCOMPortInput(COMHandle handle);

// Walks a list of NUL-terminated items from the 1-based position `aStartPos`: sets `item`
// to the next one and moves `aStartPos` past it. `item` is empty at the end of the list.
// Throws std::out_of_range for a start position below 1.
void GetNextToken(const std::wstring& text, int& aStartPos, std::wstring& item);

// Replaces `list` with the names of the serial ports present that begin with `prefix`.
// Windows keeps the system's order; POSIX sorts naturally (ttyUSB2 before ttyUSB10) and
// adds every character device (links followed, hidden entries skipped) of the folder
// named by the environment variable LINTARO_PORT_DIR, as <folder>/<entry>.
// Throws std::system_error when the system cannot list its devices.
void GetCOMPortList(std::vector<std::string>& list, const std::string& prefix);

// Replaces `list` with one line "<index>: <friendly name>" per present port device; the
// friendly name ends with the port name in parentheses, as in "0: USB Serial (COM3)".
void GetCOMPortFriendlyNames(std::vector<std::string>& list);

// Whether the named port is still among the present port devices. The name must match a
// port exactly (ignoring letter case): COM1 is not found when only COM12 is present.
// Windows: a port the system keeps no device record of (Wine maps ports to Unix devices)
// is present while this process holds it open and it answers.
bool COMPortExists(const std::string& name);

// Whether a friendly name (or a line of GetCOMPortFriendlyNames) ends with this port's name
// in parentheses, ignoring letter case.
bool FriendlyNameNamesPort(std::string_view line, std::string_view name);

// COMPortExists by the full list of present port devices (what it means on every platform;
// a platform may answer the common case more cheaply first).
bool COMPortListed(const std::string& name);

// What the system knows of the adapter behind a port, to tell two adapters apart; fields
// it does not know stay empty. Linux: the USB device's manufacturer, product and serial
// number (sysfs); Windows: the Plug-and-Play friendly name.
struct COMPortDescription {
    std::string manufacturer;
    std::string product;
    std::string serial;
    std::string friendlyName;
};
COMPortDescription DescribeCOMPort(const std::string& name);

// Where GetCOMPortList looks for ports on POSIX (folders); empty on Windows, whose list
// is the system's own.
std::vector<std::string> COMPortListPlaces();

// Whether `text` names a port at all, as the connection window's port box must before a
// connection is tried (Windows: it contains "COM"; POSIX: it is not empty).
bool IsCOMPortName(const std::string& text);

}  // namespace lintaro
