// The continuous bulk-in reader behind the open port: receive events and the
// failures that end it. The ring filled at full speed and held back is the
// Win32 suite's (the port's queue counts as an application sees them).
#include "tests/support/modem_port_fixture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>
#include <string>

namespace {

class ReaderTest : public ModemPortCompletionTest {
protected:
    void SetUp() override
    {
        observeBelowPort = [this](PIRP irp) { Note(irp); };
        ModemPortCompletionTest::SetUp();
        ASSERT_EQ(STATUS_SUCCESS, Open());
        km::RunUntilIdle();
    }

    void SetEvents(ULONG mask, ULONG history)
    {
        UnderLock([&] {
            ext->WaitMask = mask;
            ext->EventHistory = history;
        });
    }

    // The device-control dispatcher's part in IOCTL_SERIAL_WAIT_ON_MASK.
    km::Request *WaitOnMask()
    {
        km::Request *wait =
            km::NewRequest(fdo, IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, sizeof(ULONG));
        km::Run([&] {
            ASSERT_EQ(STATUS_SUCCESS, port.AcquireRemoveLock(ext, wait->irp));
            ASSERT_EQ(STATUS_PENDING, port.WaitOnMask(ext, wait->irp));
        });
        return wait;
    }

    // A failure of the pending transfer and of those that follow it.
    void FailTransfers(ULONG count, NTSTATUS status, USBD_STATUS usbd = USBD_STATUS_STALL_PID)
    {
        ASSERT_EQ(STATUS_SUCCESS, Modem().Fail(MODEM_PIPE_BULK_IN, count, status, usbd));
        km::RunUntilIdle();
    }

    bool Failed() const
    {
        return ext->FailureMarker == FAILURE_MARKER_FAILED;
    }

    // The transfers and pipe resets the port sends down, in order.
    void Note(PIRP irp)
    {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        if (stack->MajorFunction != IRP_MJ_INTERNAL_DEVICE_CONTROL) {
            return;
        }
        PURB urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
        bool in = urb->UrbPipeRequest.PipeHandle == ext->BulkInPipe;
        if (urb->UrbHeader.Function == URB_FUNCTION_RESET_PIPE) {
            below.push_back(in ? "reset in" : "reset out");
        } else if (urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
            below.push_back(in ? "bulk-in" : "bulk-out");
        }
    }

