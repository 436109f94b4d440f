// Win32 side of the serial layer: COM ports through the serial communications API,
// the port list from the MS-DOS device names, presence through SetupAPI's Ports class.
#include "serial/COMUtils.h"
#include "serial/DeviceNameList.h"
#include "serial/ModemWords.h"

#include <windows.h>

#include "serial/OverlappedIO_win.h"
#include "serial/WinText.h"

#include <setupapi.h>

#include <algorithm>
#include <climits>
#include <mutex>
#include <string>
#include <system_error>
#include <vector>

namespace lintaro {

const char* const COMPortPrefix = "COM";

namespace {

// Setup class of serial and parallel ports (GUID_DEVCLASS_PORTS).
constexpr GUID PortsClassGuid{
    0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

constexpr DWORD QueueSize = COMQueueSize;
constexpr DWORD PurgeAll = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
constexpr DWORD WriteSlackMs = 500;

HANDLE toHandle(COMHandle handle) {
    return reinterpret_cast<HANDLE>(handle);
}

std::wstring toWide(const std::string& text) { return Utf8ToWide(text); }

std::string toUtf8(const wchar_t* text, std::size_t size) {
    return WideToUtf8(std::wstring_view(text, size));
}

std::string toUtf8(const std::wstring& text) { return WideToUtf8(text); }

// The system's own text for an error code, in the user's language, as UTF-8.
std::string systemMessage(DWORD code) {
    wchar_t text[512] = {};
    DWORD length =
        FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                       text, static_cast<DWORD>(std::size(text)), nullptr);
    while (length > 0 &&
           (text[length - 1] == L'\r' || text[length - 1] == L'\n' || text[length - 1] == L' ')) {
        --length;
    }
    if (length == 0) return "Error " + std::to_string(code);
    return toUtf8(text, length);
}

// A system_error whose what() is exactly the system's text for the code (the standard
// one prefixes it and may carry it in the ANSI code page rather than UTF-8).
class SystemListError : public std::system_error {
public:
    explicit SystemListError(DWORD code)
        : std::system_error(static_cast<int>(code), std::system_category()),
          message_(systemMessage(code)) {}
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

// Owns a SetupAPI device information set.
class DeviceInfoSet {
public:
    explicit DeviceInfoSet(HDEVINFO set) : set_(set) {}
    ~DeviceInfoSet() {
        if (valid()) SetupDiDestroyDeviceInfoList(set_);
    }
    DeviceInfoSet(const DeviceInfoSet&) = delete;
    DeviceInfoSet& operator=(const DeviceInfoSet&) = delete;

