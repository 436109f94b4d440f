#include <windows.h>

#include "PortProbe.h"

namespace lintaro::testing_support {

std::optional<LineSettings> ReadLineSettings(COMHandle handle) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(reinterpret_cast<HANDLE>(handle), &dcb)) return std::nullopt;
    LineSettings line;
    line.speed = dcb.BaudRate;
    line.dataBits = dcb.ByteSize;
    line.parity = dcb.Parity != NOPARITY;
    line.twoStopBits = dcb.StopBits != ONESTOPBIT;
    return line;
}

std::optional<std::size_t> BytesWaiting(COMHandle handle) {
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(reinterpret_cast<HANDLE>(handle), &errors, &status)) return std::nullopt;
    return status.cbInQue;
}

bool IsOpenHandle(COMHandle handle) {
    DWORD flags = 0;
    return GetHandleInformation(reinterpret_cast<HANDLE>(handle), &flags) != FALSE;
}

COMHandle ClosedHandle() {
    const HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    CloseHandle(event);
    return reinterpret_cast<COMHandle>(event);
}

}  // namespace lintaro::testing_support
