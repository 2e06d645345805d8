// Writes on the open port as an application sees them, with the simulated
// modem capturing what reaches it: pieces, order, the output-queue count,
// the transmit-empty event, cleanup, cancelling, failures, and a bus that
// completes at once.
#include "tests/support/modem_port_fixture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

ULONG EventsOf(const km::Request *wait)
{
    ULONG events = 0xFFFFFFFF;
    if (wait->output.size() == sizeof(events)) {
        std::memcpy(&events, wait->output.data(), sizeof(events));
    }
    return events;
}

class WriteTest : public ModemPortFixture {
protected:
    // A bulk-out piece the port sent, as the modem's side saw it.
    struct Piece {
        PIRP irp;
        ULONG length;
    };

    void SetUp() override
    {
        observeBelowPort = [this](PIRP irp) {
            PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
            if (stack->MajorFunction != IRP_MJ_INTERNAL_DEVICE_CONTROL) {
                return;
            }
            PURB urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
            if (urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER &&
                urb->UrbBulkOrInterruptTransfer.PipeHandle == ext->BulkOutPipe) {
                pieces.push_back({irp, urb->UrbBulkOrInterruptTransfer.TransferBufferLength});
                if (onPiece) {
                    onPiece(pieces.back());
                }
            }
        };
        ModemPortFixture::SetUp();
        ASSERT_EQ(STATUS_SUCCESS, Open());
        km::RunUntilIdle();
    }

    // A write, and everything it sets going, to its end.
    km::Request *WriteAll(const std::string &bytes)
    {
        km::Request *write = Write(bytes);
        km::RunUntilIdle();
        EXPECT_TRUE(write->completed);
        return write;
    }

    std::vector<ULONG> PieceLengths() const
    {
        std::vector<ULONG> lengths;
        for (const Piece &piece : pieces) {
            lengths.push_back(piece.length);
        }
        return lengths;
    }

    void SetWaitMask(ULONG mask)
    {
        km::Request *set = Control(IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof(mask));
        ASSERT_EQ(STATUS_SUCCESS, set->status);
    }

    km::Request *WaitOnMask()
    {
        return Control(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, sizeof(ULONG));
    }

    ULONG OutputQueue()
    {
        km::Request *status = Control(IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, sizeof(SERIAL_STATUS));
        SERIAL_STATUS result = {};
        EXPECT_EQ(sizeof(result), status->output.size());
        std::memcpy(&result, status->output.data(), std::min(sizeof(result), status->output.size()));
        return result.AmountInOutQueue;
    }

    // The modem holds the piece after `count` more pieces have gone through.
    void NakAfter(size_t count)
    {
        size_t at = pieces.size() + count;
        onPiece = [this, at](const Piece &) {
            if (pieces.size() == at + 1) {
                Modem().Direct().Nak(MODEM_PIPE_BULK_OUT);
            }
        };
    }

    std::vector<Piece> pieces;
    std::function<void(const Piece &)> onPiece;
};

// Each write arrives whole and in order, in pieces of at most 4096 bytes
// carried by the write itself; an empty write sends nothing. A bus that moves
// only part of a piece gets the rest in the next one; one that moves nothing
// ends the write with what was sent.
TEST_F(WriteTest, PiecesReachTheModemIntactAndInOrder)
{
    struct Case {
        ULONG length;
        std::vector<ULONG> pieces;
        LONG shortTo; // the first piece moves this much (-1: all of it)
        ULONG sent;
    };
    const Case cases[] = {{0, {}, -1, 0},
                          {4096, {4096}, -1, 4096},
                          {4097, {4096, 1}, -1, 4097},
                          {10000, {4096, 4096, 1808}, -1, 10000},
                          {5000, {4096, 4000}, 1000, 5000},
                          {7, {7}, 0, 0}};
    std::string all;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.length);
        pieces.clear();
        if (c.shortTo >= 0) {
            ASSERT_EQ(STATUS_SUCCESS, Modem().Short(MODEM_PIPE_BULK_OUT, 1, static_cast<ULONG>(c.shortTo)));
        }
        std::string data = Pattern(c.length, c.length);
        km::Request *write = WriteAll(data);
        EXPECT_EQ(STATUS_SUCCESS, write->Reported());
        EXPECT_EQ(c.sent, write->information);
        EXPECT_EQ(c.pieces, PieceLengths());
        for (const Piece &piece : pieces) {
            EXPECT_EQ(write->irp, piece.irp) << "a piece on an IRP of its own";
        }
        all += data.substr(0, c.sent);
    }
    EXPECT_EQ(all, Modem().Captured());
    EXPECT_EQ(all.size(), ext->PerfStats.TransmittedCount);
    EXPECT_EQ(0u, ext->PendingWriteBytes);
    EXPECT_EQ(0, RemoveLockHolds());
}

