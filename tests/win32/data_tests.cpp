// Data through the port: echo round trips, a megabyte each way with
// overlapped requests of random sizes, the comm events, purge and CancelIo,
// the queue counts and the overrun report.
#include "tests/win32/suite.h"

#include <cstring>
#include <deque>

namespace suite {

bool PortWorks(Port &port);

namespace {

// The receive ring's capacity.
const DWORD RingBytes = 1024000;
// Below the modem's host queue and capture buffer (64 KiB each): the most
// the tests let either hold, so that the modem never drops a byte.
const DWORD ModemWindow = 60 * 1024;

std::vector<uint8_t> RandomBytes(size_t length)
{
    std::vector<uint8_t> bytes(length);
    for (uint8_t &b : bytes)
        b = static_cast<uint8_t>(Random(256));
    return bytes;
}

DWORD FirstDifference(const uint8_t *a, const uint8_t *b, DWORD length)
{
    DWORD i = 0;
    while (i < length && a[i] == b[i])
        ++i;
    return i;
}

COMSTAT Counts(HANDLE port, DWORD *errors, bool *ok)
{
    COMSTAT stat = {};
    *ok = ClearCommError(port, errors, &stat) != FALSE;
    return stat;
}

DWORD InQueue(HANDLE port)
{
    DWORD errors = 0;
    bool ok = false;
    COMSTAT stat = Counts(port, &errors, &ok);
    return ok ? stat.cbInQue : MAXDWORD;
}

// One direction of the megabyte: the bytes, how far they got, and when.
struct Stream {
    std::vector<uint8_t> bytes;
    DWORD issued = 0;  // handed to the port or the modem
    DWORD checked = 0; // arrived at the other end, compared
    double done = 0;   // when the last byte was checked
    bool Complete() const
    {
        return checked == bytes.size();
    }
};

// Toward the modem: overlapped writes of random sizes, at most four in
// flight, checked as the modem captures them.
bool PumpWrites(HANDLE port, Stream *out, std::deque<AsyncPtr> *writes, double start)
{
    while (!writes->empty() && writes->front()->Ended(0)) {
        AsyncPtr &w = writes->front();
        if (!CHECK(w->Ok() && w->Bytes() == w->Data().size(), "a write of %u bytes ended with error %lu after %lu",
                   static_cast<unsigned>(w->Data().size()), w->Error(), w->Bytes()))
            return false;
        writes->pop_front();
    }
    if (writes->size() < 4 && out->issued < out->bytes.size()) {
        DWORD size = std::min<DWORD>(1 + Random(16384), static_cast<DWORD>(out->bytes.size()) - out->issued);
        if (out->issued + size - out->checked <= ModemWindow) {
            writes->push_back(Async::Write(port, out->bytes.data() + out->issued, size));
            out->issued += size;
        }
    }
    uint8_t captured[16384];
    DWORD got = 0;
    if (!CHECK(Modem().ReadCaptured(captured, sizeof(captured), &got), "reading the captured bytes failed, error %lu",
               GetLastError()))
        return false;
    if (!CHECK(out->checked + got <= out->issued, "the modem captured %lu bytes more than were written",
               out->checked + got - out->issued))
        return false;
    DWORD same = FirstDifference(captured, out->bytes.data() + out->checked, got);
    if (!CHECK(same == got, "byte %lu toward the modem arrived as 0x%02X, sent 0x%02X", out->checked + same,
               captured[same], out->bytes[out->checked + same]))
        return false;
    out->checked += got;
    if (out->Complete() && out->done == 0)
        out->done = Now() - start;
    return true;
}

// From the modem: bytes queued in pieces the modem can hold, read back by one
// overlapped read of a random size at a time.
bool PumpReads(HANDLE port, Stream *in, AsyncPtr *read, double start)
{
    DWORD room = ModemWindow - (in->issued - in->checked);
    DWORD size = std::min<DWORD>(std::min<DWORD>(room, 16384), static_cast<DWORD>(in->bytes.size()) - in->issued);
    if (size > 0) {
        if (!CHECK(Modem().Queue(in->bytes.data() + in->issued, size), "the modem refused %lu bytes, error %lu", size,
                   GetLastError()))
            return false;
        in->issued += size;
    }
    if (*read && (*read)->Ended(0)) {
        const Async &r = **read;
        if (!CHECK(r.Ok() && in->checked + r.Bytes() <= in->issued, "a read ended with error %lu and %lu bytes",
                   r.Error(), r.Bytes()))
            return false;
        DWORD same = FirstDifference(r.Data().data(), in->bytes.data() + in->checked, r.Bytes());
        if (!CHECK(same == r.Bytes(), "byte %lu from the modem read as 0x%02X, sent 0x%02X", in->checked + same,
                   r.Data()[same], in->bytes[in->checked + same]))
            return false;
        in->checked += r.Bytes();
        read->reset();
    }
    if (!*read && !in->Complete())
        *read = Async::Read(port, 1 + Random(16384));
    if (in->Complete() && in->done == 0)
        in->done = Now() - start;
    return true;
}

} // namespace

void EchoRoundTrips()
{
    Port port;
    if (!port.CheckOpened())
        return;
    // The modem sends at 1 MB/s, slower than a write brings bytes, so that a
    // write of more than its 64 KiB queue fills it: the modem then holds the
    // write until it has sent some, and drops nothing.
    if (!CHECK(Modem().Value(MODEM_CONTROL_SET_ECHO, 1) && Modem().Value(MODEM_CONTROL_SET_RATE, 1000000),
               "echo on at 1 MB/s failed, error %lu", GetLastError()))
        return;
    // Around the 4096-byte pieces of a write and the 4096-byte transfers of
    // the reader, and past the modem's queue.
    for (DWORD size : {1UL, 7UL, 4095UL, 4096UL, 4097UL, 10000UL, 60000UL, 70000UL}) {
        std::vector<uint8_t> sent = RandomBytes(size);
        if (!CHECK(port.WriteAll(sent.data(), size), "a write of %lu bytes failed", size))
            return;
        std::vector<uint8_t> echoed = port.ReadFor(size, 10000);
        DWORD same = FirstDifference(echoed.data(), sent.data(), static_cast<DWORD>(echoed.size()));
        CHECK(echoed.size() == size && same == size, "%lu bytes sent, %u echoed, the first %lu of them intact", size,
              static_cast<unsigned>(echoed.size()), same);
    }
    // A bus that reports more than the piece it carried: the write still
    // reports what it wrote.
    if (CHECK(Modem().Fault(MODEM_PIPE_BULK_OUT, MODEM_FAULT_OVERREPORT, 1, 0, 0, 1000),
              "making the bus over-report failed, error %lu", GetLastError())) {
        CHECK(port.WriteAll("over", 4) && port.ReadFor(4, 10000).size() == 4,
              "a write the bus over-reported did not report its 4 bytes, or they did not come back");
    }
}

void MegabyteEachWay()
{
    Port port;
    if (!port.CheckOpened())
        return;
    Note("seed %u", Seed());
    Stream out;
    Stream in;
    out.bytes = RandomBytes(1 << 20);
    in.bytes = RandomBytes(1 << 20);
    std::deque<AsyncPtr> writes;
    AsyncPtr read(nullptr, nullptr);
    const double start = Now();
    const double deadline = start + 120000;
    while (!(out.Complete() && in.Complete()) && Now() < deadline) {
        if (!PumpWrites(port.Handle(), &out, &writes, start) || !PumpReads(port.Handle(), &in, &read, start))
            return;
        if (!read || !read->Ended(1))
            Sleep(0);
    }
    CHECK(out.Complete() && in.Complete(),
          "after %.0f s: %lu of the bytes toward the modem arrived, %lu of those "
          "from it",
          (Now() - start) / 1000, out.checked, in.checked);
    MODEM_STATUS status = {};
    CHECK(Modem().Status(&status) && status.CaptureDropped == 0, "the modem dropped %u captured bytes",
          status.CaptureDropped);
    if (out.Complete() && in.Complete())
        Note("1 MiB each way at once, in order and intact: toward the modem in %.0f ms, from it in %.0f ms", out.done,
             in.done);
}

void CommEvents()
{
    Port port;
    if (!port.CheckOpened())
        return;
    HANDLE h = port.Handle();
    // A new mask ends a waiting request with no event.
    CHECK(SetCommMask(h, EV_TXEMPTY), "SetCommMask failed, error %lu", GetLastError());
    AsyncPtr wait = Async::WaitEvent(h);
    CHECK(!wait->Ended(300), "WaitCommEvent(EV_TXEMPTY) ended at once, mask 0x%lX", wait->Mask());
    CHECK(SetCommMask(h, EV_TXEMPTY), "SetCommMask failed, error %lu", GetLastError());
    CHECK(wait->Ended(5000) && wait->Ok() && wait->Mask() == 0,
          "a new mask should end the wait with no event: error %lu, mask 0x%lX", wait->Error(), wait->Mask());

    wait = Async::WaitEvent(h);
    CHECK(!wait->Ended(300), "WaitCommEvent(EV_TXEMPTY) ended before anything was written");
    std::vector<uint8_t> bytes(5000, 'w');
    CHECK(port.WriteAll(bytes.data(), 5000), "the write failed");
    bool ended = wait->Ended(5000);
    CHECK(ended && wait->Ok() && wait->Mask() == EV_TXEMPTY, "after the write the wait %s, error %lu, mask 0x%lX",
          ended ? "ended" : "is still pending", wait->Error(), wait->Mask());

    CHECK(SetCommMask(h, EV_RXCHAR), "SetCommMask failed, error %lu", GetLastError());
    wait = Async::WaitEvent(h);
    CHECK(!wait->Ended(300), "WaitCommEvent(EV_RXCHAR) ended before anything came");
    CHECK(Modem().Queue("abc", 3), "the modem did not take bytes, error %lu", GetLastError());
    CHECK(wait->Ended(5000) && wait->Ok() && wait->Mask() == EV_RXCHAR, "after the modem sent: error %lu, mask 0x%lX",
          wait->Error(), wait->Mask());
    std::vector<uint8_t> got = port.ReadFor(3, 5000);
    CHECK(got.size() == 3 && std::memcmp(got.data(), "abc", 3) == 0, "read %u of the 3 bytes",
          static_cast<unsigned>(got.size()));
}

// The blocking pattern of programs that wait for the end of a transmission,
// or for a line, on a handle opened without FILE_FLAG_OVERLAPPED: the event
// came before the wait, which is answered from the history. (A wait that
// never returns fails the suite as hung.)
void BlockingEventWaits()
{
    HANDLE h = CreateFileW(PortPath(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (!CHECK(h != INVALID_HANDLE_VALUE, "open without FILE_FLAG_OVERLAPPED failed, error %lu", GetLastError()))
        return;
    DWORD written = 0, events = 0;
    CHECK(SetCommMask(h, EV_TXEMPTY), "SetCommMask failed, error %lu", GetLastError());
    CHECK(WriteFile(h, "hello", 5, &written, nullptr) && written == 5, "WriteFile wrote %lu bytes, error %lu", written,
          GetLastError());
    CHECK(WaitCommEvent(h, &events, nullptr) && events == EV_TXEMPTY,
          "WaitCommEvent(EV_TXEMPTY) after a synchronous write: 0x%lX, error %lu", events, GetLastError());
    CHECK(SetCommMask(h, EV_CTS), "SetCommMask failed, error %lu", GetLastError());
    CHECK(EscapeCommFunction(h, SETRTS), "EscapeCommFunction(SETRTS) failed, error %lu", GetLastError());
    events = 0;
    CHECK(WaitCommEvent(h, &events, nullptr) && events == EV_CTS,
          "WaitCommEvent(EV_CTS) after raising RTS: 0x%lX, error %lu", events, GetLastError());
    CloseHandle(h);
}

void PurgeAndCancel()
{
    Port port;
    if (!port.CheckOpened())
        return;
    HANDLE h = port.Handle();
    port.SetReadTimeouts(0, 0, 0);

    struct Abort {
        const char *how;
        bool (*run)(HANDLE);
    };
    const Abort aborts[] = {
        {"PurgeComm(PURGE_RXABORT)", [](HANDLE port) { return PurgeComm(port, PURGE_RXABORT) != FALSE; }},
        {"CancelIo", [](HANDLE port) { return CancelIo(port) != FALSE; }},
    };
    for (const Abort &abort : aborts) {
        AsyncPtr read = Async::Read(h, 16);
        CHECK(!read->Ended(300), "a read of the empty port ended at once");
        CHECK(abort.run(h), "%s failed, error %lu", abort.how, GetLastError());
        CHECK(read->Ended(5000) && read->Error() == ERROR_OPERATION_ABORTED && read->Bytes() == 0,
              "%s: the read ended with error %lu and %lu bytes", abort.how, read->Error(), read->Bytes());
    }

    // Queued writes go with PURGE_TXABORT; the one on the bus is left alone.
    CHECK(Modem().Fault(MODEM_PIPE_BULK_OUT, MODEM_FAULT_NAK), "making the modem NAK failed, error %lu",
          GetLastError());
    AsyncPtr sent = Async::Write(h, "first", 5);
    AsyncPtr queued = Async::Write(h, "second", 6);
    CHECK(!sent->Ended(300), "a write to the NAKing modem ended");
    CHECK(PurgeComm(h, PURGE_TXABORT), "PurgeComm(PURGE_TXABORT) failed, error %lu", GetLastError());
    CHECK(queued->Ended(5000) && queued->Error() == ERROR_OPERATION_ABORTED, "the queued write ended with error %lu",
          queued->Error());
    CHECK(!sent->Ended(300), "PURGE_TXABORT ended the write on the bus");
    Modem().Fault(MODEM_PIPE_BULK_OUT, MODEM_FAULT_ACK);
    CHECK(sent->Ended(5000) && sent->Ok() && sent->Bytes() == 5, "the write on the bus ended with error %lu",
          sent->Error());

    // The input queue emptied: what had come is gone, what comes next arrives.
    std::vector<uint8_t> bytes = RandomBytes(1000);
    CHECK(Modem().Queue(bytes.data(), bytes.size()), "the modem did not take bytes, error %lu", GetLastError());
    CHECK(WaitUntil([&] { return InQueue(h) == 1000; }, 5000), "%lu bytes in the input queue, expected 1000",
          InQueue(h));
    CHECK(PurgeComm(h, PURGE_RXCLEAR), "PurgeComm(PURGE_RXCLEAR) failed, error %lu", GetLastError());
    CHECK(InQueue(h) == 0, "%lu bytes in the input queue after PURGE_RXCLEAR", InQueue(h));
    port.SetReadTimeouts(MAXDWORD, 0, 0);
    AsyncPtr read = Async::Read(h, 16);
    CHECK(read->Ended(5000) && read->Ok() && read->Bytes() == 0, "an immediate read after the purge got %lu bytes",
          read->Bytes());
    port.SetReadTimeouts(0, 0, 0);
    PortWorks(port);
}

// Closing the handle ends what is queued (Windows' cleanup, which the I/O
// shim supplies under Wine) and the write on the bus (the close aborts the
// pipe), at once; the port opens again afterwards.
void CloseWithRequestsPending()
{
    Port port;
    if (!port.CheckOpened())
        return;
    HANDLE h = port.Handle();
    port.SetReadTimeouts(0, 0, 0);
    CHECK(SetCommMask(h, EV_RXCHAR), "SetCommMask failed, error %lu", GetLastError());
    CHECK(Modem().Fault(MODEM_PIPE_BULK_OUT, MODEM_FAULT_NAK), "making the modem NAK failed, error %lu",
          GetLastError());
    struct Pending {
        const char *what;
        AsyncPtr request;
    } pending[] = {{"the waiting read", Async::Read(h, 16)},
                   {"the waiting WaitCommEvent", Async::WaitEvent(h)},
                   {"the write on the bus", Async::Write(h, "on the bus", 10)},
                   {"the queued write", Async::Write(h, "queued", 6)}};
    for (Pending &p : pending)
        CHECK(!p.request->Ended(100), "%s ended before the close, error %lu", p.what, p.request->Error());
    const double start = Now();
    CHECK(port.Close(), "CloseHandle failed, error %lu", GetLastError());
    const double took = Now() - start;
    CHECK(took < 5000, "CloseHandle took %.0f ms", took);
    for (Pending &p : pending) {
        bool ended = p.request->Ended(5000);
        CHECK(ended && !p.request->Ok() && p.request->Bytes() == 0, "%s, at the close: %s, error %lu, %lu bytes",
              p.what, ended ? "ended" : "still pending after 5 s", p.request->Error(), p.request->Bytes());
    }
    for (int i : {0, 1, 3})
        CHECK(pending[i].request->Error() == ERROR_OPERATION_ABORTED, "%s ended with error %lu, not as cancelled",
              pending[i].what, pending[i].request->Error());
    Modem().Fault(MODEM_PIPE_BULK_OUT, MODEM_FAULT_ACK);
    Port again;
    if (CHECK(again.Opened(), "the port did not open again, error %lu", again.Error()))
        PortWorks(again);
}

void QueueCountsAndOverrun()
{
    Port port;
    if (!port.CheckOpened())
        return;
    HANDLE h = port.Handle();
    DWORD errors = 0;
    bool ok = false;

    // Output queue: a write held by a NAKing modem counts until it is sent.
    CHECK(Modem().Fault(MODEM_PIPE_BULK_OUT, MODEM_FAULT_NAK), "making the modem NAK failed, error %lu",
          GetLastError());
    std::vector<uint8_t> bytes = RandomBytes(10000);
    AsyncPtr write = Async::Write(h, bytes.data(), 10000);
    CHECK(WaitUntil([&] { return Counts(h, &errors, &ok).cbOutQue == 10000; }, 5000),
          "%lu bytes in the output queue, expected 10000", Counts(h, &errors, &ok).cbOutQue);
    Modem().Fault(MODEM_PIPE_BULK_OUT, MODEM_FAULT_ACK);
    CHECK(write->Ended(5000) && write->Ok() && write->Bytes() == 10000, "the write ended with error %lu, %lu bytes",
          write->Error(), write->Bytes());
    CHECK(Counts(h, &errors, &ok).cbOutQue == 0 && ok, "%lu bytes in the output queue after the write",
          Counts(h, &errors, &ok).cbOutQue);

    // More than the ring holds, unread: the first RingBytes stay, in order,
    // and the loss is reported once.
    const DWORD extra = 5000;
    CHECK(Modem().Value(MODEM_CONTROL_GENERATE, RingBytes + extra), "the modem did not generate, error %lu",
          GetLastError());
    MODEM_STATUS status = {};
    CHECK(WaitUntil([&] { return Modem().Status(&status) && status.HostQueued == 0; }, 60000),
          "the modem still holds %u bytes for the host", status.HostQueued);
    COMSTAT stat = Counts(h, &errors, &ok);
    CHECK(ok && stat.cbInQue == RingBytes && errors == CE_RXOVER,
          "with the ring overrun: %lu bytes in the input queue, errors 0x%lX; expected %lu and CE_RXOVER", stat.cbInQue,
          errors, RingBytes);
    Counts(h, &errors, &ok);
    CHECK(ok && errors == 0, "errors 0x%lX when the overrun had been reported", errors);
    std::vector<uint8_t> got = port.ReadFor(RingBytes, 30000);
    DWORD same = 0;
    while (same < got.size() && got[same] == static_cast<uint8_t>(same))
        ++same;
    CHECK(got.size() == RingBytes && same == RingBytes, "read %u bytes of the %lu kept, the first %lu as generated",
          static_cast<unsigned>(got.size()), RingBytes, same);
    CHECK(InQueue(h) == 0, "%lu bytes in the input queue after reading all", InQueue(h));
}

} // namespace suite
