// The Win32 conformance suite's own small framework: checks that record what
// failed and where, the port and the modem as the tests use them, overlapped
// requests that can never hang a test, and the clock.
#pragma once

#include <windows.h>

#include "wine/programs/modem_link.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace suite {

// ---------------------------------------------------------------- checks

// The test that runs; CHECK records a failure with its place and returns the
// condition, so that a test can stop where going on makes no sense:
//   if (!CHECK(port.Opened(), "open failed, error %lu", port.Error())) return;
class Test {
public:
    bool Check(bool condition, const char *file, int line, const char *format, ...)
        __attribute__((format(printf, 5, 6)));
    int Failures() const
    {
        return failures_;
    }

private:
    int failures_ = 0;
};
Test &Current();
#define CHECK(condition, ...) ::suite::Current().Check((condition), __FILE__, __LINE__, __VA_ARGS__)

// Prints a line under the running test's name (for the seed, rates, ...).
void Note(const char *format, ...) __attribute__((format(printf, 1, 2)));

// ---------------------------------------------------------------- what the tests share

const wchar_t *PortName();       // as the harness named it, e.g. L"COM2"
const wchar_t *PortPath();       // L"\\.\COM2"
ModemLink &Modem();              // the control device, open
uint32_t Seed();                 // the run's seed (--seed), printed at the start
uint32_t Random(uint32_t limit); // 0 .. limit-1, from the seed

// Milliseconds since some fixed moment, from the performance counter.
double Now();
// Calls until it returns true or the time is up; true when it did.
bool WaitUntil(const std::function<bool()> &condition, DWORD milliseconds);

// ---------------------------------------------------------------- the port

// The port opened for overlapped I/O, as a terminal program would open it;
// closed when the object goes.
class Port {
public:
    explicit Port(const wchar_t *path = PortPath());
    ~Port();
    Port(const Port &) = delete;
    Port &operator=(const Port &) = delete;

    bool Opened() const
    {
        return handle_ != INVALID_HANDLE_VALUE;
    }
    // Opened, or a failed check that says why not.
    bool CheckOpened() const;
    DWORD Error() const
    {
        return error_;
    }
    HANDLE Handle() const
    {
        return handle_;
    }
    // The read timeouts (the write ones stay 0); a failed check when refused.
    // (MAXDWORD, 0, 0): a read returns at once with what the port holds;
    // (0, 0, 0): it waits for data. They last beyond the handle.
    bool SetReadTimeouts(DWORD interval, DWORD multiplier, DWORD constant);
    // Writes the bytes and waits for the write; false when it failed, fell
    // short or took longer than the limit.
    bool WriteAll(const void *data, DWORD length, DWORD milliseconds = 10000);
    // Reads until it has length bytes or the time is up; what it got.
    std::vector<uint8_t> ReadFor(DWORD length, DWORD milliseconds);
    BOOL Close();

private:
    HANDLE handle_;
    DWORD error_ = 0;
};

// One overlapped request. If the test ends while it is still pending, it is
// cancelled and waited for; a request that never ends even then is left
// allocated rather than have its buffer and OVERLAPPED freed under it.
class Async {
public:
    static std::unique_ptr<Async, void (*)(Async *)> Read(HANDLE handle, DWORD length);
    static std::unique_ptr<Async, void (*)(Async *)> Write(HANDLE handle, const void *data, DWORD length);
    static std::unique_ptr<Async, void (*)(Async *)> WaitEvent(HANDLE handle);

    // Waits up to the limit; true once the request has ended. Then Ok(),
    // Bytes() and Error() tell how.
    bool Ended(DWORD milliseconds);
    bool Ok() const
    {
        return error_ == ERROR_SUCCESS;
    }
    DWORD Bytes() const
    {
        return bytes_;
    }
    DWORD Error() const
    {
        return error_;
    }
    const std::vector<uint8_t> &Data() const
    {
        return data_;
    }
    DWORD Mask() const
    {
        return mask_;
    }

private:
    explicit Async(HANDLE handle);
    bool Started(BOOL result);
    static void Release(Async *async);

    HANDLE handle_;
    OVERLAPPED overlapped_ = {};
    std::vector<uint8_t> data_;
    DWORD mask_ = 0;
    bool pending_ = false;
    DWORD bytes_ = 0;
    DWORD error_ = ERROR_IO_PENDING;
};
using AsyncPtr = std::unique_ptr<Async, void (*)(Async *)>;

// ---------------------------------------------------------------- the tests

// Each leaves the port closed and the modem as the harness left it (plugged,
// no faults), or brings it back, so that the next test starts clean.
void Discovery();
void ExclusiveOpen();
void CommStateDefaultsAndRoundTrip();
void ModemLinesFollowDtrAndRts();
void ReadTimeouts();
void EchoRoundTrips();
void MegabyteEachWay();
void CommEvents();
void BlockingEventWaits();
void PurgeAndCancel();
void CloseWithRequestsPending();
void QueueCountsAndOverrun();
void FailingModem();
void UnplugAndReplug();

} // namespace suite
