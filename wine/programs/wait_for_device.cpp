// Waits until a device path can be opened, e.g. \\.\COM7 once the port driver
// has started, or until the time limit runs out.
//
//   wait_for_device <path> <milliseconds>
//
// Exit code 0 when the path opened (the handle is closed at once), 1 when the
// limit ran out; the last error is printed either way. While it waits it also
// keeps a user process alive, so that Wine's driver processes keep running.
#include <windows.h>

#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t **argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: wait_for_device <path> <milliseconds>\n");
        return 2;
    }
    const DWORD limit = static_cast<DWORD>(std::wcstoul(argv[2], nullptr, 10));
    const DWORD start = GetTickCount();
    DWORD error = 0;
    for (;;) {
        HANDLE h = CreateFileW(argv[1], GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            CloseHandle(h);
            std::printf("wait_for_device: opened after %lu ms\n", GetTickCount() - start);
            return 0;
        }
        error = GetLastError();
        if (GetTickCount() - start >= limit)
            break;
        Sleep(50);
    }
    std::printf("wait_for_device: not opened within %lu ms, last error %lu\n", limit, error);
    return 1;
}
