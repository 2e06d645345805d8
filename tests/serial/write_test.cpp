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
// carried by the write itself; an empty write sends nothing.
TEST_F(WriteTest, PiecesReachTheModemIntactAndInOrder)
{
    struct Case {
        ULONG length;
        std::vector<ULONG> pieces;
    };
    const Case cases[] = {{0, {}}, {4096, {4096}}, {4097, {4096, 1}}, {10000, {4096, 4096, 1808}}};
    std::string all;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.length);
        pieces.clear();
        std::string data = Pattern(c.length, c.length);
        km::Request *write = WriteAll(data);
        EXPECT_EQ(STATUS_SUCCESS, write->Reported());
        EXPECT_EQ(c.length, write->information);
        EXPECT_EQ(c.pieces, PieceLengths());
        for (const Piece &piece : pieces) {
            EXPECT_EQ(write->irp, piece.irp) << "a piece on an IRP of its own";
        }
        all += data;
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

// The transmit queue running dry is reported to a pending wait asking for it,
// and is not remembered for a later one.
TEST_F(WriteTest, TransmitEmptyReachesOnlyAPendingWait)
{
    SetWaitMask(SERIAL_EV_TXEMPTY);
    km::Request *wait = WaitOnMask();
    EXPECT_FALSE(wait->completed);
    WriteAll("x");
    ASSERT_TRUE(wait->completed);
    EXPECT_EQ(static_cast<ULONG>(SERIAL_EV_TXEMPTY), EventsOf(wait));

    WriteAll("y");
    km::Request *later = WaitOnMask();
    EXPECT_FALSE(later->completed) << "an empty queue was remembered";
}

// Cleanup does not touch the write on the bus: when its piece finishes, the
// write ends successfully with the bytes sent so far, and no further piece
// goes. All of its length leaves the output-queue count.
TEST_F(WriteTest, CleanupStopsALongWriteAfterThePieceOnTheBus)
{
    NakAfter(1);
    km::Request *write = Write(Pattern(10000, 2));
    km::RunUntilIdle();
    ASSERT_EQ(2u, pieces.size());
    ASSERT_EQ(STATUS_SUCCESS, Cleanup());
    EXPECT_FALSE(write->completed);
    ASSERT_EQ(STATUS_SUCCESS, Modem().Ack(MODEM_PIPE_BULK_OUT));
    km::RunUntilIdle();
    ASSERT_TRUE(write->completed);
    EXPECT_EQ(STATUS_SUCCESS, write->status);
    EXPECT_EQ(8192u, write->information);
    EXPECT_EQ(2u, pieces.size());
    EXPECT_EQ(0u, ext->PendingWriteBytes);
    EXPECT_EQ(8192u, ext->PerfStats.TransmittedCount);

    // Later writes on the cleaned-up handle are refused.
    km::Request *late = Write("late");
    EXPECT_EQ(STATUS_CANCELLED, late->Reported());
    EXPECT_EQ(2u, pieces.size());
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
    EXPECT_EQ(failures + 1, ext->ReadErrorCount) << "only the reader's aborted transfer counts after cleanup";
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
    auto seen = ForEachSeed(60, [&](uint64_t seed) -> std::string {
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
        int delay = static_cast<int>(seed % 12);
        km::Spawn([&] { Modem().Direct().Ack(MODEM_PIPE_BULK_OUT); }, "modem");
        km::Spawn(
            [&] {
                LONG spin = 0;
                for (int i = 0; i < 1000 && !first->completed; ++i) {
                    InterlockedIncrement(&spin);
                }
                for (int i = 0; i < delay; ++i) {
                    InterlockedIncrement(&spin);
                }
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
    });
    EXPECT_EQ(3u, seen.size()) << Describe(seen);
}

// A piece that fails ends the write with the bus's status and the bytes sent
// before it; a pending wait hears of it as CTS, DSR and RLSD whatever it asked
// for; a waiting read's total timeout stops, and the read waits for data.
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

    km::AdvanceMs(5000);
    EXPECT_FALSE(read->completed) << "the read's timer still ran";
    Send("z");
    EXPECT_EQ("z", Bytes(read));

    // The port goes on writing.
    Modem().Captured();
    EXPECT_EQ(STATUS_SUCCESS, WriteAll("next")->status);
    EXPECT_EQ("next", Modem().Captured());
}

// Failed writes count toward the rule that marks the device failed, together
// with failed reads: the 21st failure since the open ends the port's use.
TEST_F(WriteTest, FailedWritesCountTowardTheDeviceFailure)
{
    ASSERT_EQ(STATUS_SUCCESS, Modem().Fail(MODEM_PIPE_BULK_IN, 10, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID));
    km::RunUntilIdle();
    ASSERT_EQ(10, ext->ReadErrorCount);
    ASSERT_EQ(STATUS_SUCCESS, Modem().Fail(MODEM_PIPE_BULK_OUT, 11, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID));
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(STATUS_UNSUCCESSFUL, WriteAll("x")->Reported());
    }
    EXPECT_EQ(20, ext->ReadErrorCount);
    EXPECT_EQ(0, ext->FailureMarker);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, WriteAll("x")->Reported());
    EXPECT_EQ(FAILURE_MARKER_FAILED, ext->FailureMarker);

    UnderLock([&] { ext->EventHistory = SERIAL_EV_RXCHAR; });
    km::Request *refused = Write("y");
    EXPECT_EQ(STATUS_DELETE_PENDING, refused->Reported());
    EXPECT_EQ(0u, refused->information);
    EXPECT_EQ(0u, ext->EventHistory);
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

// A bus that moves only part of a piece gets the rest in the next one; one
// that moves nothing ends the write with what was sent.
TEST_F(WriteTest, ShortPiecesAreFollowedByTheRest)
{
    ASSERT_EQ(STATUS_SUCCESS, Modem().Short(MODEM_PIPE_BULK_OUT, 1, 1000));
    std::string data = Pattern(5000, 5);
    km::Request *write = WriteAll(data);
    EXPECT_EQ(STATUS_SUCCESS, write->status);
    EXPECT_EQ(5000u, write->information);
    EXPECT_EQ((std::vector<ULONG>{4096, 4000}), PieceLengths());
    EXPECT_EQ(data, Modem().Captured());

    ASSERT_EQ(STATUS_SUCCESS, Modem().Short(MODEM_PIPE_BULK_OUT, 1, 0));
    write = WriteAll("nothing");
    EXPECT_EQ(STATUS_SUCCESS, write->status);
    EXPECT_EQ(0u, write->information);
    EXPECT_EQ(0u, ext->PendingWriteBytes);
}

// A bus that completes every piece inside the call that sent it must not make
// the driver recurse, however long the write and however many wait: the
// model fails the test when a completion routine nests or the stack runs deep.
TEST_F(WriteTest, ABusThatCompletesAtOnceKeepsTheStackFlat)
{
    ASSERT_EQ(STATUS_SUCCESS, Modem().CompleteInline(true));
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