// A write that arrives while another is on the bus waits its turn: the first
// has completed before the second's first piece goes down, whether the bus
// completes later from its DPC or at once. The output queue counts both until
// they end.
TEST_F(WriteTest, QueuedWritesGoInArrivalOrder)
{
    for (bool inline_ : {false, true}) {
        SCOPED_TRACE(inline_ ? "inline" : "from the DPC");
        ASSERT_EQ(STATUS_SUCCESS, Modem().CompleteInline(inline_));
        ASSERT_EQ(STATUS_SUCCESS, Modem().Nak(MODEM_PIPE_BULK_OUT));
        std::string first = Pattern(10000, 1);
        km::Request *a = Write(first);
        km::Request *b = Write("tail");
        EXPECT_EQ(STATUS_PENDING, b->returned);
        EXPECT_FALSE(a->completed);
        EXPECT_FALSE(b->completed);
        EXPECT_EQ(10004u, OutputQueue());

        bool bSent = false;
        onPiece = [&](const Piece &piece) {
            if (piece.irp == b->irp && !bSent) {
                bSent = true;
                EXPECT_TRUE(a->completed) << "the second write went down before the first completed";
            }
        };
        ASSERT_EQ(STATUS_SUCCESS, Modem().Ack(MODEM_PIPE_BULK_OUT));
        km::RunUntilIdle();
        onPiece = nullptr;
        EXPECT_TRUE(bSent);
        EXPECT_EQ(STATUS_SUCCESS, a->status);
        EXPECT_EQ(10000u, a->information);
        EXPECT_EQ(STATUS_SUCCESS, b->status);
        EXPECT_EQ(first + "tail", Modem().Captured());
        EXPECT_EQ(0u, OutputQueue());
        EXPECT_EQ(0, RemoveLockHolds());
    }
}

// The transmit queue running dry is an event for a mask that asks for it: a
// pending wait hears of it at once (and it is not told again), a wait issued
// later hears of it from the history, as after a synchronous write. A mask
// without it hears nothing.
TEST_F(WriteTest, TransmitEmptyIsAnEventWhenTheMaskAsks)
{
    SetWaitMask(SERIAL_EV_RXCHAR);
    km::Request *wait = WaitOnMask();
    WriteAll("w");
    EXPECT_FALSE(wait->completed) << "reported to a mask without it";
    EXPECT_EQ(0u, ext->EventHistory);

    SetWaitMask(SERIAL_EV_TXEMPTY);
    wait = WaitOnMask();
    EXPECT_FALSE(wait->completed);
    WriteAll("x");
    ASSERT_TRUE(wait->completed);
    EXPECT_EQ(static_cast<ULONG>(SERIAL_EV_TXEMPTY), EventsOf(wait));
    km::Request *next = WaitOnMask();
    EXPECT_FALSE(next->completed) << "the event was told twice";
    WriteAll("y");
    EXPECT_EQ(static_cast<ULONG>(SERIAL_EV_TXEMPTY), EventsOf(next));

    WriteAll("z");
    km::Request *later = WaitOnMask();
    ASSERT_TRUE(later->completed) << "an empty queue was not remembered";
    EXPECT_EQ(static_cast<ULONG>(SERIAL_EV_TXEMPTY), EventsOf(later));
    EXPECT_EQ(0u, ext->EventHistory);

    // Heard from the completion of a piece the bus held, with Lock released.
    next = WaitOnMask();
    ASSERT_EQ(STATUS_SUCCESS, Modem().Nak(MODEM_PIPE_BULK_OUT));
    Write("h");
    ASSERT_EQ(STATUS_SUCCESS, Modem().Ack(MODEM_PIPE_BULK_OUT));
    km::RunUntilIdle();
    EXPECT_EQ(static_cast<ULONG>(SERIAL_EV_TXEMPTY), EventsOf(next));
}

