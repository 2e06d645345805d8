// Wait-on-mask: answered at once from the event history, queued until an event
// is reported, and cancelled before or after it is queued. Every path must
// leave the remove lock as it found it.
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

// Events already noted are reported at once and forgotten; with the history
// empty the next request waits.
TEST_F(WaitOnMaskTest, IsAnsweredAtOnceWithTheEventHistory)
{
    ext->WaitMask = SERIAL_EV_RXCHAR | SERIAL_EV_RX80FULL;
    ext->EventHistory = SERIAL_EV_RXCHAR | SERIAL_EV_RX80FULL;
    km::Request *noted = NewWaitOnMask();
    km::Run([&] { EXPECT_EQ(DispatchWaitOnMask(noted), STATUS_SUCCESS); });
    EXPECT_EQ(Reported(noted), static_cast<ULONG>(SERIAL_EV_RXCHAR | SERIAL_EV_RX80FULL));
    EXPECT_EQ(ext->EventHistory, 0u);
    EXPECT_EQ(RemoveLockHolds(), 0);
    km::Request *next = NewWaitOnMask();
    km::Run([&] { EXPECT_EQ(DispatchWaitOnMask(next), STATUS_PENDING); });
    EXPECT_FALSE(next->completed);
    km::Run([&] { port.CompleteWaitRequest(ext, SERIAL_EV_RXCHAR, nullptr); });
    EXPECT_EQ(Reported(next), static_cast<ULONG>(SERIAL_EV_RXCHAR));

    // Under Lock: while another context holds it, the history is not taken.
    ext->EventHistory = SERIAL_EV_RXCHAR;
    UnderLock([&] {
        km::Spawn([&] { DispatchWaitOnMask(NewWaitOnMask()); }, "dispatch");
        PassSwitchPoints(100);
        EXPECT_EQ(ext->EventHistory, static_cast<ULONG>(SERIAL_EV_RXCHAR));
    });
}

// Cancelled before the routine is in place (the I/O manager only marks it) or
// while it waits, the request ends without data; the queue takes a new wait,
// and a report reaches the new one only.
TEST_F(WaitOnMaskTest, CancelledWaitEndsWithoutDataAndFreesTheQueue)
{
    ext->WaitMask = SERIAL_EV_RXCHAR;
    km::Request *early = NewWaitOnMask();
    km::Request *wait = NewWaitOnMask();
    km::Run([&] {
        EXPECT_FALSE(km::Cancel(early));
        EXPECT_EQ(DispatchWaitOnMask(early), STATUS_PENDING);
        EXPECT_EQ(DispatchWaitOnMask(wait), STATUS_PENDING);
        // The cancel routine must write the byte count, not leave it.
        wait->irp->IoStatus.Information = 0xDEAD;
        EXPECT_TRUE(km::Cancel(wait));
    });
    for (km::Request *cancelled : {early, wait}) {
        EXPECT_EQ(cancelled->completions, 1);
        EXPECT_EQ(cancelled->status, STATUS_CANCELLED);
        EXPECT_EQ(cancelled->information, 0u);
    }
    EXPECT_TRUE(IsListEmpty(&ext->WaitQueue));
    EXPECT_EQ(RemoveLockHolds(), 0);

    km::Request *again = NewWaitOnMask();
    km::Run([&] {
        EXPECT_EQ(DispatchWaitOnMask(again), STATUS_PENDING);
        port.CompleteWaitRequest(ext, SERIAL_EV_RXCHAR, nullptr);
    });
    EXPECT_EQ(again->status, STATUS_SUCCESS);
    EXPECT_EQ(wait->completions, 1);
}

} // namespace
