// The port as an application finds, opens and configures it: its names, the
// exclusive open, the line settings, the modem-status lines and the read
// timeouts.
#include "tests/win32/suite.h"

#include "wine/programs/com_port_interfaces.h"

#include <cstring>
#include <cwchar>
#include <string>

namespace suite {
namespace {

const wchar_t ChildInstancePrefix[] = L"ZQMODEM\\DIAG\\";

// The modem child's present, active COM-port interfaces.
std::vector<ComPortInterface> ChildInterfaces()
{
    std::vector<ComPortInterface> all;
    std::vector<ComPortInterface> child;
    CHECK(ListComPortInterfaces(&all), "listing the COM-port interfaces failed, error %lu", GetLastError());
    for (const ComPortInterface &iface : all) {
        if (iface.active && _wcsnicmp(iface.instance.c_str(), ChildInstancePrefix, wcslen(ChildInstancePrefix)) == 0)
            child.push_back(iface);
    }
    return child;
}

std::string Narrow(const std::wstring &text)
{
    char narrow[512];
    std::snprintf(narrow, sizeof(narrow), "%ls", text.c_str());
    return narrow;
}

// The SERIALCOMM value of that name, as REG_SZ text; empty when none.
std::wstring SerialCommValue(const wchar_t *name)
{
    wchar_t data[64] = {};
    DWORD size = sizeof(data) - sizeof(wchar_t);
    DWORD type = 0;
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_QUERY_VALUE, &key) != 0)
        return L"";
    LONG rc = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE *>(data), &size);
    RegCloseKey(key);
    return rc == ERROR_SUCCESS && type == REG_SZ ? data : L"";
}

DCB CommState(HANDLE port, bool *ok)
{
    DCB dcb = {};
    dcb.DCBlength = sizeof(dcb);
    *ok = GetCommState(port, &dcb) != FALSE;
    return dcb;
}

struct ReadTimeout {
    DWORD interval;
    DWORD multiplier;
    DWORD constant;
};

// A timed read of 20 bytes from the empty port under the timeouts: how long
// it took, or a negative value when it failed or brought bytes.
double TimedEmptyRead(Port &port, const ReadTimeout &t, DWORD limit)
{
    if (!port.SetReadTimeouts(t.interval, t.multiplier, t.constant))
        return -1;
    const double start = Now();
    AsyncPtr read = Async::Read(port.Handle(), 20);
    if (!CHECK(read->Ended(limit), "the read did not end within %lu ms", limit))
        return -1;
    const double took = Now() - start;
    if (!CHECK(read->Ok() && read->Bytes() == 0, "the read ended with error %lu and %lu bytes", read->Error(),
               read->Bytes()))
        return -1;
    return took;
}

} // namespace

bool RefusedAtOpenOrFirstUse(Port &port, DWORD error)
{
    // Windows fails the open itself; under Wine the handle opens and the
    // refusal comes with its first request.
    if (!port.Opened())
        return CHECK(port.Error() == error, "the open failed with error %lu, expected %lu", port.Error(), error);
    bool ok = false;
    CommState(port.Handle(), &ok);
    DWORD got = GetLastError();
    AsyncPtr read = Async::Read(port.Handle(), 1);
    bool readEnded = read->Ended(5000);
    return CHECK(!ok && got == error, "GetCommState on the refused handle: %s, error %lu", ok ? "succeeded" : "failed",
                 got) &&
           CHECK(readEnded && !read->Ok() && read->Error() == error, "a read on it ended: %d, error %lu", readEnded,
                 read->Error());
}

bool PortWorks(Port &port)
{
    bool ok = false;
    CommState(port.Handle(), &ok);
    if (!CHECK(ok, "GetCommState failed, error %lu", GetLastError()))
        return false;
    const char ping[] = "ping";
    if (!CHECK(Modem().Queue(ping, 4), "the modem did not take bytes, error %lu", GetLastError()))
        return false;
    std::vector<uint8_t> got = port.ReadFor(4, 5000);
    return CHECK(got.size() == 4 && std::memcmp(got.data(), ping, 4) == 0, "read %u of the modem's 4 bytes",
                 static_cast<unsigned>(got.size()));
}