// Cleanup does not touch the write on the bus: when its piece finishes, the
// write ends successfully with the bytes sent so far, no further piece goes,
// and all of its length leaves the output-queue count. The piece ends between
// the cleanup's closing of the port and its cancelling of the queue (the test
// holds the cancel spin lock, taken first there; the modem completes inline):
// the queued write behind it must not start, and is cancelled.
TEST_F(WriteTest, CleanupStopsALongWriteAfterThePieceOnTheBus)
{
    ASSERT_EQ(STATUS_SUCCESS, Modem().CompleteInline(true));
    NakAfter(1);
    km::Request *write = Write(Pattern(10000, 2));
    km::Request *queued = Write("queued");
    km::RunUntilIdle();
    ASSERT_EQ(2u, pieces.size());
    bool endedBetween = false;
    km::Run([&] {
        KIRQL irql;
        IoAcquireCancelSpinLock(&irql);
        km::Spawn([&] { Cleanup(); }, "application");
        SpinUntil([&] { return !ext->PortOpen; });
        Modem().Direct().Ack(MODEM_PIPE_BULK_OUT);
        endedBetween = SpinUntil([&] { return write->completed; }) && !queued->completed;
        IoReleaseCancelSpinLock(irql);
    });
    km::RunUntilIdle();
    ASSERT_TRUE(endedBetween) << "the piece did not end inside the cleanup";
    EXPECT_EQ(STATUS_SUCCESS, write->status);
    EXPECT_EQ(8192u, write->information);
    EXPECT_EQ(STATUS_CANCELLED, queued->status);
    EXPECT_EQ(2u, pieces.size());
    EXPECT_EQ(0u, ext->PendingWriteBytes);
    EXPECT_EQ(8192u, ext->PerfStats.TransmittedCount);

    // Later writes on the cleaned-up handle are refused; the next open
    // writes again.
    km::Request *late = Write("late");
    EXPECT_EQ(STATUS_CANCELLED, late->Reported());
    EXPECT_EQ(2u, pieces.size());
    ASSERT_EQ(STATUS_SUCCESS, Close());
    ASSERT_EQ(STATUS_SUCCESS, Open());
    EXPECT_EQ(STATUS_SUCCESS, WriteAll("again")->status);
}

// When the piece on the bus is aborted instead (the modem leaves while the
// handle is being closed), the write ends with the abort's status and reports
// the bytes sent before it, so that they are not sent twice.
TEST_F(WriteTest, AnAbortedPieceEndsTheWriteWithTheBytesSent)
{
    NakAfter(1);
    km::Request *write = Write(Pattern(10000, 3));
    km::RunUntilIdle();
    ASSERT_EQ(STATUS_SUCCESS, Cleanup());
    LONG failures = ext->ReadErrorCount;
    EXPECT_EQ(STATUS_SUCCESS, km::SurpriseRemoveDevice(pdo));
    ASSERT_TRUE(write->completed);
    EXPECT_EQ(STATUS_CANCELLED, write->status);
    EXPECT_EQ(4096u, write->information);
    EXPECT_EQ(failures, ext->ReadErrorCount) << "an abort counted as a failure";
    EXPECT_EQ(0u, ext->PendingWriteBytes);
}

// Queued writes cancelled by the application or by a purge end with
// STATUS_CANCELLED and take their length off the output queue; the write on
// the bus goes on.
TEST_F(WriteTest, CancelledQueuedWritesLeaveTheQueue)
{
    ASSERT_EQ(STATUS_SUCCESS, Modem().Nak(MODEM_PIPE_BULK_OUT));
    km::Request *sending = Write("0123456789");
    km::Request *b = Write("bbbbb");
    km::Request *c = Write("ccccccc");
    EXPECT_EQ(22u, OutputQueue());
    EXPECT_TRUE(Cancel(b));
    EXPECT_EQ(STATUS_CANCELLED, b->status);
    EXPECT_EQ(0u, b->information);
    EXPECT_EQ(17u, OutputQueue());
    ULONG purge = SERIAL_PURGE_TXABORT;
    km::Request *purged = Control(IOCTL_SERIAL_PURGE, &purge, sizeof(purge));
    ASSERT_NE(nullptr, purged);
    EXPECT_EQ(STATUS_SUCCESS, purged->status);
    EXPECT_EQ(STATUS_CANCELLED, c->status);
    EXPECT_EQ(10u, OutputQueue());
    // One already cancelled when it arrives is answered STATUS_PENDING, as it
    // was marked pending, and ends cancelled.
    km::Request *early = km::NewRequest(fdo, IRP_MJ_WRITE, 0, "early", 5, 0);
    early->irp->Cancel = TRUE;
    km::Run([&] { km::Dispatch(early); });
    EXPECT_EQ(STATUS_PENDING, early->returned);
    EXPECT_EQ(STATUS_CANCELLED, early->status);
    EXPECT_EQ(10u, OutputQueue());
    EXPECT_FALSE(sending->completed);
    ASSERT_EQ(STATUS_SUCCESS, Modem().Ack(MODEM_PIPE_BULK_OUT));
    km::RunUntilIdle();
    EXPECT_EQ(STATUS_SUCCESS, sending->status);
    EXPECT_EQ("0123456789", Modem().Captured());
    EXPECT_EQ(0u, OutputQueue());
    EXPECT_EQ(0, RemoveLockHolds());
}

