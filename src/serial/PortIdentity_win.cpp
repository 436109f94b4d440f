// Port identities from SetupAPI: the Plug-and-Play instance of the device whose "PortName"
// is the port (Windows).
#include "serial/PortIdentity.h"

#include <windows.h>

#include "serial/WinText.h"

#include <cfgmgr32.h>  // MAX_DEVICE_ID_LEN
#include <setupapi.h>

#include <cwctype>

namespace lintaro {

namespace {

// Setup class of serial and parallel ports (GUID_DEVCLASS_PORTS).
constexpr GUID PortsClassGuid{
    0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

bool SameNameNoCase(const std::wstring& a, const std::wstring& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::towupper(a[i]) != std::towupper(b[i])) return false;
    }
    return true;
}

// The device's "PortName" value (COM3); empty when it has none.
std::wstring PortNameOf(HDEVINFO set, SP_DEVINFO_DATA& info) {
    const HKEY key =
        SetupDiOpenDevRegKey(set, &info, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_QUERY_VALUE);
    if (key == INVALID_HANDLE_VALUE) return {};
    wchar_t value[64] = {};
    DWORD type = 0;
    DWORD size = sizeof(value) - sizeof(wchar_t);  // room for a terminator the value may lack
    const LONG result =
        RegQueryValueExW(key, L"PortName", nullptr, &type, reinterpret_cast<BYTE*>(value), &size);
    RegCloseKey(key);
    if (result != ERROR_SUCCESS || type != REG_SZ) return {};
    return std::wstring(value);
}

std::wstring InstanceIdOf(HDEVINFO set, SP_DEVINFO_DATA& info) {
    wchar_t id[MAX_DEVICE_ID_LEN + 1] = {};
    if (!SetupDiGetDeviceInstanceIdW(set, &info, id, MAX_DEVICE_ID_LEN, nullptr)) return {};
    return std::wstring(id);
}

}  // namespace

std::string COMPortIdentity(const std::string& name) {
    const std::wstring wanted = Utf8ToWide(name);
    if (wanted.empty()) return {};
    const HDEVINFO set = SetupDiGetClassDevsW(&PortsClassGuid, nullptr, nullptr, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) return {};
    std::wstring identity;
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof(info);
    for (DWORD index = 0; identity.empty() && SetupDiEnumDeviceInfo(set, index, &info); ++index) {
        if (SameNameNoCase(PortNameOf(set, info), wanted)) identity = InstanceIdOf(set, info);
    }
    SetupDiDestroyDeviceInfoList(set);
    // The instance carries the USB ids and the serial number, or for an adapter without
    // one a number the system derives from the socket it sits in.
    return identity.empty() ? std::string() : "pnp:" + WideToUtf8(identity);
}

std::string FindCOMPortByIdentity(const std::string& identity,
                                  const std::vector<std::string>& names) {
    if (identity.empty()) return {};
    std::string found;
    for (const std::string& name : names) {
        if (COMPortIdentity(name) != identity) continue;
        if (!found.empty() && !SameNameNoCase(Utf8ToWide(found), Utf8ToWide(name))) return {};
        if (found.empty()) found = name;
    }
    return found;
}

// An adapter without a serial number has an instance the system derives from its socket,
// which tells neither its ids nor its port apart from the socket: it is not followed.
std::vector<std::string> FindMovedAdapter(const std::string&, const std::vector<std::string>&) {
    return {};
}

// The Restart Manager names the holders of files, not of COM ports, and nothing else in
// the system tells who has a port open.
std::string COMPortHolder(const std::string&) {
    return {};
}

}  // namespace lintaro