    bool valid() const { return set_ != INVALID_HANDLE_VALUE; }
    HDEVINFO get() const { return set_; }

private:
    HDEVINFO set_;
};

// A device's friendly name; empty when it has none or it cannot be read.
std::wstring friendlyName(HDEVINFO set, SP_DEVINFO_DATA& info) {
    std::vector<wchar_t> buffer;
    DWORD required = 0;
    bool ok = SetupDiGetDeviceRegistryPropertyW(set, &info, SPDRP_FRIENDLYNAME, nullptr, nullptr, 0,
                                                &required);
    // The size can change between calls (a device being renamed); a required size that
    // does not grow would make the retry loop spin, so it ends there.
    while (!ok && GetLastError() == ERROR_INSUFFICIENT_BUFFER &&
           required > buffer.size() * sizeof(wchar_t)) {
        buffer.assign((required + sizeof(wchar_t) - 1) / sizeof(wchar_t) + 1, L'\0');
        ok = SetupDiGetDeviceRegistryPropertyW(
            set, &info, SPDRP_FRIENDLYNAME, nullptr, reinterpret_cast<PBYTE>(buffer.data()),
            static_cast<DWORD>(buffer.size() * sizeof(wchar_t)), &required);
    }
    // The zero-filled buffer is one character longer than asked for, so it always holds a
    // terminator even when the stored value has none.
    if (buffer.empty()) return {};
    return std::wstring(buffer.data());
}

// The ports this process holds open, by name. Wine maps ports to Unix devices and keeps
// no Plug and Play record of them; such a port is asked itself whether it is still there.
std::mutex OpenPortsLock;
std::vector<std::pair<std::string, HANDLE>> OpenPorts;

void RememberOpenPort(const std::string& name, HANDLE handle) {
    const std::lock_guard lock(OpenPortsLock);
    OpenPorts.emplace_back(AsciiUpperCase(name), handle);
}

// Before the handle is closed: the presence test never asks a closed (or reused) handle.
void ForgetOpenPort(HANDLE handle) {
    const std::lock_guard lock(OpenPortsLock);
    std::erase_if(OpenPorts, [handle](const auto& port) { return port.second == handle; });
}

// Whether an open port of this name still answers: a vanished device fails ClearCommError.
bool OpenPortAnswers(const std::string& name) {
    const std::string upper = AsciiUpperCase(name);
    const std::lock_guard lock(OpenPortsLock);
    for (const auto& [open, handle] : OpenPorts) {
        DWORD errors = 0;
        COMSTAT status{};
        if (open == upper) return ClearCommError(handle, &errors, &status) != FALSE;
    }
    return false;
}

// Whether the system has a Ports-class device record of the port, present or not (Windows
// keeps the record of an unplugged adapter).
bool PortDeviceRecorded(const std::string& name) {
    const DeviceInfoSet set(SetupDiGetClassDevsW(&PortsClassGuid, nullptr, nullptr, 0));
    if (!set.valid()) return false;
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof(info);
    for (DWORD index = 0; SetupDiEnumDeviceInfo(set.get(), index, &info); ++index) {
        if (FriendlyNameNamesPort(toUtf8(friendlyName(set.get(), info)), name)) return true;
    }
    return false;
}

}  // namespace

bool IsCOMPortName(const std::string& text) {
    return text.find(COMPortPrefix) != std::string::npos;
}

bool SetCOMPortState(COMHandle handle, int speed) {
    if (speed <= 0) return false;
    // GetCommState fills in the length field itself, so it is left as zero here.
    DCB dcb{};
    if (!GetCommState(toHandle(handle), &dcb)) return false;
    dcb.BaudRate = static_cast<DWORD>(speed);
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    // Only the low bit of the RTS mode: disabled becomes enabled, handshake becomes toggle;
    // every other flag keeps what the driver reported.
    dcb.fRtsControl |= RTS_CONTROL_ENABLE;
    return SetCommState(toHandle(handle), &dcb) != FALSE;
}

// The design's one message for any failed open ("COM-порт занят") stays on Windows.
COMOpenFailure LastCOMOpenFailure() { return COMOpenFailure::Busy; }

COMOpenFailure ClassifyCOMOpenError(int error) {
    return error == 0 ? COMOpenFailure::None : COMOpenFailure::Busy;
}

bool OpenCOMPort(const std::string& name, int speed, COMHandle& handle) {
    handle = InvalidCOMHandle;
    try {
        // The device namespace path works for every port number; a bare "COM10" would not.
        const std::wstring path = L"\\\\.\\" + toWide(name);
        // Overlapped, so that the relay can wait for the port beside its connections.
        const HANDLE opened = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                          OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        handle = reinterpret_cast<COMHandle>(opened);
        if (opened == INVALID_HANDLE_VALUE) return false;

        if (!SetCOMPortState(handle, speed)) return false;
        if (!SetupComm(opened, QueueSize, QueueSize)) return false;

        // With zero write time-outs a write waits until every byte has left, so a port held
        // back by flow control or a stuck adapter would block the caller for good (every
        // write here runs to its end before it returns). A write therefore ends after half a
        // second with what the port took; callers keep the rest (the bridge also writes no
        // more than the output queue has room for). Reads keep the driver's time-outs: they
        // only ever ask for bytes already queued.
        COMMTIMEOUTS timeouts{};
        if (!GetCommTimeouts(opened, &timeouts)) return false;
        timeouts.WriteTotalTimeoutMultiplier = 0;
        timeouts.WriteTotalTimeoutConstant = WriteSlackMs;
        if (!SetCommTimeouts(opened, &timeouts)) return false;

        if (!PurgeComm(opened, PurgeAll)) return false;
        RememberOpenPort(name, opened);

        // Leave DTR off and RTS on. Ports without modem lines (some virtual ones) refuse
        // these calls, so their results do not decide the open.
        EscapeCommFunction(opened, CLRDTR);
        EscapeCommFunction(opened, SETRTS);
        EscapeCommFunction(opened, SETRTS);
        return true;
    } catch (...) {
        return false;
    }
}

bool CloseCOMPort(COMHandle& handle) {
    if (handle == InvalidCOMHandle) return true;
    bool closed = true;
    try {
        ForgetOpenPort(toHandle(handle));
        FlushFileBuffers(toHandle(handle));
        closed = CloseHandle(toHandle(handle)) != FALSE;
    } catch (...) {
        closed = true;
    }
    if (closed) handle = InvalidCOMHandle;
    return closed;
}

bool DiscardCOMPortInput(COMHandle handle) {
    return PurgeComm(toHandle(handle), PURGE_RXCLEAR) != FALSE;
}

bool SetCOMPortDTR(COMHandle handle, bool on) {
    return EscapeCommFunction(toHandle(handle), on ? SETDTR : CLRDTR) != FALSE;
}

int ReadCOMPort(COMHandle handle, std::uint8_t* buffer, std::size_t capacity) {
    if (buffer == nullptr) return -1;
    try {
        DWORD errors = 0;
        COMSTAT status{};
        if (!ClearCommError(toHandle(handle), &errors, &status)) return 0;
        if (status.cbInQue == 0) return 0;
        // Asking for no more than is queued is what keeps a read with the driver's own
        // time-outs from waiting; what does not fit stays queued for the next poll.
        const std::size_t limit = std::min<std::size_t>(capacity, INT_MAX);
        const DWORD wanted = static_cast<DWORD>(std::min<std::size_t>(status.cbInQue, limit));
        if (wanted == 0) return 0;
        DWORD got = 0;
        if (!RunToEnd(toHandle(handle), got, [&](OVERLAPPED* overlapped) {
                return ReadFile(toHandle(handle), buffer, wanted, nullptr, overlapped);
            })) {
            return 0;
        }
        return static_cast<int>(got);
    } catch (...) {
        return -1;
    }
}

int WriteCOMPort(COMHandle handle, const std::uint8_t* bytes, int count) {
    if (bytes == nullptr) return -1;
    try {
        const std::uint8_t none = 0;
        const DWORD size = count > 0 ? static_cast<DWORD>(count) : 0;
        DWORD written = 0;
        // A failed or timed-out write still reports what the port took before it stopped.
        RunToEnd(toHandle(handle), written, [&](OVERLAPPED* overlapped) {
            return WriteFile(toHandle(handle), size > 0 ? bytes : &none, size, nullptr, overlapped);
        });
        return static_cast<int>(written);
    } catch (...) {
        return -1;
    }
}

void GetCOMPortList(std::vector<std::string>& list, const std::string& prefix) {
    list.clear();
    std::wstring devices;
    const std::uint32_t error = ReadDeviceNameList(
        [](wchar_t* buffer, std::uint32_t capacity, std::uint32_t& lastError) {
            SetLastError(0);
            const DWORD count = QueryDosDeviceW(nullptr, buffer, capacity);
            lastError = GetLastError();
            return static_cast<std::uint32_t>(count);
        },
        devices);
    if (error != 0) throw SystemListError(error);

    int position = 1;
    std::wstring item;
    GetNextToken(devices, position, item);
    while (!item.empty()) {
        std::string entry = toUtf8(item);
        if (entry.compare(0, prefix.size(), prefix) == 0) list.push_back(std::move(entry));
        GetNextToken(devices, position, item);
    }
}

void GetCOMPortFriendlyNames(std::vector<std::string>& list) {
    list.clear();
    const DeviceInfoSet set(SetupDiGetClassDevsW(&PortsClassGuid, nullptr, nullptr, DIGCF_PRESENT));
    if (!set.valid()) return;

    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof(info);
    for (DWORD index = 0; SetupDiEnumDeviceInfo(set.get(), index, &info); ++index) {
        list.push_back(std::to_string(index) + ": " + toUtf8(friendlyName(set.get(), info)));
    }
}

// A port the system keeps no device record of (a port Wine maps to a Unix device) is
// present while its open handle answers; a recorded one only while its device is present.
bool COMPortExists(const std::string& name) {
    if (COMPortListed(name)) return true;
    return !name.empty() && !PortDeviceRecorded(name) && OpenPortAnswers(name);
}

COMPortDescription DescribeCOMPort(const std::string& name) {
    // The friendly name ends with the port's name in parentheses: "USB Serial (COM3)".
    COMPortDescription result;
    const DeviceInfoSet set(SetupDiGetClassDevsW(&PortsClassGuid, nullptr, nullptr, DIGCF_PRESENT));
    if (!set.valid()) return result;
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof(info);
    const std::string suffix = "(" + name + ")";
    for (DWORD index = 0; SetupDiEnumDeviceInfo(set.get(), index, &info); ++index) {
        const std::string friendly = toUtf8(friendlyName(set.get(), info));
        if (friendly.size() > suffix.size() && friendly.ends_with(suffix)) {
            result.friendlyName = friendly;
            break;
        }
    }
    return result;
}

std::vector<std::string> COMPortListPlaces() {
    return {};
}

}  // namespace lintaro
