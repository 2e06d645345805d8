// Races of a pending wait-on-mask request, forced by the deterministic
// scheduler: each scenario runs its two sides as separate contexts under many
// seeds. Every run must end with the request completed exactly once, the
// remove lock balanced and the verifier silent; and each interleaving that
// matters must show up in at least one seed, so the race is shown to be
// exercised.
#include "tests/ring_wait/ring_wait_fixture.h"

#include <gtest/gtest.h>

#include <map>

namespace {

constexpr int kSeeds = 150;
// For the races whose every interleaving shows in about one seed in four.
constexpr int kFewerSeeds = 60;

class WaitRaceTest : public PortTest {
protected:
    // Runs `scenario` once per seed, each on a fresh kernel and port, with a
    // wait-on-mask request not yet dispatched; it returns the name of the
    // interleaving it saw. Returns how often each was seen.
    std::map<std::string, int> ForEachSeed(const std::function<std::string(km::Request *)> &scenario,
                                           int seeds = kSeeds)
    {
        std::map<std::string, int> seen;
        UnloadPortDriver();
        RunSeeds(seeds, [&](uint64_t) {
            LoadPortDriver();
            AddPort();
            ext->PortOpen = TRUE;
            ext->WaitMask = SERIAL_EV_RXCHAR;
            km::Request *wait = NewWait();
            ++seen[scenario(wait)];
            EXPECT_EQ(wait->completions, 1);
            EXPECT_TRUE(IsListEmpty(&ext->WaitQueue));
            EXPECT_EQ(RemoveLockHolds(), 0);
            UnloadPortDriver();
        });
        return seen;
    }

    // Its output buffer starts as all ones, so that an empty event set
    // written by the driver shows.
    km::Request *NewWait()
    {
        const ULONG unwritten = 0xFFFFFFFF;
        return km::NewRequest(fdo, IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_WAIT_ON_MASK, &unwritten, sizeof(unwritten),
                              sizeof(ULONG));
    }
};

// The application cancels the request while the dispatcher is still queueing it.
TEST_F(WaitRaceTest, CancelWhileTheWaitIsBeingQueued)
{
    auto seen = ForEachSeed([&](km::Request *wait) -> std::string {
        NTSTATUS returned = STATUS_UNSUCCESSFUL;
        BOOLEAN cancelRan = FALSE;
        bool routineWasSet = false;
        km::Spawn([&] { returned = DispatchWaitOnMask(wait); }, "dispatch");
        km::Spawn([&] { cancelRan = CancelInSteps(wait, &routineWasSet); }, "cancel");
        km::RunUntilIdle();

        EXPECT_EQ(returned, STATUS_PENDING);
        EXPECT_EQ(wait->status, STATUS_CANCELLED);
        EXPECT_EQ(wait->information, 0u);
        if (!cancelRan) {
            return "cancel before the routine was installed";
        }
        // Otherwise the queueing saw Cancel set and lost the routine to the
        // cancel: it must leave the request to the cancel routine.
        return routineWasSet ? "cancel after the routine was installed" : "cancel while it was being installed";
    });
    EXPECT_EQ(seen.size(), 3u) << Describe(seen);
}

// An event finds the first wait's cancellation under way and leaves it; a
// second wait is queued before that cancel routine has unlinked the first.
// The cancel routine must unlink only its own request: the second wait stays
// queued and hears of the next event.
TEST_F(WaitRaceTest, WaitQueuedAgainBeforeThePreviousCancelRoutineGetsLock)
{
    auto seen = ForEachSeed(
        [&](km::Request *first) -> std::string {
            km::Run([&] { EXPECT_EQ(DispatchWaitOnMask(first), STATUS_PENDING); });
            km::Request *second = NewWait();
            bool firstUnfinished = false;
            km::Spawn([&] { km::Cancel(first); }, "cancel");
            km::Spawn(
                [&] {
                    port.CompleteWaitRequest(ext, SERIAL_EV_RXCHAR, nullptr);
                    EXPECT_EQ(DispatchWaitOnMask(second), STATUS_PENDING);
                    firstUnfinished = !first->completed;
                },
                "report and wait again");
            km::RunUntilIdle();

            EXPECT_EQ(first->completions, 1);
            EXPECT_FALSE(second->completed);
            EXPECT_FALSE(IsListEmpty(&ext->WaitQueue)) << "the second wait was unlinked";
            km::Run([&] { port.CompleteWaitRequest(ext, SERIAL_EV_RXFLAG, nullptr); });
            EXPECT_EQ(second->status, STATUS_SUCCESS);
            if (first->status == STATUS_SUCCESS) {
                return "the event took the first wait";
            }
            return firstUnfinished ? "second wait queued while the first's cancel was under way"
                                   : "first wait cancelled before the second was queued";
        },
        kFewerSeeds);
    EXPECT_EQ(seen.count("second wait queued while the first's cancel was under way"), 1u) << Describe(seen);
    EXPECT_EQ(seen.size(), 3u) << Describe(seen);
}

} // namespace
