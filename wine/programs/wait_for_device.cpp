// Waits until a device path can be opened, e.g. \\.\COM2 once the port driver
// has started, or until the time limit runs out; then runs the programs given,
// one after the other, each waiting for the one before.
//
//   wait_for_device <path> <milliseconds> [program [args...] [-- program [args...]]...]
//
// Exit code: when the path did not open within the limit, 1; otherwise 0, or
// the first non-zero exit code of a program (3 when one could not be started;
// the programs after it still run). The last error of the open is printed
// either way. While it waits it also keeps a user process alive, so that Wine's
// driver processes keep running. (Wine 8's cmd runs the second command of
// "a && b" even when a fails, so the chaining is done here.)
#include <windows.h>

#include <cstdio>
#include <cwchar>

namespace {

// Appends one argument to a command line, quoted when it holds a blank or a
// quote (backslashes before a quote doubled, as CommandLineToArgvW expects).
bool AppendArgument(wchar_t *line, size_t size, size_t *used, const wchar_t *arg)
{
    const bool quote = *arg == L'\0' || std::wcspbrk(arg, L" \t\"") != nullptr;
    auto put = [&](wchar_t c) {
        if (*used + 1 >= size)
            return false;
        line[(*used)++] = c;
        line[*used] = L'\0';
        return true;
    };
    if (*used > 0 && !put(L' '))
        return false;
    if (quote && !put(L'"'))
        return false;
    size_t slashes = 0;
    for (const wchar_t *p = arg; *p; ++p) {
        if (*p == L'\\') {
            ++slashes;
        } else {
            const size_t extra = *p == L'"' ? slashes + 1 : 0;
            for (size_t i = 0; i < extra; ++i)
                if (!put(L'\\'))
                    return false;
            slashes = 0;
        }
        if (!put(*p))
            return false;
    }
    for (size_t i = 0; quote && i < slashes; ++i)
        if (!put(L'\\'))
            return false;
    return !quote || put(L'"');
}

int RunProgram(int argc, wchar_t **argv)
{
    wchar_t line[4096] = L"";
    size_t used = 0;
    for (int i = 0; i < argc; ++i) {
        if (!AppendArgument(line, ARRAYSIZE(line), &used, argv[i])) {
            std::printf("wait_for_device: command line too long\n");
            return 3;
        }
    }
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    std::fflush(stdout);
    if (!CreateProcessW(nullptr, line, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
        std::printf("wait_for_device: could not start %ls, error %lu\n", argv[0], GetLastError());
        return 3;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 3;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return static_cast<int>(code);
}

// Programs separated by "--"; each runs even when the one before failed.
int RunPrograms(int argc, wchar_t **argv)
{
    int rc = 0;
    for (int first = 0; first < argc;) {
        int end = first;
        while (end < argc && std::wcscmp(argv[end], L"--") != 0)
            ++end;
        if (end > first) {
            int code = RunProgram(end - first, argv + first);
            if (rc == 0)
                rc = code;
        }
        first = end + 1;
    }
    return rc;
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: wait_for_device <path> <milliseconds> [program [args...]]\n");
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
            return RunPrograms(argc - 3, argv + 3);
        }
        error = GetLastError();
        if (GetTickCount() - start >= limit)
            break;
        Sleep(50);
    }
    std::printf("wait_for_device: not opened within %lu ms, last error %lu\n", limit, error);
    return 1;
}
