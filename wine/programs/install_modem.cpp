// Stages the port driver's INF, so that the PnP manager finds a driver for the
// bus's child, and installs the simulated modem bus as a root-enumerated device.
//
//   install_modem <bus.inf> <port.inf>
//
// Both INFs must sit beside the .sys files they copy. The port INF is changed
// in place: it gets the port's name (see NamePort), which is printed as
// "install_modem: port name COMn". Exit code 0 when every step succeeded;
// otherwise the failing step is named on stderr.
#include <windows.h>
#include <setupapi.h>
#include <newdev.h>
#include <initguid.h>
#include <devguid.h>

#include <cstdio>
#include <cwchar>

namespace {

const wchar_t BusInstanceId[] = L"ROOT\\ZQMODEMSIM\\0000";
const wchar_t BusHardwareId[] = L"root\\zqmodemsim";
// The hardware ID the bus gives its child, which the port INF's model names.
const wchar_t ChildHardwareId[] = L"ZQMODEM\\DIAG";

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

// Whether the name is a DOS device or a port in the SERIALCOMM device map.
bool PortNameTaken(const wchar_t *name)
{
    wchar_t target[512];
    if (QueryDosDeviceW(name, target, ARRAYSIZE(target)) != 0)
        return true;
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_QUERY_VALUE, &key) != 0)
        return false;
    bool taken = false;
    for (DWORD index = 0; !taken; ++index) {
        wchar_t value[64];
        wchar_t data[64] = {};
        DWORD valueChars = ARRAYSIZE(value);
        DWORD size = sizeof(data) - sizeof(wchar_t);
        DWORD type = 0;
        LONG rc = RegEnumValueW(key, index, value, &valueChars, nullptr, &type, reinterpret_cast<BYTE *>(data), &size);
        if (rc == ERROR_NO_MORE_ITEMS)
            break;
        taken = rc == ERROR_SUCCESS && type == REG_SZ && lstrcmpiW(data, name) == 0;
    }
    RegCloseKey(key);
    return taken;
}

// The install section the child's model names, as decorated for this system
// ("ZqEvdoDiag_Install.NT"), with ".HW" appended.
bool HardwareSection(const wchar_t *portInf, wchar_t *section, DWORD size)
{
    HINF inf = SetupOpenInfFileW(portInf, nullptr, INF_STYLE_WIN4, nullptr);
    if (inf == INVALID_HANDLE_VALUE)
        return false;
    bool found = false;
    INFCONTEXT line;
    wchar_t models[128];
    wchar_t install[128];
    wchar_t id[128];
    if (SetupFindFirstLineW(inf, L"Manufacturer", nullptr, &line) &&
        SetupGetStringFieldW(&line, 1, models, ARRAYSIZE(models), nullptr) &&
        SetupFindFirstLineW(inf, models, nullptr, &line)) {
        do {
            found = SetupGetStringFieldW(&line, 2, id, ARRAYSIZE(id), nullptr) && lstrcmpiW(id, ChildHardwareId) == 0 &&
                    SetupGetStringFieldW(&line, 1, install, ARRAYSIZE(install), nullptr);
        } while (!found && SetupFindNextLine(&line, &line));
    }
    DWORD length = 0;
    found = found && SetupDiGetActualSectionToInstallW(inf, install, section, size - 3, &length, nullptr);
    if (found)
        lstrcatW(section, L".HW");
    // An existing hardware section would meet the one added below.
    found = found && !SetupFindFirstLineW(inf, section, nullptr, &line);
    SetupCloseInfFile(inf);
    return found;
}

// Windows' Ports class installer gives a new port the lowest free COM name and
// writes it as the "PortName" value of the device's hardware key, before the
// device starts. Wine has no such installer, and installs and starts the child
// in one step, so the name goes into the staged INF instead: a hardware
// section whose AddReg line Wine writes into that key at the install.
int NamePort(const wchar_t *portInf)
{
    wchar_t name[16] = L"";
    for (int n = 1; n <= 256 && name[0] == L'\0'; ++n) {
        wchar_t candidate[16];
        swprintf(candidate, ARRAYSIZE(candidate), L"COM%d", n);
        if (!PortNameTaken(candidate))
            lstrcpyW(name, candidate);
    }
    if (name[0] == L'\0')
        return Fail("finding a free COM name");
    wchar_t section[160];
    if (!HardwareSection(portInf, section, ARRAYSIZE(section))) {
        std::fprintf(stderr,
                     "install_modem: the port INF names no install section for %ls, or has its hardware "
                     "section already\n",
                     ChildHardwareId);
        return 1;
    }
    char text[512];
    int length = std::snprintf(text, sizeof(text),
                               "\r\n; Added by the Wine harness, which names the port as the Ports class installer "
                               "would.\r\n[%ls]\r\nAddReg = ZqHarness_PortName\r\n\r\n[ZqHarness_PortName]\r\n"
                               "HKR,,PortName,,\"%ls\"\r\n",
                               section, name);
    HANDLE file = CreateFileW(portInf, FILE_APPEND_DATA, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    DWORD written = 0;
    bool ok = file != INVALID_HANDLE_VALUE && WriteFile(file, text, static_cast<DWORD>(length), &written, nullptr) &&
              written == static_cast<DWORD>(length);
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    if (!ok)
        return Fail("adding the port name to the port INF");
    std::printf("install_modem: port name %ls\n", name);
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
    int rc = NamePort(portInf);
    if (rc == 0)
        rc = StagePortInf(portInf);
    if (rc == 0)
        rc = RegisterBusDevice();
    if (rc == 0)
        rc = InstallBusDriver(busInf);
    if (rc == 0)
        std::printf("install_modem: port INF staged, bus registered, bus driver installed\n");
    return rc;
}
