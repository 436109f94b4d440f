#include "PortDevice_win.h"

#include <windows.h>

#include <setupapi.h>

#include "serial/WinText.h"

#include <stdexcept>
#include <vector>

namespace lintaro::testing_support {

namespace {

constexpr GUID PortsClass{
    0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

std::wstring Widen(const std::string& text) { return Utf8ToWide(text); }

[[noreturn]] void Fail(const char* what) {
    throw std::runtime_error(std::string(what) + " failed, error " +
                             std::to_string(GetLastError()));
}

// Removes every registered device with this instance id (one left by an earlier run too).
void RemoveDevice(const std::wstring& instanceId) {
    const HDEVINFO set = SetupDiGetClassDevsW(&PortsClass, nullptr, nullptr, 0);
    if (set == INVALID_HANDLE_VALUE) return;
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof info;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &info); ++i) {
        wchar_t id[512] = {};
        if (SetupDiGetDeviceInstanceIdW(set, &info, id, static_cast<DWORD>(std::size(id)),
                                        nullptr) &&
            _wcsicmp(id, instanceId.c_str()) == 0) {
            SetupDiRemoveDevice(set, &info);
        }
    }
    SetupDiDestroyDeviceInfoList(set);
}

}  // namespace

RegisteredPortDevice::RegisteredPortDevice(const std::string& portName,
                                           std::optional<std::string> friendlyName)
    : FInstanceId(L"ROOT\\PORTS\\" + Widen(portName)) {
    RemoveDevice(FInstanceId);
    const HDEVINFO set = SetupDiCreateDeviceInfoList(&PortsClass, nullptr);
    if (set == INVALID_HANDLE_VALUE) Fail("SetupDiCreateDeviceInfoList");
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof info;
    try {
        if (!SetupDiCreateDeviceInfoW(set, FInstanceId.c_str(), &PortsClass, nullptr, nullptr, 0,
                                      &info)) {
            Fail("SetupDiCreateDeviceInfoW");
        }
        if (friendlyName) {
            const std::wstring name = Widen(*friendlyName);
            if (!SetupDiSetDeviceRegistryPropertyW(
                    set, &info, SPDRP_FRIENDLYNAME, reinterpret_cast<const BYTE*>(name.c_str()),
                    static_cast<DWORD>((name.size() + 1) * sizeof(wchar_t)))) {
                Fail("SetupDiSetDeviceRegistryPropertyW");
            }
        }
        if (!SetupDiRegisterDeviceInfo(set, &info, 0, nullptr, nullptr, nullptr)) {
            Fail("SetupDiRegisterDeviceInfo");
        }
    } catch (...) {
        SetupDiDestroyDeviceInfoList(set);
        throw;
    }
    SetupDiDestroyDeviceInfoList(set);
}

RegisteredPortDevice::RegisteredPortDevice(const std::string& portName)
    : RegisteredPortDevice(portName, "Simulated port (" + portName + ")") {}

RegisteredPortDevice::~RegisteredPortDevice() {
    RemoveDevice(FInstanceId);
}

}  // namespace lintaro::testing_support
