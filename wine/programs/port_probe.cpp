// Reports what an application can see of a COM port: the DOS device name, the
// SERIALCOMM device map, the present COM-port device interfaces, and what
// opening the port does.
//
//   port_probe [port-name]          (default COM7)
//
// One line per observation, each starting with "port_probe: ", so that the
// smoke test can read them. Exit code 0 once every probe has run, whatever it
// found; 2 on a usage error.
#include <windows.h>

#include "wine/programs/com_port_interfaces.h"

#include <cstdio>
#include <vector>

namespace {

// Prints a UTF-16 string as UTF-8; count < 0 means zero-terminated.
void PutWide(const wchar_t *text, int count = -1)
{
    char narrow[1024];
    int n = WideCharToMultiByte(CP_UTF8, 0, text, count, narrow, sizeof(narrow) - 1, nullptr, nullptr);
    if (n <= 0)
        n = 0;
    else if (count < 0)
        --n; // the converted terminator
    narrow[n] = '\0';
    std::fputs(narrow, stdout);
}

void PutError(DWORD error)
{
    std::printf("failed, error %lu\n", error);
}

void ProbeDosDevice(const wchar_t *port)
{
    std::printf("port_probe: QueryDosDevice ");
    PutWide(port);
    std::printf(": ");
    wchar_t targets[1024];
    DWORD n = QueryDosDeviceW(port, targets, ARRAYSIZE(targets));
    if (n == 0) {
        PutError(GetLastError());
        return;
    }
    // A list of zero-terminated targets ended by an empty one; the first is
    // the one in effect.
    PutWide(targets);
    std::printf("\n");
}

const char *TypeName(DWORD type)
{
    switch (type) {
    case REG_SZ:
        return "REG_SZ";
    case REG_EXPAND_SZ:
        return "REG_EXPAND_SZ";
    case REG_MULTI_SZ:
        return "REG_MULTI_SZ";
    case REG_BINARY:
        return "REG_BINARY";
    case REG_DWORD:
        return "REG_DWORD";
    default:
        return "other type";
    }
}

// The data is printed up to its first zero character, with its full size in
// bytes, so that a missing or extra terminator shows.
void PrintSerialCommValue(const wchar_t *name, DWORD type, const BYTE *data, DWORD size)
{
    std::printf("port_probe: SERIALCOMM value \"");
    PutWide(name);
    std::printf("\": %s \"", TypeName(type));
    const wchar_t *text = reinterpret_cast<const wchar_t *>(data);
    int chars = 0;
    while (static_cast<DWORD>(chars + 1) * sizeof(wchar_t) <= size && text[chars] != L'\0')
        ++chars;
    if (chars > 0)
        PutWide(text, chars);
    std::printf("\" (%lu bytes)\n", size);
}

void ProbeSerialComm()
{
    HKEY key;
    LONG rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_QUERY_VALUE, &key);
    if (rc != ERROR_SUCCESS) {
        std::printf("port_probe: SERIALCOMM key: ");
        PutError(static_cast<DWORD>(rc));
        return;
    }
    DWORD count = 0;
    for (DWORD index = 0;; ++index) {
        wchar_t name[256];
        BYTE data[512];
        DWORD nameChars = ARRAYSIZE(name);
        DWORD size = sizeof(data);
        DWORD type = 0;
        rc = RegEnumValueW(key, index, name, &nameChars, nullptr, &type, data, &size);
        if (rc == ERROR_NO_MORE_ITEMS)
            break;
        if (rc != ERROR_SUCCESS) {
            std::printf("port_probe: SERIALCOMM value %lu: ", index);
            PutError(static_cast<DWORD>(rc));
            break;
        }
        PrintSerialCommValue(name, type, data, size);
        ++count;
    }
    if (count == 0)
        std::printf("port_probe: SERIALCOMM key has no values\n");
    RegCloseKey(key);
}

void ProbeInterfaces()
{
    std::vector<ComPortInterface> found;
    if (!ListComPortInterfaces(&found)) {
        std::printf("port_probe: listing the COM-port interfaces: ");
        PutError(GetLastError());
        return;
    }
    for (const ComPortInterface &iface : found) {
        std::printf("port_probe: COM-port interface ");
        PutWide(iface.path.c_str());
        std::printf(": %s, device ", iface.active ? "active" : "not active");
        PutWide(iface.instance.c_str());
        std::printf("\n");
    }
    if (found.empty())
        std::printf("port_probe: no present COM-port interface\n");
}

// Opens the port as a terminal program would; once open, asks for the line
// settings, which the port driver must answer itself.
void ProbeOpen(const wchar_t *port)
{
    wchar_t path[128] = L"\\\\.\\";
    lstrcpynW(path + 4, port, ARRAYSIZE(path) - 4);
    std::printf("port_probe: CreateFile ");
    PutWide(path);
    std::printf(": ");
    HANDLE h = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        PutError(GetLastError());
        return;
    }
    std::printf("opened\n");
    DCB dcb = {};
    dcb.DCBlength = sizeof(dcb);
    std::printf("port_probe: GetCommState: ");
    if (GetCommState(h, &dcb))
        std::printf("%lu baud, %u data bits\n", dcb.BaudRate, dcb.ByteSize);
    else
        PutError(GetLastError());
    CloseHandle(h);
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc > 2) {
        std::fprintf(stderr, "usage: port_probe [port-name]\n");
        return 2;
    }
    const wchar_t *port = argc == 2 ? argv[1] : L"COM7";
    ProbeDosDevice(port);
    ProbeSerialComm();
    ProbeInterfaces();
    ProbeOpen(port);
    std::fflush(stdout);
    return 0;
}