// The application cancels a queued write just as the write before it ends and
// the driver takes it off the queue. Every interleaving must leave it
// completed exactly once: cancelled on the queue, lost by the dequeuer to the
// cancel that took its routine first, or started before the cancel came.
TEST_F(WriteTest, CancelRacingTheStartOfTheSameWrite)
{
    TakeAllDown();
    auto seen = ForEachSeed(
        200,
        [&](uint64_t seed) -> std::string {
            EXPECT_EQ(STATUS_SUCCESS, Modem().Nak(MODEM_PIPE_BULK_OUT));
            km::Request *first = Write("a");
            km::Request *second = Write("b");
            bool routineWasSet = false;
            bool offTheQueue = false;
            BOOLEAN cancelRan = FALSE;
            // The cancel comes once the first write has completed, when the
            // driver goes on to take the second off the queue, after a number of
            // switch points that the seed chooses, so that it meets the start
            // anywhere in its run.
            km::Spawn([&] { Modem().Direct().Ack(MODEM_PIPE_BULK_OUT); }, "modem");
            km::Spawn(
                [&] {
                    SpinUntil([&] { return first->completed; });
                    PassSwitchPoints(seed % 12);
                    cancelRan = CancelInSteps(second, &routineWasSet, [&](PIRP irp) {
                        PLIST_ENTRY entry = &irp->Tail.Overlay.ListEntry;
                        offTheQueue = entry->Flink == entry;
                    });
                },
                "cancel");
            km::RunUntilIdle();

            EXPECT_EQ(1, first->completions);
            EXPECT_EQ(1, second->completions);
            EXPECT_EQ(STATUS_SUCCESS, first->status);
            EXPECT_EQ(0u, ext->PendingWriteBytes);
            EXPECT_EQ(0, RemoveLockHolds());
            if (cancelRan) {
                EXPECT_EQ(STATUS_CANCELLED, second->status);
                EXPECT_EQ(0u, second->information);
                EXPECT_EQ("a", Modem().Captured());
                return offTheQueue ? "taken off the queue, then lost to the cancel" : "cancelled on the queue";
            }
            // Started first: the bus sent it, or refused it as cancelled.
            EXPECT_TRUE(second->status == STATUS_SUCCESS || second->status == STATUS_CANCELLED) << second->status;
            return "started before the cancel";
        },
        3);
    EXPECT_EQ(3u, seen.size()) << Describe(seen);
}

// A piece that fails ends the write with the bus's status and the bytes sent
// before it; a pending wait hears of it as CTS, DSR and RLSD whatever it asked
// for; a waiting read keeps its total timeout.
TEST_F(WriteTest, AFailedPieceEndsTheWrite)
{
    SetReadTimeouts(0, 0, 1000);
    km::Request *read = Read(10);
    SetWaitMask(SERIAL_EV_RXCHAR);
    km::Request *wait = WaitOnMask();
    onPiece = [this](const Piece &) {
        if (pieces.size() == 2) {
            Modem().Direct().Fail(MODEM_PIPE_BULK_OUT, 1, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
        }
    };
    km::Request *write = Write(Pattern(10000, 4));
    km::RunUntilIdle();
    ASSERT_TRUE(write->completed);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, write->Reported());
    EXPECT_EQ(4096u, write->information);
    EXPECT_EQ(2u, pieces.size());
    EXPECT_EQ(0u, ext->PendingWriteBytes);
    EXPECT_EQ(1, ext->ReadErrorCount);
    EXPECT_EQ(0, ext->FailureMarker);
    ASSERT_TRUE(wait->completed);
    EXPECT_EQ(static_cast<ULONG>(SERIAL_EV_CTS | SERIAL_EV_DSR | SERIAL_EV_RLSD), EventsOf(wait));

    km::AdvanceMs(1000);
    EXPECT_TRUE(read->completed) << "the failed write stopped the read's timer";
    EXPECT_EQ(STATUS_TIMEOUT, read->status);

    // The port goes on writing.
    Modem().Captured();
    EXPECT_EQ(STATUS_SUCCESS, WriteAll("next")->status);
    EXPECT_EQ("next", Modem().Captured());
}

