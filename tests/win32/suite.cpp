// The conformance suite's runner and shared pieces.
//
//   conformance <port-name> [--seed N] [test-name...]
//
// Runs every test (or the ones named) in order against the port, each on a
// fresh open of the port, and ends with "N passed, N failed". A failed check
// prints its file, line and what was seen. A test that does not end within
// TestLimitMs (a request that never completes, a close that never returns)
// fails as hung and ends the run, since the port may be stuck. Exit code 0
// when every test passed, 1 when one failed, 2 on a usage error or when the
// modem's control device cannot be opened.
#include "tests/win32/suite.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <random>

namespace suite {
namespace {

struct Entry {
    const char *name;
    void (*run)();
};

// In this order: the tests that break the device come last.
const Entry Tests[] = {
    {"discovery", Discovery},
    {"exclusive_open", ExclusiveOpen},
    {"comm_state", CommStateDefaultsAndRoundTrip},
    {"modem_lines", ModemLinesFollowDtrAndRts},
    {"read_timeouts", ReadTimeouts},
    {"echo", EchoRoundTrips},
    {"megabyte_each_way", MegabyteEachWay},
    {"comm_events", CommEvents},
    {"blocking_event_waits", BlockingEventWaits},
    {"purge_and_cancel", PurgeAndCancel},
    {"close_with_requests_pending", CloseWithRequestsPending},
    {"queue_counts_and_overrun", QueueCountsAndOverrun},
    {"failing_modem", FailingModem},
    {"unplug_and_replug", UnplugAndReplug},
};

const DWORD TestLimitMs = 180000;

Test *running = nullptr;
const char *runningName = "";
wchar_t portName[32];
wchar_t portPath[40];
ModemLink modem;
uint32_t seed;
std::mt19937 generator;

} // namespace

namespace {

// "  <test>: <place><message>"
void Say(const char *place, const char *format, va_list args)
{
    std::printf("  %s: %s", runningName, place);
    std::vprintf(format, args);
    std::printf("\n");
    std::fflush(stdout);
}

} // namespace

bool Test::Check(bool condition, const char *file, int line, const char *format, ...)
{
    if (condition)
        return true;
    ++failures_;
    const char *base = std::strrchr(file, '/');
    char place[128];
    std::snprintf(place, sizeof(place), "%s:%d: ", base != nullptr ? base + 1 : file, line);
    va_list args;
    va_start(args, format);
    Say(place, format, args);
    va_end(args);
    return false;
}

Test &Current()
{
    return *running;
}

void Note(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    Say("", format, args);
    va_end(args);
}

const wchar_t *PortName()
{
    return portName;
}

const wchar_t *PortPath()
{
    return portPath;
}

ModemLink &Modem()
{
    return modem;
}

uint32_t Seed()
{
    return seed;
}

uint32_t Random(uint32_t limit)
{
    return std::uniform_int_distribution<uint32_t>(0, limit - 1)(generator);
}

double Now()
{
    LARGE_INTEGER frequency;
    LARGE_INTEGER counter;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&counter);
    return 1000.0 * static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

bool WaitUntil(const std::function<bool()> &condition, DWORD milliseconds)
{
    const double deadline = Now() + milliseconds;
    for (;;) {
        if (condition())
            return true;
        if (Now() >= deadline)
            return false;
        Sleep(10);
    }
}

// ---------------------------------------------------------------- Port

Port::Port(const wchar_t *path)
    : handle_(CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr))
{
    error_ = handle_ == INVALID_HANDLE_VALUE ? GetLastError() : 0;
}

Port::~Port()
{
    Close();
}

BOOL Port::Close()
{
    if (handle_ == INVALID_HANDLE_VALUE)
        return TRUE;
    BOOL closed = CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
    return closed;
}

bool Port::CheckOpened() const
{
    return CHECK(Opened(), "the port did not open, error %lu", error_);
}

bool Port::SetReadTimeouts(DWORD interval, DWORD multiplier, DWORD constant)
{
    COMMTIMEOUTS timeouts = {interval, multiplier, constant, 0, 0};
    return CHECK(SetCommTimeouts(handle_, &timeouts), "SetCommTimeouts(%lu, %lu, %lu) failed, error %lu", interval,
                 multiplier, constant, GetLastError());
}

bool Port::WriteAll(const void *data, DWORD length, DWORD milliseconds)
{
    AsyncPtr write = Async::Write(handle_, data, length);
    return write->Ended(milliseconds) && write->Ok() && write->Bytes() == length;
}

std::vector<uint8_t> Port::ReadFor(DWORD length, DWORD milliseconds)
{
    std::vector<uint8_t> got;
    const double deadline = Now() + milliseconds;
    while (got.size() < length && Now() < deadline) {
        AsyncPtr read = Async::Read(handle_, length - static_cast<DWORD>(got.size()));
        const double left = deadline - Now();
        if (!read->Ended(left > 0 ? static_cast<DWORD>(left) : 0) || !read->Ok())
            break;
        got.insert(got.end(), read->Data().begin(), read->Data().begin() + read->Bytes());
    }
    return got;
}

// ---------------------------------------------------------------- Async

