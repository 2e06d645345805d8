// Races of the reader and its read timer, each interleaving forced: the test
// holds a lock the driver takes next, or the DPCs, at the point that matters,
// and checks that the run got there.
#include "tests/support/modem_port_fixture.h"

#include <gtest/gtest.h>

#include <string>

namespace {

class ReaderRaceTest : public ModemPortCompletionTest {
protected:
    // Each test brings the port up itself (OpenOnce), its observer set.
    void SetUp() override
    {
        completeInline = GetParam();
        PortFixture::SetUp();
    }

    // An open port with a read whose timer (0 ms) expired as it was queued,
    // DPCs held back: the DPC for that expiry is owed.
    km::Request *ReadWithItsExpiryOwed()
    {
        SetReadTimeouts(0xFFFFFFFF, 0xFFFFFFFF, 0);
        km::HoldDpcs(true);
        return Read(10);
    }

    void OpenOnce()
    {
        BringUp();
        ASSERT_EQ(STATUS_SUCCESS, Open());
        km::RunUntilIdle();
    }

    // The URB of a request the port sends down for its bulk-in pipe, or null.
    PURB BulkInUrb(PIRP irp) const
    {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        PURB urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
        bool in =
            stack->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL && urb->UrbPipeRequest.PipeHandle == ext->BulkInPipe;
        return in ? urb : nullptr;
    }
};

// The restart is held as its transfer goes down, after it found the port
// open (the filter below the port holds it in its dispatch routine; three
// processors), while the port closes. The abort must wait for that
// submission, or the transfer would reach the bus after it and stay pending
// for ever, and the close wait for it.
class ReaderAbortRaceTest : public ReaderRaceTest {
protected:
    km::Options BootOptions() const override
    {
        km::Options options = ReaderRaceTest::BootOptions();
        options.processors = 3;
        return options;
    }
};

TEST_P(ReaderAbortRaceTest, AbortWaitsForARestartThatFoundThePortOpen)
{
    bool holdNext = false;
    bool restartHeld = false;
    bool cleanedUp = false;
    bool aborted = false;
    bool abortedWhileHeld = false;
    bool sentAfterAbort = false;
    km::Context *closing = nullptr;
    observeBelowPort = [&](PIRP irp) {
        PURB urb = BulkInUrb(irp);
        if (urb == nullptr) {
            return;
        }
        if (urb->UrbHeader.Function == URB_FUNCTION_ABORT_PIPE) {
            aborted = true;
        } else if (urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
            sentAfterAbort = sentAfterAbort || aborted;
            if (holdNext) {
                holdNext = false;
                restartHeld = ext->ReaderMutex.Owner != nullptr;
                closing = km::Spawn([&] { Close(); }, "application");
                cleanedUp = SpinUntil([&] { return !ext->PortOpen; });
                SpinUntil([&] { return aborted; });
                abortedWhileHeld = aborted;
            }
        }
    };
    OpenOnce();
    holdNext = true;
    Send("x"); // its restart sends the next transfer
    km::RunUntilIdle();
    ASSERT_TRUE(restartHeld) << "no restart came, or not inside ReaderMutex";
    EXPECT_TRUE(cleanedUp) << "the close did not run while the restart was held";
    EXPECT_FALSE(abortedWhileHeld) << "the abort did not wait for the restart's submission";
    EXPECT_TRUE(km::Finished(closing));
    EXPECT_EQ(0u, Pipe(MODEM_PIPE_BULK_IN).Pending);
    EXPECT_FALSE(sentAfterAbort) << "a transfer reached the bus after the abort";
}

// The handle is closed (after its cleanup) while a surprise removal is between
// its change of state and its drain (the test holds the cancel spin lock, which
// the drain takes first): the close of a device that is gone stops nothing, and
// the drain must still abort the reader's transfer, or wait for it for ever.
TEST_P(ReaderAbortRaceTest, ADrainAfterACloseOfTheGoneDeviceAbortsTheTransfer)
{
    OpenOnce();
    ASSERT_EQ(STATUS_SUCCESS, Cleanup());
    bool closedBetween = false;
    km::Context *removal = nullptr;
    km::Run([&] {
        KIRQL irql;
        IoAcquireCancelSpinLock(&irql);
        removal = km::Spawn([&] { km::SurpriseRemoveDevice(pdo); }, "pnp");
        SpinUntil([&] { return ext->PnpState == SurpriseRemoved; });
        // The close returns once the PnP manager is done; the port is closed
        // as soon as its close routine has run.
        km::Spawn([&] { Close(); }, "application");
        closedBetween = SpinUntil([&] { return ext->OpenCount == 0; }) && !km::Finished(removal);
        IoReleaseCancelSpinLock(irql);
    });
    km::RunUntilIdle();
    ASSERT_TRUE(closedBetween) << "the close did not land inside the removal";
    EXPECT_TRUE(km::Finished(removal)) << "the drain waits for the transfer the close left";
    EXPECT_EQ(0u, Pipe(MODEM_PIPE_BULK_IN).Pending);
}

INSTANTIATE_COMPLETION_MODES(ReaderAbortRaceTest);

// The loop waits for room in a full ring; a read makes room and has the
// restart queued while the handle closes. Whether the restart sends its
// transfer before the cleanup (the close's abort ends it) or finds the port
// closed, or the read comes too late to make room, the close returns with
// nothing pending, the loop is left ended rather than waiting, and the next
// open starts it again.
TEST_P(ReaderRaceTest, ARestartFromTheReadPathRacesTheClose)
{
    int sent = 0;
    observeBelowPort = [&](PIRP irp) {
        PURB urb = BulkInUrb(irp);
        sent += urb != nullptr && urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    };
    auto seen = ForEachSeed(
        200,
        [&](uint64_t seed) -> std::string {
            EXPECT_EQ(STATUS_SUCCESS, Modem().Generate(RING_CAPACITY + 4 * TRANSFER_SIZE));
            km::RunUntilIdle();
            EXPECT_TRUE(ext->ReaderThrottled);
            EXPECT_EQ(0u, Pipe(MODEM_PIPE_BULK_IN).Pending);
            sent = 0;
            km::Request *read = nullptr;
            NTSTATUS closed = STATUS_PENDING;
            km::Spawn([&] { read = km::ReadAsync(handle, 2 * TRANSFER_SIZE); }, "application");
            km::Spawn(
                [&, seed] {
                    PassSwitchPoints(seed * 7 % 60);
                    closed = Close();
                },
                "closer");
            km::RunUntilIdle();
            bool sentBeforeCleanup = sent != 0;
            EXPECT_EQ(STATUS_SUCCESS, closed);
            EXPECT_TRUE(read != nullptr && read->completed);
            EXPECT_EQ(0u, Pipe(MODEM_PIPE_BULK_IN).Pending);
            EXPECT_EQ(1, ext->OutstandingIo);
            EXPECT_FALSE(ext->ReaderActive);
            EXPECT_FALSE(ext->ReaderThrottled);
            EXPECT_EQ(STATUS_SUCCESS, Open());
            km::RunUntilIdle();
            EXPECT_EQ(1u, Pipe(MODEM_PIPE_BULK_IN).Pending) << "the open did not start the loop";
            if (read == nullptr || read->status != STATUS_SUCCESS) {
                return "the read came after the cleanup";
            }
            return sentBeforeCleanup ? "the restart sent, the close aborted it" : "the restart found the port closed";
        },
        3);
    EXPECT_EQ(1, seen.count("the restart sent, the close aborted it")) << Describe(seen);
    EXPECT_EQ(1, seen.count("the restart found the port closed")) << Describe(seen);
}

// A read timed at 0 ms expires as it is queued; while the DPC owed for that
// expiry is held back (its processor busy elsewhere), the read is cancelled
// and the next read is queued with a timer of its own. The owed DPC must not
// end the new read, which keeps its whole timeout, and the timer's share of
// the outstanding count must come back.
TEST_P(ReaderRaceTest, AnExpiryOwedToAnEndedReadDoesNotEndTheNext)
{
    OpenOnce();
    km::Request *first = ReadWithItsExpiryOwed();
    EXPECT_EQ(ReadTimerSet, ext->ReadTimerState) << "expired, its DPC owed";
    EXPECT_TRUE(Cancel(first));
    EXPECT_EQ(STATUS_CANCELLED, first->status);
    SetReadTimeouts(0, 0, 1000);
    km::Request *second = Read(10);
    EXPECT_EQ(ReadTimerDeferred, ext->ReadTimerState);
    km::HoldDpcs(false);
    km::RunUntilIdle();
    EXPECT_FALSE(second->completed) << "ended by the first read's expiry";
    km::AdvanceMs(999);
    EXPECT_FALSE(second->completed);
    km::AdvanceMs(1);
    EXPECT_EQ(STATUS_TIMEOUT, second->status);
    EXPECT_EQ(2, ext->OutstandingIo) << "the base count and the pending transfer";

    // With no read to time in the meantime, the owed DPC only gives the
    // timer's count back: a read that waits without a timer stays.
    km::Request *third = ReadWithItsExpiryOwed();
    EXPECT_TRUE(Cancel(third));
    EXPECT_EQ(ReadTimerStale, ext->ReadTimerState);
    EXPECT_EQ(3, ext->OutstandingIo);
    SetReadTimeouts(0, 0, 0);
    km::Request *untimed = Read(10);
    km::HoldDpcs(false);
    km::RunUntilIdle();
    EXPECT_EQ(ReadTimerIdle, ext->ReadTimerState);
    EXPECT_FALSE(untimed->completed) << "ended by a stale expiry";
    EXPECT_TRUE(Cancel(untimed));
    EXPECT_EQ(2, ext->OutstandingIo);

    // The read whose timer waits for the owed DPC is cancelled too: that DPC
    // still gives back the timer's one count, and close does not wait for ever.
    km::Request *fourth = ReadWithItsExpiryOwed();
    EXPECT_TRUE(Cancel(fourth));
    SetReadTimeouts(0, 0, 1000);
    km::Request *deferred = Read(10);
    EXPECT_EQ(ReadTimerDeferred, ext->ReadTimerState);
    EXPECT_TRUE(Cancel(deferred));
    EXPECT_EQ(ReadTimerStale, ext->ReadTimerState);
    EXPECT_EQ(3, ext->OutstandingIo);
    km::HoldDpcs(false);
    km::RunUntilIdle();
    EXPECT_EQ(ReadTimerIdle, ext->ReadTimerState);
    EXPECT_EQ(2, ext->OutstandingIo);
    EXPECT_EQ(STATUS_SUCCESS, Close());
}

// Close (like removal) waits for a DPC owed for the read timer: Windows 2000
// cannot flush a queued DPC, and the device must outlive it.
TEST_P(ReaderRaceTest, CloseWaitsForAnOwedTimerDpc)
{
    OpenOnce();
    km::Request *read = ReadWithItsExpiryOwed();
    km::Context *closing = km::Spawn([&] { Close(); }, "application");
    km::RunUntilIdle();
    EXPECT_EQ(STATUS_CANCELLED, read->status);
    EXPECT_FALSE(km::Finished(closing)) << "closed with the timer's DPC still owed";
    km::HoldDpcs(false);
    km::RunUntilIdle();
    EXPECT_TRUE(km::Finished(closing));
    EXPECT_EQ(1, ext->OutstandingIo);
}

INSTANTIATE_COMPLETION_MODES(ReaderRaceTest);

} // namespace