void Discovery()
{
    std::vector<ComPortInterface> found = ChildInterfaces();
    if (!CHECK(found.size() == 1, "%u present COM-port interfaces of the modem's child",
               static_cast<unsigned>(found.size())))
        return;
    CHECK(_wcsicmp(found[0].portName.c_str(), PortName()) == 0,
          "its device's PortName is \"%s\", the harness named %ls", Narrow(found[0].portName).c_str(), PortName());

    wchar_t target[256] = {};
    DWORD n = QueryDosDeviceW(PortName(), target, ARRAYSIZE(target));
    if (!CHECK(n != 0 && wcsncmp(target, L"\\Device\\ZQEVDODIAG", 18) == 0 && target[18] >= L'0' && target[18] <= L'9',
               "QueryDosDevice(%ls) gave \"%ls\" (error %lu)", PortName(), target, n ? 0 : GetLastError()))
        return;
    std::wstring value = SerialCommValue(target);
    CHECK(_wcsicmp(value.c_str(), PortName()) == 0, "SERIALCOMM value \"%ls\" is \"%s\"", target,
          Narrow(value).c_str());

    // The interface leads to the same port as its name does.
    Port byInterface(found[0].path.c_str());
    if (CHECK(byInterface.Opened(), "the interface path did not open, error %lu", byInterface.Error()))
        PortWorks(byInterface);
}

void ExclusiveOpen()
{
    Port first;
    if (!first.CheckOpened())
        return;
    {
        Port second;
        RefusedAtOpenOrFirstUse(second, ERROR_ACCESS_DENIED);
    }
    // The refused handle is closed now: the first opener's port still works.
    PortWorks(first);
    first.Close();
    Port third;
    if (CHECK(third.Opened(), "the port did not open after the first handle closed, error %lu", third.Error()))
        PortWorks(third);
}

void CommStateDefaultsAndRoundTrip()
{
    {
        Port port;
        if (!port.CheckOpened())
            return;
        bool ok = false;
        DCB dcb = CommState(port.Handle(), &ok);
        if (!CHECK(ok, "GetCommState failed, error %lu", GetLastError()))
            return;
        CHECK(dcb.BaudRate == 115200 && dcb.ByteSize == 8 && dcb.Parity == NOPARITY && dcb.StopBits == TWOSTOPBITS,
              "defaults %lu baud, %u data bits, parity %u, stop bits %u; expected 115200, 8, none, code 2",
              dcb.BaudRate, dcb.ByteSize, dcb.Parity, dcb.StopBits);
        CHECK(dcb.fDtrControl == DTR_CONTROL_ENABLE && dcb.fRtsControl == RTS_CONTROL_ENABLE,
              "DTR control %u, RTS control %u; expected both enabled", dcb.fDtrControl, dcb.fRtsControl);

        dcb.BaudRate = 19200;
        dcb.ByteSize = 7;
        dcb.Parity = EVENPARITY;
        dcb.StopBits = ONESTOPBIT;
        CHECK(SetCommState(port.Handle(), &dcb), "SetCommState(19200, 7E1) failed, error %lu", GetLastError());
        for (DWORD refused : {56000UL, 230400UL, 110UL}) {
            DCB bad = dcb;
            bad.BaudRate = refused;
            CHECK(!SetCommState(port.Handle(), &bad), "SetCommState accepted %lu baud", refused);
        }
        DCB now = CommState(port.Handle(), &ok);
        CHECK(ok && now.BaudRate == 19200 && now.ByteSize == 7 && now.Parity == EVENPARITY &&
                  now.StopBits == ONESTOPBIT,
              "after the refusals: %lu baud, %u data bits, parity %u, stop bits %u; expected 19200 7E1", now.BaudRate,
              now.ByteSize, now.Parity, now.StopBits);

        port.SetReadTimeouts(77, 0, 0);
    }
    // A new open brings the defaults back but keeps the timeouts.
    Port port;
    if (!CHECK(port.Opened(), "the port did not reopen, error %lu", port.Error()))
        return;
    bool ok = false;
    DCB dcb = CommState(port.Handle(), &ok);
    CHECK(ok && dcb.BaudRate == 115200 && dcb.ByteSize == 8 && dcb.Parity == NOPARITY,
          "after a reopen: %lu baud, %u data bits, parity %u", dcb.BaudRate, dcb.ByteSize, dcb.Parity);
    COMMTIMEOUTS timeouts = {};
    CHECK(GetCommTimeouts(port.Handle(), &timeouts) && timeouts.ReadIntervalTimeout == 77,
          "after a reopen the read interval timeout is %lu, expected the 77 set before", timeouts.ReadIntervalTimeout);
    port.SetReadTimeouts(0, 0, 0);
}

