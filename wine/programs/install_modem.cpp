// Stages the port driver's INF, so that the PnP manager finds a driver for the
// bus's child, and installs the simulated modem bus as a root-enumerated device.
//
//   install_modem <bus.inf> <port.inf>
//
// Both INFs must sit beside the .sys files they copy. Exit code 0 when every
// step succeeded; otherwise the failing step is named on stderr.
#include <windows.h>
#include <setupapi.h>
#include <newdev.h>
#include <initguid.h>
#include <devguid.h>

#include <cstdio>

namespace {

const wchar_t BusInstanceId[] = L"ROOT\\ZQMODEMSIM\\0000";
const wchar_t BusHardwareId[] = L"root\\zqmodemsim";

int Fail(const char *step)
{
    std::fprintf(stderr, "install_modem: %s failed, error %lu\n", step, GetLastError());
    return 1;
}

bool FullPath(const wchar_t *path, wchar_t *full, DWORD size)
{
    DWORD n = GetFullPathNameW(path, size, full, nullptr);
    return n != 0 && n < size;
}

// Registers ROOT\ZQMODEMSIM\0000 with the hardware ID the bus INF matches.
int RegisterBusDevice()
{
    HDEVINFO set = SetupDiCreateDeviceInfoList(&GUID_DEVCLASS_SYSTEM, nullptr);
    if (set == INVALID_HANDLE_VALUE)
        return Fail("SetupDiCreateDeviceInfoList");

    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof(device);
    int rc = 0;
    // The property is a REG_MULTI_SZ: the ID, its terminator and the list's.
    wchar_t ids[sizeof(BusHardwareId) / sizeof(wchar_t) + 1] = {};
    for (size_t i = 0; BusHardwareId[i]; ++i)
        ids[i] = BusHardwareId[i];

    if (!SetupDiCreateDeviceInfoW(set, BusInstanceId, &GUID_DEVCLASS_SYSTEM, nullptr, nullptr, 0, &device))
        rc = Fail("SetupDiCreateDeviceInfo");
    else if (!SetupDiSetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID, reinterpret_cast<const BYTE *>(ids),
                                                sizeof(ids)))
        rc = Fail("SetupDiSetDeviceRegistryProperty(SPDRP_HARDWAREID)");
    else if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &device))
        rc = Fail("SetupDiCallClassInstaller(DIF_REGISTERDEVICE)");
    SetupDiDestroyDeviceInfoList(set);
    return rc;
}

// Installs the bus driver on the device: copies the .sys, creates the service
// and starts the device, whose child then looks for its driver among the
// staged INFs.
int InstallBusDriver(const wchar_t *busInf)
{
    BOOL reboot = FALSE;
    if (!UpdateDriverForPlugAndPlayDevicesW(nullptr, BusHardwareId, busInf, INSTALLFLAG_FORCE, &reboot))
        return Fail("UpdateDriverForPlugAndPlayDevices");
    return 0;
}

int StagePortInf(const wchar_t *portInf)
{
    if (!SetupCopyOEMInfW(portInf, nullptr, SPOST_PATH, 0, nullptr, 0, nullptr, nullptr))
        return Fail("SetupCopyOEMInf");
    return 0;
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: install_modem <bus.inf> <port.inf>\n");
        return 2;
    }
    wchar_t busInf[MAX_PATH];
    wchar_t portInf[MAX_PATH];
    if (!FullPath(argv[1], busInf, MAX_PATH) || !FullPath(argv[2], portInf, MAX_PATH))
        return Fail("GetFullPathName");

    // The port INF goes in first, so that the child finds its driver as soon
    // as the bus reports it.
    int rc = StagePortInf(portInf);
    if (rc == 0)
        rc = RegisterBusDevice();
    if (rc == 0)
        rc = InstallBusDriver(busInf);
    if (rc == 0)
        std::printf("install_modem: port INF staged, bus registered, bus driver installed\n");
    return rc;
}