Async::Async(HANDLE handle) : handle_(handle)
{
    overlapped_.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

void Async::Release(Async *async)
{
    if (async->pending_ && !async->Ended(0)) {
        CancelIo(async->handle_);
        if (!async->Ended(5000)) {
            std::printf("  %s: a request ignored its cancellation; its buffers are left allocated\n", runningName);
            return;
        }
    }
    CloseHandle(async->overlapped_.hEvent);
    delete async;
}

bool Async::Started(BOOL result)
{
    if (result) {
        error_ = ERROR_SUCCESS;
        return true;
    }
    DWORD error = GetLastError();
    if (error == ERROR_IO_PENDING) {
        pending_ = true;
        return true;
    }
    error_ = error;
    return false;
}

AsyncPtr Async::Read(HANDLE handle, DWORD length)
{
    AsyncPtr async(new Async(handle), Release);
    async->data_.resize(length);
    DWORD bytes = 0;
    if (async->Started(ReadFile(handle, async->data_.data(), length, &bytes, &async->overlapped_)) && !async->pending_)
        async->bytes_ = bytes;
    return async;
}

AsyncPtr Async::Write(HANDLE handle, const void *data, DWORD length)
{
    AsyncPtr async(new Async(handle), Release);
    const uint8_t *bytes = static_cast<const uint8_t *>(data);
    async->data_.assign(bytes, bytes + length);
    DWORD written = 0;
    if (async->Started(WriteFile(handle, async->data_.data(), length, &written, &async->overlapped_)) &&
        !async->pending_)
        async->bytes_ = written;
    return async;
}

AsyncPtr Async::WaitEvent(HANDLE handle)
{
    AsyncPtr async(new Async(handle), Release);
    async->Started(WaitCommEvent(handle, &async->mask_, &async->overlapped_));
    return async;
}

bool Async::Ended(DWORD milliseconds)
{
    if (!pending_)
        return true;
    if (WaitForSingleObject(overlapped_.hEvent, milliseconds) != WAIT_OBJECT_0)
        return false;
    DWORD bytes = 0;
    error_ = GetOverlappedResult(handle_, &overlapped_, &bytes, FALSE) ? ERROR_SUCCESS : GetLastError();
    // A read that its total timeout ends completes with STATUS_TIMEOUT, a
    // success status: Windows' GetOverlappedResult reports it as success,
    // Wine 8's as a failure with ERROR_TIMEOUT (and no byte count).
    if (error_ == ERROR_TIMEOUT) {
        error_ = ERROR_SUCCESS;
        bytes = 0;
    }
    bytes_ = bytes;
    pending_ = false;
    return true;
}

} // namespace suite

using namespace suite;

namespace {

DWORD WINAPI RunTest(void *entry)
{
    static_cast<const Entry *>(entry)->run();
    return 0;
}

bool Selected(int argc, wchar_t **argv, int first, const char *name)
{
    if (first >= argc)
        return true;
    for (int i = first; i < argc; ++i) {
        char narrow[64];
        std::snprintf(narrow, sizeof(narrow), "%ls", argv[i]);
        if (std::strcmp(narrow, name) == 0)
            return true;
    }
    return false;
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    int first = 2;
    if (argc < 2 || std::wcslen(argv[1]) >= 20) {
        std::fprintf(stderr, "usage: conformance <port-name> [--seed N] [test-name...]\n");
        return 2;
    }
    seed = GetTickCount();
    if (argc >= 4 && std::wcscmp(argv[2], L"--seed") == 0) {
        seed = static_cast<uint32_t>(std::wcstoul(argv[3], nullptr, 10));
        first = 4;
    }
    generator.seed(seed);
    std::swprintf(portName, 32, L"%ls", argv[1]);
    std::swprintf(portPath, 40, L"\\\\.\\%ls", argv[1]);
    std::printf("conformance: port %ls, seed %u (replay with --seed %u)\n", portName, seed, seed);
    if (!modem.Open()) {
        std::printf("conformance: the modem's control device did not open, error %lu\n", GetLastError());
        return 2;
    }
    int passed = 0;
    int failed = 0;
    for (const Entry &entry : Tests) {
        if (!Selected(argc, argv, first, entry.name))
            continue;
        Test test;
        running = &test;
        runningName = entry.name;
        const double start = Now();
        // Each test starts from a modem with nothing queued, no echo and no fault.
        if (CHECK(modem.Select(MODEM_CONTROL_RESET), "resetting the modem failed, error %lu", GetLastError())) {
            HANDLE thread = CreateThread(nullptr, 0, RunTest, const_cast<Entry *>(&entry), 0, nullptr);
            if (WaitForSingleObject(thread, TestLimitMs) != WAIT_OBJECT_0) {
                std::printf("FAIL %s (hung: it did not end within %lu s; the run stops here)\n", entry.name,
                            TestLimitMs / 1000);
                std::printf("%d passed, %d failed\n", passed, failed + 1);
                std::fflush(stdout);
                TerminateProcess(GetCurrentProcess(), 1);
            }
            CloseHandle(thread);
        }
        std::printf("%s %s (%.0f ms)\n", test.Failures() == 0 ? "ok  " : "FAIL", entry.name, Now() - start);
        std::fflush(stdout);
        (test.Failures() == 0 ? passed : failed)++;
    }
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
