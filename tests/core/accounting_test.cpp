// The outstanding-request counter.
#include "tests/support/port_fixture.h"

#include <gtest/gtest.h>

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
    // Until a read has crossed zero once, whatever the first seed.
    RunSeeds(
        200,
        [&](uint64_t) {
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
        },
        [&] { return crossings > 0; });
    EXPECT_GT(crossings, 0) << "no seed let the read cross zero inside the drain";
}
