// The demo's client: a small terminal program on the port. It puts the
// simulated modem in echo mode, opens the port, prints its settings, sends a
// line and prints what comes back, moves a megabyte each way (written to the
// modem, echoed back, compared) and prints the rate, then closes the port.
//
//   demo_client <port-name> [talk | rate]
//
// "talk" stops before the megabyte, "rate" does only the megabyte: the demo
// measures the rate in a Wine session of its own, without trace channels.
//
// Every line starts with "demo_client: "; a failure names the step. Exit code
// 0 when every step worked.
#include <windows.h>

#include "wine/programs/modem_link.h"

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <vector>

namespace {

const DWORD ChunkBytes = 32 * 1024; // below the modem's 64 KiB echo queue
const DWORD TotalBytes = 1 << 20;
const DWORD WaitMilliseconds = 10000;

int Fail(const char *step)
{
    std::printf("demo_client: %s failed, error %lu\n", step, GetLastError());
    return 1;
}

// One overlapped read or write, waited for with a limit, so that a port that
// never answers ends the demo with a message instead of hanging it.
bool Transfer(HANDLE port, bool write, void *buffer, DWORD length, DWORD *done)
{
    OVERLAPPED overlapped = {};
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    BOOL ok = write ? WriteFile(port, buffer, length, nullptr, &overlapped)
                    : ReadFile(port, buffer, length, nullptr, &overlapped);
    if (!ok && GetLastError() != ERROR_IO_PENDING) {
        DWORD error = GetLastError();
        CloseHandle(overlapped.hEvent);
        SetLastError(error);
        return false;
    }
    if (!ok && WaitForSingleObject(overlapped.hEvent, WaitMilliseconds) != WAIT_OBJECT_0) {
        CancelIo(port);
        WaitForSingleObject(overlapped.hEvent, INFINITE);
        SetLastError(ERROR_TIMEOUT);
        CloseHandle(overlapped.hEvent);
        return false;
    }
    ok = GetOverlappedResult(port, &overlapped, done, FALSE);
    CloseHandle(overlapped.hEvent);
    return ok != FALSE;
}

// Writes the bytes and reads until as many have come back.
bool RoundTrip(HANDLE port, const uint8_t *sent, DWORD length, uint8_t *echoed)
{
    DWORD written = 0;
    if (!Transfer(port, true, const_cast<uint8_t *>(sent), length, &written) || written != length)
        return false;
    for (DWORD got = 0; got < length;) {
        DWORD n = 0;
        if (!Transfer(port, false, echoed + got, length - got, &n))
            return false;
        got += n;
    }
    return true;
}

const char *ParityName(BYTE parity)
{
    static const char *const names[] = {"none", "odd", "even", "mark", "space"};
    return parity < 5 ? names[parity] : "?";
}

void PrintSettings(HANDLE port)
{
    DCB dcb = {};
    dcb.DCBlength = sizeof(dcb);
    COMMTIMEOUTS timeouts = {};
    if (!GetCommState(port, &dcb) || !GetCommTimeouts(port, &timeouts)) {
        Fail("reading the settings");
        return;
    }
    std::printf("demo_client: settings: %lu baud, %u data bits, parity %s, stop bits code %u, DTR control %u, "
                "RTS control %u\n",
                dcb.BaudRate, dcb.ByteSize, ParityName(dcb.Parity), dcb.StopBits, dcb.fDtrControl, dcb.fRtsControl);
    std::printf("demo_client: read timeouts: interval %lu, multiplier %lu, constant %lu\n",
                timeouts.ReadIntervalTimeout, timeouts.ReadTotalTimeoutMultiplier, timeouts.ReadTotalTimeoutConstant);
}

int Megabyte(HANDLE port)
{
    std::vector<uint8_t> sent(TotalBytes);
    std::vector<uint8_t> echoed(TotalBytes);
    for (DWORD i = 0; i < TotalBytes; ++i)
        sent[i] = static_cast<uint8_t>(i * 7 + (i >> 11));
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    for (DWORD at = 0; at < TotalBytes; at += ChunkBytes) {
        if (!RoundTrip(port, sent.data() + at, ChunkBytes, echoed.data() + at))
            return Fail("moving the megabyte");
    }
    QueryPerformanceCounter(&end);
    if (std::memcmp(sent.data(), echoed.data(), TotalBytes) != 0) {
        std::printf("demo_client: the megabyte came back changed\n");
        return 1;
    }
    const double seconds = static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart);
    std::printf("demo_client: 1 MiB written and 1 MiB echoed back intact in %.2f s: %.0f KiB/s each way\n", seconds,
                1024.0 / seconds);
    return 0;
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    const bool talk = argc == 2 || (argc == 3 && std::wcscmp(argv[2], L"talk") == 0);
    const bool rate = argc == 2 || (argc == 3 && std::wcscmp(argv[2], L"rate") == 0);
    if (!talk && !rate) {
        std::fprintf(stderr, "usage: demo_client <port-name> [talk | rate]\n");
        return 2;
    }
    ModemLink modem;
    if (!modem.Open() || !modem.Value(MODEM_CONTROL_SET_ECHO, 1))
        return Fail("putting the simulated modem in echo mode");
    std::printf("demo_client: the simulated modem echoes what it receives\n");

    wchar_t path[64];
    std::swprintf(path, 64, L"\\\\.\\%ls", argv[1]);
    HANDLE port =
        CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (port == INVALID_HANDLE_VALUE)
        return Fail("opening the port");
    std::printf("demo_client: opened %ls\n", path);
    int rc = 0;
    if (talk) {
        PrintSettings(port);
        char line[] = "Hello, modem! This line goes out on the port and comes back.";
        char back[sizeof(line)] = {};
        const DWORD length = static_cast<DWORD>(std::strlen(line));
        std::printf("demo_client: sent: %s\n", line);
        if (!RoundTrip(port, reinterpret_cast<uint8_t *>(line), length, reinterpret_cast<uint8_t *>(back)))
            return Fail("the echo of the line");
        std::printf("demo_client: echo: %s\n", back);
    }
    if (rate)
        rc = Megabyte(port);
    if (!CloseHandle(port))
        return Fail("closing the port");
    std::printf("demo_client: closed %ls\n", path);
    return rc;
}
