#include "wine/programs/com_port_interfaces.h"

#include <setupapi.h>
#include <winioctl.h>

namespace {

std::wstring DevicePortName(HDEVINFO set, SP_DEVINFO_DATA *device)
{
    HKEY key = SetupDiOpenDevRegKey(set, device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_QUERY_VALUE);
    if (key == INVALID_HANDLE_VALUE)
        return L"";
    wchar_t name[64] = {};
    DWORD size = sizeof(name) - sizeof(wchar_t);
    DWORD type = 0;
    LONG rc = RegQueryValueExW(key, L"PortName", nullptr, &type, reinterpret_cast<BYTE *>(name), &size);
    RegCloseKey(key);
    return rc == ERROR_SUCCESS && type == REG_SZ ? name : L"";
}

} // namespace

bool ListComPortInterfaces(std::vector<ComPortInterface> *found)
{
    found->clear();
    HDEVINFO set =
        SetupDiGetClassDevsW(&GUID_DEVINTERFACE_COMPORT, nullptr, nullptr, DIGCF_DEVICEINTERFACE | DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE)
        return false;
    SP_DEVICE_INTERFACE_DATA iface = {};
    iface.cbSize = sizeof(iface);
    DWORD index = 0;
    for (; SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_DEVINTERFACE_COMPORT, index, &iface); ++index) {
        union {
            SP_DEVICE_INTERFACE_DETAIL_DATA_W detail;
            BYTE bytes[1024];
        } buffer;
        buffer.detail.cbSize = sizeof(buffer.detail);
        SP_DEVINFO_DATA device = {};
        device.cbSize = sizeof(device);
        wchar_t instance[256];
        if (!SetupDiGetDeviceInterfaceDetailW(set, &iface, &buffer.detail, sizeof(buffer), nullptr, &device) ||
            !SetupDiGetDeviceInstanceIdW(set, &device, instance, ARRAYSIZE(instance), nullptr))
            continue;
        ComPortInterface entry;
        entry.path = buffer.detail.DevicePath;
        entry.instance = instance;
        entry.active = (iface.Flags & SPINT_ACTIVE) != 0;
        entry.portName = DevicePortName(set, &device);
        found->push_back(entry);
    }
    DWORD error = GetLastError();
    SetupDiDestroyDeviceInfoList(set);
    SetLastError(error);
    return error == ERROR_NO_MORE_ITEMS;
}