    std::vector<std::string> below;
};

// Events are noted only for bytes left in the ring once the waiting read has
// been served. SERIAL_EV_RXFLAG replaces what was noted before (no event
// character is looked for); SERIAL_EV_RXCHAR alone adds to it.
TEST_P(ReaderTest, ReceiveEventsAsTheMaskAsks)
{
    SetEvents(SERIAL_EV_RXCHAR, SERIAL_EV_TXEMPTY);
    Send("a");
    EXPECT_EQ(static_cast<ULONG>(SERIAL_EV_RXCHAR | SERIAL_EV_TXEMPTY), ext->EventHistory);
    SetEvents(SERIAL_EV_RXFLAG | SERIAL_EV_RXCHAR, SERIAL_EV_TXEMPTY | SERIAL_EV_RX80FULL);
    Send("b");
    EXPECT_EQ(static_cast<ULONG>(SERIAL_EV_RXFLAG | SERIAL_EV_RXCHAR), ext->EventHistory);

    EXPECT_EQ("ab", Bytes(ReadAndWait(100)));
    SetEvents(SERIAL_EV_RXCHAR, 0);
    km::Request *read = Read(100);
    Send("c");
    EXPECT_EQ("c", Bytes(read));
    EXPECT_EQ(0u, ext->EventHistory) << "the waiting read took every byte";

    // A pending wait-on-mask request hears of the bytes left over; the
    // history keeps them for the next one.
    km::Request *wait = WaitOnMask();
    Send("d");
    ASSERT_TRUE(wait->completed);
    EXPECT_EQ(STATUS_SUCCESS, wait->status);
    ULONG events = 0;
    ASSERT_EQ(sizeof(events), wait->output.size());
    std::memcpy(&events, wait->output.data(), sizeof(events));
    EXPECT_EQ(static_cast<ULONG>(SERIAL_EV_RXCHAR), events);
    EXPECT_EQ(static_cast<ULONG>(SERIAL_EV_RXCHAR), ext->EventHistory);
    EXPECT_EQ(0, RemoveLockHolds());

    // SERIAL_EV_RX80FULL from 820000 bytes in the ring.
    EXPECT_EQ("d", Bytes(Read(10)));
    SetEvents(SERIAL_EV_RX80FULL, 0);
    ASSERT_EQ(STATUS_SUCCESS, Modem().Generate(819999));
    km::RunUntilIdle();
    ASSERT_EQ(819999, ext->RingCount);
    EXPECT_EQ(0u, ext->EventHistory);
    ASSERT_EQ(STATUS_SUCCESS, Modem().Generate(1));
    km::RunUntilIdle();
    EXPECT_EQ(static_cast<ULONG>(SERIAL_EV_RX80FULL), ext->EventHistory);
}

// The device did not answer, is gone, or the transfer failed on the bus: the
// first such failure marks the device failed and ends the loop. A device
// marked failed while it is still present strands nothing: the waiting read
// (the default timeouts would let it wait for ever), the queued write and the
// pending wait end at once with STATUS_DELETE_PENDING, and the write on the
// bus ends so when its piece returns, with the bytes it moved and no further
// piece; the queue is idle again. Reads, with the noted events, and later
// opens are refused until the device object is made anew.
TEST_P(ReaderTest, FatalFailuresMarkTheDeviceFailedAndStrandNothing)
{
    struct {
        NTSTATUS status;
        USBD_STATUS usbd;
    } fatal[] = {
        {STATUS_UNSUCCESSFUL, USBD_STATUS_DEV_NOT_RESPONDING},
        {STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_STALL_PID},
        {STATUS_DEVICE_DATA_ERROR, USBD_STATUS_STALL_PID},
    };
    for (const auto &failure : fatal) {
        SCOPED_TRACE(testing::Message() << std::hex << failure.status << " " << failure.usbd);
        km::Request *read = Read(10);
        SetEvents(SERIAL_EV_RXCHAR, 0);
        km::Request *wait = WaitOnMask();
        ASSERT_EQ(STATUS_SUCCESS, Modem().Nak(MODEM_PIPE_BULK_OUT));
        km::Request *sending = Write(Pattern(10000, 1));
        km::Request *queued = Write("queued");
        km::RunUntilIdle();
        FailTransfers(1, failure.status, failure.usbd);
        EXPECT_TRUE(Failed());
        EXPECT_EQ(1, ext->ReadErrorCount);
        EXPECT_EQ(0u, Pipe(MODEM_PIPE_BULK_IN).Pending) << "the loop goes on";
        for (km::Request *ended : {read, queued, wait}) {
            EXPECT_EQ(STATUS_DELETE_PENDING, ended->status);
            EXPECT_EQ(0u, ended->information);
        }
        EXPECT_FALSE(sending->completed);
        ULONG captured = Modem().Status().CapturedTotal;
        ASSERT_EQ(STATUS_SUCCESS, Modem().Ack(MODEM_PIPE_BULK_OUT));
        km::RunUntilIdle();
        EXPECT_EQ(STATUS_DELETE_PENDING, sending->status);
        EXPECT_EQ(4096u, sending->information);
        EXPECT_EQ(captured + 4096, Modem().Status().CapturedTotal) << "a piece went after the failure";
        EXPECT_FALSE(ext->WriteActive);
        EXPECT_EQ(0u, ext->PendingWriteBytes);
        EXPECT_EQ(0, RemoveLockHolds());

        SetEvents(SERIAL_EV_RXCHAR, SERIAL_EV_RXCHAR);
        EXPECT_EQ(STATUS_DELETE_PENDING, Read(10)->status);
        EXPECT_EQ(0u, ext->EventHistory);
        EXPECT_EQ(STATUS_SUCCESS, Close());
        km::Handle *refused = nullptr;
        EXPECT_EQ(STATUS_DELETE_PENDING, OpenAnother(&refused));
        // As a device object made anew would be.
        ext->FailureMarker = 0;
        ASSERT_EQ(STATUS_SUCCESS, Open());
    }
}

// A transfer that fails on a halted endpoint has its pipe reset before the
// next one goes: retried without the reset, every transfer would fail at once
// until the failure rule gave the device up. The reader resets before its
// restart, the writes before the next piece. Other failures are retried as
// they are. Failed reads and writes count toward the failure rule together,
// cumulatively since the open, good transfers between them or not: a halt that
// persists ends there, at the 21st, and the port refuses what comes after.
TEST_P(ReaderTest, AHaltedPipeIsResetBeforeTheNextTransfer)
{
    struct Case {
        bool stall; // else a failure that does not halt the pipe
        std::vector<std::string> in, out;
    };
    const Case cases[] = {
        {true, {"reset in", "bulk-in"}, {"reset out", "bulk-out"}},
        {false, {"bulk-in"}, {"bulk-out"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.stall ? "a stall" : "a failure");
        for (ULONG pipe : {MODEM_PIPE_BULK_IN, MODEM_PIPE_BULK_OUT}) {
            below.clear();
            ASSERT_EQ(STATUS_SUCCESS, c.stall
                                          ? Modem().Stall(pipe)
                                          : Modem().Fail(pipe, 1, STATUS_UNSUCCESSFUL, USBD_STATUS_INVALID_PARAMETER));
            km::Request *failed = pipe == MODEM_PIPE_BULK_OUT ? Write("a") : nullptr;
            km::RunUntilIdle();
            if (failed == nullptr) {
                EXPECT_EQ(c.in, below);
                continue;
            }
            EXPECT_EQ(STATUS_UNSUCCESSFUL, failed->status);
            below.clear();
            km::Request *next = Write("b");
            km::RunUntilIdle();
            EXPECT_EQ(c.out, below);
            EXPECT_EQ(STATUS_SUCCESS, next->status);
        }
    }
    Send("read");
    EXPECT_EQ("read", Bytes(ReadAndWait(10)));
    EXPECT_EQ(4, ext->ReadErrorCount);
    Send("x");
    FailTransfers(16, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
    EXPECT_EQ(20, ext->ReadErrorCount);
    EXPECT_FALSE(Failed());
    EXPECT_EQ(1u, Pipe(MODEM_PIPE_BULK_IN).Pending);
    EXPECT_EQ("x", Bytes(ReadAndWait(10)));
    km::Request *read = Read(1);
    ASSERT_EQ(STATUS_SUCCESS, Modem().Fail(MODEM_PIPE_BULK_OUT, 1, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID));
    km::Request *last = Write("x");
    km::RunUntilIdle();
    EXPECT_EQ(STATUS_UNSUCCESSFUL, last->status);
    EXPECT_TRUE(Failed());
    EXPECT_EQ(STATUS_DELETE_PENDING, read->status) << "the read waits on a failed device";
    SetEvents(SERIAL_EV_RXCHAR, SERIAL_EV_RXCHAR);
    km::Request *refused = Write("y");
    EXPECT_EQ(STATUS_DELETE_PENDING, refused->Reported());
    EXPECT_EQ(0u, refused->information);
    EXPECT_EQ(0u, ext->EventHistory);
}

// Failures a working device does not have are neither counted toward the
// failure rule nor judged, however many: a write cancelled on the bus, a
// transfer failing on the way to sleep (the loop stops there and waits for
// the power path), and one after cleanup. A transient failure afterwards is
// the first one counted.
TEST_P(ReaderTest, ExpectedFailuresAreNotCounted)
{
    ASSERT_EQ(STATUS_SUCCESS, Modem().Nak(MODEM_PIPE_BULK_OUT));
    for (int i = 0; i < 25; ++i) {
        km::Request *write = Write("x");
        EXPECT_TRUE(Cancel(write));
        EXPECT_EQ(STATUS_CANCELLED, write->status);
    }
    ASSERT_EQ(STATUS_SUCCESS, Modem().Ack(MODEM_PIPE_BULK_OUT));
    FailTransfers(1, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(1, ext->ReadErrorCount);
    EXPECT_FALSE(Failed());

    UnderLock([&] { ext->ResumeResetPending = TRUE; });
    FailTransfers(1, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(1, ext->ReadErrorCount);
    EXPECT_FALSE(Failed());
    EXPECT_EQ(0u, Pipe(MODEM_PIPE_BULK_IN).Pending);
    ASSERT_EQ(STATUS_SUCCESS, Close());

    ASSERT_EQ(STATUS_SUCCESS, Open());
    EXPECT_EQ(0, ext->ReadErrorCount);
    EXPECT_FALSE(ext->ResumeResetPending);
    ASSERT_EQ(STATUS_SUCCESS, Cleanup());
    FailTransfers(1, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(0, ext->ReadErrorCount);
    EXPECT_FALSE(Failed());
}

INSTANTIATE_COMPLETION_MODES(ReaderTest);

} // namespace
