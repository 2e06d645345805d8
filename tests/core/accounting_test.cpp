// The outstanding-request counter and the completion helpers.
#include "tests/support/port_fixture.h"

#include <gtest/gtest.h>

#include <cstring>

using CoreTest = PortFixture;

TEST_F(CoreTest, WaitForIdleWithNothingCountedReturnsAtOnceAndKeepsTheBaseCount)
{
    LoadPortDriver();
    PDEVICE_OBJECT fdo = AddPort();
    PDEVICE_EXTENSION ext = GetExtension(fdo);
    // A device removed before its first open: nothing was ever counted.
    km::Run([&] {
        port.WaitForIdle(fdo);
        EXPECT_EQ(ext->OutstandingIo, 1);
        port.WaitForIdle(fdo);
        EXPECT_EQ(ext->OutstandingIo, 1);
        EXPECT_EQ(KeReadStateEvent(&ext->IdleEvent), 0);
    });
}

// A close's drain and a surprise removal's at the same time: each must see
// the items end and return, and the base count must come back once.
TEST_F(CoreTest, TwoDrainsAtOnceBothEndAndRestoreOneBaseCount)
{
    LoadPortDriver();
    PDEVICE_OBJECT fdo = AddPort();
    PDEVICE_EXTENSION ext = GetExtension(fdo);
    int drained = 0;
    km::Run([&] {
        port.IncrementIo(ext);
        port.IncrementIo(ext);
    });
    km::Spawn([&] { port.WaitForIdle(fdo), ++drained; }, "close");
    km::Spawn([&] { port.WaitForIdle(fdo), ++drained; }, "surprise removal");
    // Both drains are waiting before the items end, one after the other.
    km::RunUntilIdle();
    km::Run([&] { port.DecrementIo(ext); });
    km::RunUntilIdle();
    EXPECT_EQ(drained, 0) << "a drain returned with an item still in flight";
    km::Run([&] { port.DecrementIo(ext); });
    km::RunUntilIdle();
    EXPECT_EQ(drained, 2);
    EXPECT_EQ(ext->OutstandingIo, 1);
    EXPECT_FALSE(km::HasViolation("DEADLOCK"));
}

// A read refused during a drain counts itself in and out. Crossing zero while
// the base count is away, it sets the event; the drain clears it as the base
// count comes back, or the next drain would not wait for its items.
TEST_F(CoreTest, AZeroCrossingInsideADrainLeavesTheEventClear)
{
    int crossings = 0;
    RunSeeds(40, [&](uint64_t) {
        LoadPortDriver();
        PDEVICE_OBJECT fdo = AddPort();
        PDEVICE_EXTENSION ext = GetExtension(fdo);
        km::Spawn([&] { port.WaitForIdle(fdo); }, "drain");
        km::Spawn(
            [&] {
                crossings += port.IncrementIo(ext) == 1;
                port.DecrementIo(ext);
            },
            "refused read");
        km::RunUntilIdle();
        EXPECT_EQ(ext->OutstandingIo, 1);
        EXPECT_EQ(KeReadStateEvent(&ext->IdleEvent), 0);
        UnloadPortDriver();
    });
    EXPECT_GT(crossings, 0) << "no seed let the read cross zero inside the drain";
}

TEST_F(CoreTest, WaitForIdleReturnsOnlyAfterTheLastCountedItemEnds)
{
    LoadPortDriver();
    PDEVICE_OBJECT fdo = AddPort();
    PDEVICE_EXTENSION ext = GetExtension(fdo);
    bool itemEnded = false;
    bool waited = false;
    km::Run([&] {
        // As an open leaves it, with one transfer in flight.
        KeInitializeEvent(&ext->IdleEvent, SynchronizationEvent, FALSE);
        port.IncrementIo(ext);
        EXPECT_EQ(ext->OutstandingIo, 2);
        // The transfer ends later, from another context; the delay makes sure
        // the waiter gets there first.
        km::Spawn(
            [&] {
                LARGE_INTEGER delay;
                delay.QuadPart = -10 * 10000;
                KeDelayExecutionThread(KernelMode, FALSE, &delay);
                itemEnded = true;
                port.DecrementIo(ext);
            },
            "transfer completion");
        port.WaitForIdle(fdo);
        EXPECT_TRUE(itemEnded);
        EXPECT_EQ(ext->OutstandingIo, 1);
        waited = true;
    });
    EXPECT_TRUE(waited);
}

TEST_F(CoreTest, CompletionHelpersDifferOnlyInTheByteCount)
{
    LoadPortDriver();
    PDEVICE_OBJECT fdo = AddPort();
    km::Request *keeps = km::NewRequest(fdo, IRP_MJ_FLUSH_BUFFERS);
    km::Request *sets = km::NewRequest(fdo, IRP_MJ_FLUSH_BUFFERS);
    km::Run([&] {
        keeps->irp->IoStatus.Information = 7;
        EXPECT_EQ(port.CompleteRequest(keeps->irp, STATUS_CANCELLED), STATUS_CANCELLED);
        sets->irp->IoStatus.Information = 7;
        EXPECT_EQ(port.CompleteRequestWithInformation(sets->irp, STATUS_TIMEOUT, 2), STATUS_TIMEOUT);
    });
    EXPECT_EQ(keeps->completions, 1);
    EXPECT_EQ(keeps->status, STATUS_CANCELLED);
    EXPECT_EQ(keeps->information, 7u);
    EXPECT_EQ(sets->completions, 1);
    EXPECT_EQ(sets->status, STATUS_TIMEOUT);
    EXPECT_EQ(sets->information, 2u);
}