// A bus that refuses a piece (the modem unplugged as the piece reaches it) may
// leave its length as it was sent: the refused piece is not reported as sent.
TEST_F(WriteTest, ARefusedPieceIsNotReportedAsSent)
{
    ASSERT_EQ(STATUS_SUCCESS, Modem().CompleteInline(true));
    onPiece = [this](const Piece &) {
        if (pieces.size() == 2) {
            Modem().Direct().Unplug();
        }
    };
    km::Request *write = WriteAll(Pattern(10000, 7));
    EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED, write->status);
    EXPECT_EQ(4096u, write->information);
    EXPECT_EQ(4096u, Modem().Status().CapturedTotal);
}

// Without memory for a write's context, that write alone fails; the queue goes
// on with the next one, or is found empty.
TEST_F(WriteTest, AWriteWithoutMemoryFailsAlone)
{
    km::FailCall("ExAllocatePool", 1);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, Write("lost")->Reported());
    EXPECT_FALSE(ext->WriteActive);

    ASSERT_EQ(STATUS_SUCCESS, Modem().Nak(MODEM_PIPE_BULK_OUT));
    km::Request *a = Write("a");
    km::Request *b = Write("b");
    km::Request *c = Write("c");
    km::FailCall("IoAllocateWorkItem", 1);
    ASSERT_EQ(STATUS_SUCCESS, Modem().Ack(MODEM_PIPE_BULK_OUT));
    km::RunUntilIdle();
    EXPECT_EQ(STATUS_SUCCESS, a->status);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, b->status);
    EXPECT_EQ(0u, b->information);
    EXPECT_EQ(STATUS_SUCCESS, c->status);
    EXPECT_EQ("ac", Modem().Captured());
    EXPECT_EQ(0u, ext->PendingWriteBytes);
    EXPECT_FALSE(ext->WriteActive);
    EXPECT_EQ(0, RemoveLockHolds());
}

// A bus that completes every piece inside the call that sent it must not make
// the driver recurse, however long the write and however many wait: the
// model fails the test when a completion routine nests or the stack runs deep.
TEST_F(WriteTest, ABusThatCompletesAtOnceKeepsTheStackFlat)
{
    ASSERT_EQ(STATUS_SUCCESS, Modem().CompleteInline(true));
    ASSERT_EQ(STATUS_SUCCESS, Modem().OverReport(MODEM_PIPE_BULK_OUT, 5, 1000)); // taken at the piece's size
    const ULONG length = 3 * 1024 * 1024;
    km::Request *big = WriteAll(Pattern(length, 6));
    EXPECT_EQ(STATUS_SUCCESS, big->status);
    EXPECT_EQ(length, big->information);
    EXPECT_EQ(length / 4096, pieces.size());
    EXPECT_EQ(length, Modem().Status().CapturedTotal);

    // A thousand one-byte writes queued behind a held one, then released.
    ASSERT_EQ(STATUS_SUCCESS, Modem().Reset());
    ASSERT_EQ(STATUS_SUCCESS, Modem().CompleteInline(true));
    ASSERT_EQ(STATUS_SUCCESS, Modem().Nak(MODEM_PIPE_BULK_OUT));
    std::vector<km::Request *> writes;
    std::string expected;
    for (int i = 0; i <= 1000; ++i) {
        std::string byte(1, static_cast<char>('A' + i % 26));
        writes.push_back(Write(byte));
        expected += byte;
    }
    pieces.clear();
    size_t outOfOrder = 0;
    onPiece = [&](const Piece &piece) {
        // The held write's piece went before the count started.
        size_t index = pieces.size();
        if (index >= writes.size() || !writes[index - 1]->completed || writes[index]->irp != piece.irp) {
            ++outOfOrder;
        }
    };
    ASSERT_EQ(STATUS_SUCCESS, Modem().Ack(MODEM_PIPE_BULK_OUT));
    km::RunUntilIdle();
    EXPECT_EQ(0u, outOfOrder);
    for (km::Request *write : writes) {
        EXPECT_EQ(STATUS_SUCCESS, write->status);
    }
    EXPECT_EQ(expected, Modem().Captured());
    EXPECT_FALSE(km::HasViolation("STACK_NESTING"));
    EXPECT_FALSE(km::HasViolation("STACK_DEPTH"));
}

} // namespace
