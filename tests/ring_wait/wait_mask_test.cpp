// Wait-on-mask: answered at once from the event history, queued until an event
// is reported, refused while another waits, and cancelled before or after it
// is queued. Every path must leave the remove lock as it found it.
#include "tests/ring_wait/ring_wait_fixture.h"

#include <gtest/gtest.h>

namespace {

using WaitOnMaskTest = PortTest;

ULONG Reported(const km::Request *request)
{
    EXPECT_EQ(request->output.size(), sizeof(ULONG));
    ULONG mask = 0;
    if (request->output.size() == sizeof(ULONG)) {
        memcpy(&mask, request->output.data(), sizeof(ULONG));
    }
    return mask;
}

TEST_F(WaitOnMaskTest, IsAnsweredAtOnceWithTheEventHistory)
{
    // No mask: answered at once, even with nothing to report.
    km::Request *idle = NewWaitOnMask();
    km::Run([&] { EXPECT_EQ(DispatchWaitOnMask(idle), STATUS_SUCCESS); });
    EXPECT_EQ(idle->status, STATUS_SUCCESS);
    EXPECT_EQ(idle->information, sizeof(ULONG));
    EXPECT_EQ(Reported(idle), 0u);

    // Events already noted are reported and forgotten.
    ext->WaitMask = SERIAL_EV_RXCHAR | SERIAL_EV_RX80FULL;
    ext->EventHistory = SERIAL_EV_RXCHAR | SERIAL_EV_RX80FULL;
    km::Request *noted = NewWaitOnMask();
    km::Run([&] { EXPECT_EQ(DispatchWaitOnMask(noted), STATUS_SUCCESS); });
    EXPECT_EQ(Reported(noted), static_cast<ULONG>(SERIAL_EV_RXCHAR | SERIAL_EV_RX80FULL));
    EXPECT_EQ(ext->EventHistory, 0u);
    EXPECT_EQ(RemoveLockHolds(), 0);

    // With the history empty the next one waits.
    km::Request *next = NewWaitOnMask();
    km::Run([&] { EXPECT_EQ(DispatchWaitOnMask(next), STATUS_PENDING); });
    EXPECT_FALSE(next->completed);
    km::Run([&] { port.CompleteWaitRequest(ext, SERIAL_EV_RXCHAR, nullptr); });
    EXPECT_EQ(Reported(next), static_cast<ULONG>(SERIAL_EV_RXCHAR));
}

TEST_F(WaitOnMaskTest, PendingWaitIsCompletedWithTheReportedMaskAndAdmitsNoSecond)
{
    ext->WaitMask = SERIAL_EV_TXEMPTY;
    km::Request *first = NewWaitOnMask();
    km::Request *second = NewWaitOnMask();
    km::Run([&] {
        EXPECT_EQ(DispatchWaitOnMask(first), STATUS_PENDING);
        EXPECT_TRUE(IoGetCurrentIrpStackLocation(first->irp)->Control & SL_PENDING_RETURNED);
        EXPECT_EQ(DispatchWaitOnMask(second), STATUS_INVALID_PARAMETER);
    });
    EXPECT_TRUE(second->completed);
    EXPECT_EQ(second->status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(second->information, 0u);
    EXPECT_FALSE(first->completed);
    EXPECT_EQ(RemoveLockHolds(), 1);

    // Reported from a completion routine, under Lock: the mask need not be one
    // the application asked for, and the history is left alone.
    ext->EventHistory = SERIAL_EV_RXCHAR;
    // The request is taken under Lock and completed only once Lock is free.
    LIST_ENTRY done;
    InitializeListHead(&done);
    UnderLock([&] {
        port.CompleteWaitRequest(ext, SERIAL_EV_CTS | SERIAL_EV_DSR | SERIAL_EV_RLSD, &done);
        EXPECT_FALSE(first->completed);
    });
    km::Run([&] { port.CompleteTakenRequests(ext, &done); });
    EXPECT_EQ(first->completions, 1);
    EXPECT_EQ(first->status, STATUS_SUCCESS);
    EXPECT_EQ(first->information, sizeof(ULONG));
    EXPECT_EQ(Reported(first), 0x38u);
    EXPECT_EQ(ext->EventHistory, static_cast<ULONG>(SERIAL_EV_RXCHAR));
    EXPECT_TRUE(IsListEmpty(&ext->WaitQueue));
    EXPECT_EQ(RemoveLockHolds(), 0);

    // Nothing pending: reporting is a no-op.
    km::Run([&] { port.CompleteWaitRequest(ext, SERIAL_EV_TXEMPTY, nullptr); });
    EXPECT_EQ(first->completions, 1);
}

TEST_F(WaitOnMaskTest, CancelledWaitEndsWithoutDataAndFreesTheQueue)
{
    ext->WaitMask = SERIAL_EV_RXCHAR;
    km::Request *wait = NewWaitOnMask();
    km::Run([&] {
        EXPECT_EQ(DispatchWaitOnMask(wait), STATUS_PENDING);
        // The cancel routine must write the byte count, not leave it.
        wait->irp->IoStatus.Information = 0xDEAD;
        EXPECT_TRUE(km::Cancel(wait));
    });
    EXPECT_EQ(wait->completions, 1);
    EXPECT_EQ(wait->status, STATUS_CANCELLED);
    EXPECT_EQ(wait->information, 0u);
    EXPECT_TRUE(IsListEmpty(&ext->WaitQueue));
    EXPECT_EQ(RemoveLockHolds(), 0);

    // The queue takes a new wait, and a report reaches the new one only.
    km::Request *again = NewWaitOnMask();
    km::Run([&] {
        EXPECT_EQ(DispatchWaitOnMask(again), STATUS_PENDING);
        port.CompleteWaitRequest(ext, SERIAL_EV_RXCHAR, nullptr);
    });
    EXPECT_EQ(again->status, STATUS_SUCCESS);
    EXPECT_EQ(wait->completions, 1);
}

TEST_F(WaitOnMaskTest, WaitCancelledBeforeItIsQueuedIsFailedByTheDispatcher)
{
    ext->WaitMask = SERIAL_EV_RXCHAR;
    km::Request *wait = NewWaitOnMask();
    km::Run([&] {
        // No cancel routine yet: the I/O manager only marks the request.
        EXPECT_FALSE(km::Cancel(wait));
        EXPECT_EQ(DispatchWaitOnMask(wait), STATUS_PENDING);
    });
    EXPECT_EQ(wait->completions, 1);
    EXPECT_EQ(wait->status, STATUS_CANCELLED);
    EXPECT_EQ(wait->information, 0u);
    EXPECT_TRUE(IsListEmpty(&ext->WaitQueue));
    EXPECT_EQ(RemoveLockHolds(), 0);
}

} // namespace