// The lines are emulated: raising DTR shows DSR, raising RTS shows CTS and
// RLSD; every open starts with none.
void ModemLinesFollowDtrAndRts()
{
    struct Step {
        DWORD function;
        DWORD expected;
    };
    const Step steps[] = {{SETDTR, MS_DSR_ON},
                          {SETRTS, MS_DSR_ON | MS_CTS_ON | MS_RLSD_ON},
                          {CLRRTS, MS_DSR_ON},
                          {CLRDTR, 0},
                          {SETRTS, MS_CTS_ON | MS_RLSD_ON}};
    for (int open = 1; open <= 2; ++open) {
        Port port;
        if (!port.CheckOpened())
            return;
        DWORD status = 0;
        BOOL got = GetCommModemStatus(port.Handle(), &status);
        CHECK(got && status == 0, "open %d: modem status 0x%lX at the open (%s)", open, status,
              got ? "read" : "GetCommModemStatus failed");
        for (size_t i = 0; open == 1 && i < ARRAYSIZE(steps); ++i) {
            const Step &step = steps[i];
            CHECK(EscapeCommFunction(port.Handle(), step.function), "EscapeCommFunction(%lu) failed, error %lu",
                  step.function, GetLastError());
            status = 0;
            BOOL got = GetCommModemStatus(port.Handle(), &status);
            CHECK(got && status == step.expected,
                  "after EscapeCommFunction(%lu): modem status 0x%lX (%s), expected 0x%lX", step.function, status,
                  got ? "read" : "GetCommModemStatus failed", step.expected);
        }
    }
}

void ReadTimeouts()
{
    Port port;
    if (!port.CheckOpened())
        return;
    // Bounds for a loaded two-core machine: a timer may fire late, never early
    // (a millisecond of slack for the two clocks' rounding).
    const double late = 3000;
    double took = TimedEmptyRead(port, {MAXDWORD, 0, 0}, 5000);
    CHECK(took >= 0 && took < 1000, "an immediate read of an empty port took %.0f ms", took);

    struct Timed {
        ReadTimeout timeouts;
        double expected; // ms, for a read of 20 bytes
    };
    const Timed timed[] = {{{MAXDWORD, MAXDWORD, 400}, 400}, {{0, 10, 100}, 300}};
    for (const Timed &t : timed) {
        took = TimedEmptyRead(port, t.timeouts, static_cast<DWORD>(t.expected + late + 2000));
        Note("timeouts %lu/%lu/%lu: an empty read ended after %.0f ms (%.0f expected)", t.timeouts.interval,
             t.timeouts.multiplier, t.timeouts.constant, took, t.expected);
        CHECK(took >= t.expected - 1 && took <= t.expected + late,
              "timeouts %lu/%lu/%lu: the read ended after %.0f ms, expected %.0f ms", t.timeouts.interval,
              t.timeouts.multiplier, t.timeouts.constant, took, t.expected);
    }

    // An interval timeout alone gives no total timeout: the read waits for data.
    port.SetReadTimeouts(50, 0, 0);
    AsyncPtr read = Async::Read(port.Handle(), 16);
    CHECK(!read->Ended(700), "a read with only an interval timeout ended after 700 ms without data");
    const char late_bytes[] = "late";
    CHECK(Modem().Queue(late_bytes, 4), "the modem did not take bytes, error %lu", GetLastError());
    if (CHECK(read->Ended(5000), "the waiting read did not end when data came"))
        CHECK(read->Ok() && read->Bytes() == 4 && std::memcmp(read->Data().data(), late_bytes, 4) == 0,
              "the waiting read ended with error %lu and %lu bytes", read->Error(), read->Bytes());
    port.SetReadTimeouts(0, 0, 0);
}

} // namespace suite
