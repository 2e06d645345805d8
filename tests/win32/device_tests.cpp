// The device going bad or away under an open port: a failing modem, and an
// unplug while a read waits, then the replug.
#include "tests/win32/suite.h"

#include <cstring>

namespace suite {

bool RefusedAtOpenOrFirstUse(Port &port, DWORD error);
bool PortWorks(Port &port);

namespace {

// A transfer failure that shows the device is broken, not a passing one.
const int32_t StatusDeviceDataError = static_cast<int32_t>(0xC000009CUL);
const int32_t UsbdStatusStallPid = static_cast<int32_t>(0xC0000004UL);

bool PortNamed()
{
    wchar_t target[256];
    return QueryDosDeviceW(PortName(), target, ARRAYSIZE(target)) != 0;
}

bool PortAnswers()
{
    Port port;
    DCB dcb = {};
    dcb.DCBlength = sizeof(dcb);
    return port.Opened() && GetCommState(port.Handle(), &dcb);
}

// Unplugs the modem, waits until its port has gone, plugs it back and waits
// until the new port answers.
bool Replug(bool unplugged = false)
{
    if (!unplugged && !CHECK(Modem().Select(MODEM_CONTROL_UNPLUG), "unplug failed, error %lu", GetLastError()))
        return false;
    if (!CHECK(WaitUntil([] { return !PortNamed(); }, 15000), "the port's name stayed after the unplug"))
        return false;
    if (!CHECK(Modem().Select(MODEM_CONTROL_REPLUG), "replug failed, error %lu", GetLastError()))
        return false;
    return CHECK(WaitUntil(PortAnswers, 30000), "the port did not come back after the replug");
}

} // namespace

void FailingModem()
{
    {
        Port port;
        if (!port.CheckOpened())
            return;
        HANDLE h = port.Handle();
        CHECK(Modem().Fault(MODEM_PIPE_BULK_IN, MODEM_FAULT_FAIL, 1, StatusDeviceDataError, UsbdStatusStallPid),
              "injecting the failure failed, error %lu", GetLastError());
        // The communication status still answers, with every error bit.
        DWORD errors = 0;
        COMSTAT stat = {};
        CHECK(WaitUntil([&] { return ClearCommError(h, &errors, &stat) && errors == 0x1F; }, 5000),
              "ClearCommError on the failed port reports errors 0x%lX, expected 0x1F", errors);
        AsyncPtr read = Async::Read(h, 1);
        CHECK(read->Ended(5000) && read->Error() == ERROR_ACCESS_DENIED, "a read on the failed port: error %lu",
              read->Error());
        AsyncPtr write = Async::Write(h, "x", 1);
        CHECK(write->Ended(5000) && write->Error() == ERROR_ACCESS_DENIED, "a write on the failed port: error %lu",
              write->Error());
        DCB dcb = {};
        dcb.DCBlength = sizeof(dcb);
        CHECK(!GetCommState(h, &dcb) && GetLastError() == ERROR_ACCESS_DENIED,
              "GetCommState on the failed port: error %lu", GetLastError());
    }
    {
        Port again;
        RefusedAtOpenOrFirstUse(again, ERROR_ACCESS_DENIED);
    }
    // A new device (after a replug) starts afresh.
    if (Replug()) {
        Port port;
        if (CHECK(port.Opened(), "the port did not open after the replug, error %lu", port.Error()))
            PortWorks(port);
    }
}

void UnplugAndReplug()
{
    {
        Port port;
        if (!port.CheckOpened())
            return;
        port.SetReadTimeouts(0, 0, 0);
        AsyncPtr read = Async::Read(port.Handle(), 16);
        CHECK(!read->Ended(300), "a read of the empty port ended at once");
        if (!CHECK(Modem().Select(MODEM_CONTROL_UNPLUG), "unplug failed, error %lu", GetLastError()))
            return;
        bool ended = read->Ended(10000);
        CHECK(ended && !read->Ok() && read->Bytes() == 0, "the waiting read, at the unplug: %s, error %lu, %lu bytes",
              ended ? "ended" : "still pending after 10 s", read->Error(), read->Bytes());
        CHECK(WaitUntil([] { return !PortNamed(); }, 15000), "the port's name stayed after the unplug");
        wchar_t target[256] = {};
        QueryDosDeviceW(PortName(), target, ARRAYSIZE(target));
        CHECK(!PortNamed(), "QueryDosDevice(%ls) still gives \"%ls\"", PortName(), target);
        CHECK(port.Close(), "closing the handle of the removed port failed, error %lu", GetLastError());
    }
    if (!Replug(true))
        return;
    Port port;
    if (CHECK(port.Opened(), "the port did not open after the replug, error %lu", port.Error()))
        PortWorks(port);
}

} // namespace suite
