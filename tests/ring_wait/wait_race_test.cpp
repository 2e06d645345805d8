// Races of a pending wait-on-mask request, forced by the deterministic
// scheduler: each scenario runs its two sides as separate contexts under many
// seeds. Every run must end with the request completed exactly once, the
// remove lock balanced and the verifier silent; and each interleaving that
// matters must show up in at least one seed, so the race is shown to be
// exercised.
#include "tests/ring_wait/ring_wait_fixture.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>

namespace {

constexpr int kSeeds = 150;

// A wait-on-mask request that stays allocated until the test frees it, as the
// I/O manager keeps a request alive while it cancels it (km::Cancel of a
// request that completes while IoCancelIrp waits for the cancel spin lock
// would touch a freed IRP). Its completion is caught by a routine in the stack
// location above the port's.
struct HeldWait {
    PIRP irp = nullptr;
    ULONG buffer = 0xFFFFFFFF;
    int completions = 0;
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
};

NTSTATUS NTAPI CatchCompletion(PDEVICE_OBJECT, PIRP Irp, PVOID Context)
{
    auto *held = static_cast<HeldWait *>(Context);
    ++held->completions;
    held->status = Irp->IoStatus.Status;
    held->information = Irp->IoStatus.Information;
    return STATUS_MORE_PROCESSING_REQUIRED;
}

class WaitRaceTest : public PortTest {
protected:
    // Runs `scenario` once per seed, each on a fresh kernel and port; it
    // returns the name of the interleaving it saw. Returns how often each was
    // seen.
    std::map<std::string, int> ForEachSeed(const std::function<std::string(HeldWait &)> &scenario)
    {
        std::map<std::string, int> seen;
        UnloadPortDriver();
        RunSeeds(kSeeds, [&](uint64_t) {
            LoadPortDriver();
            AddPort();
            ext->WaitMask = SERIAL_EV_RXCHAR;
            HeldWait wait;
            km::Run([&] { wait.irp = NewHeldIrp(&wait); });
            ++seen[scenario(wait)];
            EXPECT_EQ(wait.completions, 1);
            EXPECT_TRUE(IsListEmpty(&ext->WaitQueue));
            EXPECT_EQ(RemoveLockHolds(), 0);
            km::Run([&] { IoFreeIrp(wait.irp); });
            UnloadPortDriver();
        });
        return seen;
    }

    PIRP NewHeldIrp(HeldWait *held)
    {
        PIRP irp = IoAllocateIrp(fdo->StackSize, FALSE);
        IoSetCompletionRoutine(irp, CatchCompletion, held, TRUE, TRUE, TRUE);
        irp->CurrentLocation--;
        irp->Tail.Overlay.CurrentStackLocation--;
        PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
        location->MajorFunction = IRP_MJ_DEVICE_CONTROL;
        location->DeviceObject = fdo;
        location->Parameters.DeviceIoControl.IoControlCode = IOCTL_SERIAL_WAIT_ON_MASK;
        location->Parameters.DeviceIoControl.OutputBufferLength = sizeof(ULONG);
        irp->AssociatedIrp.SystemBuffer = &held->buffer;
        irp->IoStatus.Status = STATUS_SUCCESS;
        return irp;
    }

    static std::string Describe(const std::map<std::string, int> &seen)
    {
        std::ostringstream out;
        for (const auto &[name, count] : seen) {
            out << name << ": " << count << "; ";
        }
        return out.str();
    }
};

// What IoCancelIrp does, step by step, with the window of a real processor
// between setting Cancel and taking the routine (the exchange is a switch
// point). Tells whether the routine was already in place when Cancel was set.
BOOLEAN CancelInSteps(PIRP irp, bool *routineWasSet)
{
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    irp->Cancel = TRUE;
    *routineWasSet = irp->CancelRoutine != nullptr;
    PDRIVER_CANCEL routine = IoSetCancelRoutine(irp, nullptr);
    if (routine == nullptr) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    irp->CancelIrql = irql;
    routine(IoGetCurrentIrpStackLocation(irp)->DeviceObject, irp);
    return TRUE;
}

// The application cancels the request while the dispatcher is still queueing it.
TEST_F(WaitRaceTest, CancelWhileTheWaitIsBeingQueued)
{
    auto seen = ForEachSeed([&](HeldWait &wait) -> std::string {
        NTSTATUS returned = STATUS_UNSUCCESSFUL;
        BOOLEAN cancelRan = FALSE;
        bool routineWasSet = false;
        km::Spawn([&] { returned = DispatchWaitOnMask(wait.irp); }, "dispatch");
        km::Spawn([&] { cancelRan = CancelInSteps(wait.irp, &routineWasSet); }, "cancel");
        km::RunUntilIdle();

        EXPECT_EQ(returned, STATUS_PENDING);
        EXPECT_EQ(wait.status, STATUS_CANCELLED);
        EXPECT_EQ(wait.information, 0u);
        if (!cancelRan) {
            return "cancel before the routine was installed";
        }
        // Otherwise the queueing saw Cancel set and lost the routine to the
        // cancel: it must leave the request to the cancel routine.
        return routineWasSet ? "cancel after the routine was installed" : "cancel while it was being installed";
    });
    EXPECT_EQ(seen.size(), 3u) << Describe(seen);
}

// Cleanup's CancelQueue and the application's cancel go for the same request.
TEST_F(WaitRaceTest, CancelWhileCancelQueueTakesTheWait)
{
    auto seen = ForEachSeed([&](HeldWait &wait) -> std::string {
        km::Run([&] { EXPECT_EQ(DispatchWaitOnMask(wait.irp), STATUS_PENDING); });
        BOOLEAN cancelRan = FALSE;
        km::Spawn([&] { port.CancelQueue(fdo, &ext->WaitQueue); }, "cancel queue");
        km::Spawn([&] { cancelRan = IoCancelIrp(wait.irp); }, "cancel");
        km::RunUntilIdle();

        // Whoever loses finds no routine; the request still ends once.
        EXPECT_EQ(wait.status, STATUS_CANCELLED);
        return cancelRan ? "the I/O manager's cancel took it" : "CancelQueue took it";
    });
    EXPECT_EQ(seen.size(), 2u) << Describe(seen);
}

// An event is reported (a new wait mask) while the application cancels.
TEST_F(WaitRaceTest, CancelWhileAnEventCompletesTheWait)
{
    auto seen = ForEachSeed([&](HeldWait &wait) -> std::string {
        km::Run([&] { EXPECT_EQ(DispatchWaitOnMask(wait.irp), STATUS_PENDING); });
        BOOLEAN cancelRan = FALSE;
        km::Spawn([&] { port.CompleteWaitRequest(ext, 0, FALSE); }, "report");
        km::Spawn([&] { cancelRan = IoCancelIrp(wait.irp); }, "cancel");
        km::RunUntilIdle();

        if (wait.status == STATUS_SUCCESS) {
            EXPECT_EQ(wait.information, sizeof(ULONG));
            EXPECT_EQ(wait.buffer, 0u);
            EXPECT_FALSE(cancelRan);
            return "reported";
        }
        EXPECT_EQ(wait.status, STATUS_CANCELLED);
        EXPECT_TRUE(cancelRan);
        return "cancelled";
    });
    EXPECT_EQ(seen.size(), 2u) << Describe(seen);
}

} // namespace
