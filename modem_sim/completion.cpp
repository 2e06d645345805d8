// How served transfers complete. A host controller completes bulk transfers
// later, at DISPATCH_LEVEL, from its DPC, on whichever processor runs it:
// that is the default here. The DPC is a timer's with no delay, because a
// timer's DPC runs in Wine 8 too, where KeInsertQueueDpc never runs one.
// Inline completion, in the submitter's context and at its IRQL, as a bus may
// do when a transfer can end at once, is the other mode.
//
// The timer is armed once per burst: whatever is handed off while it is set,
// or while its DPC runs, is completed by that DPC.
#include "modem_sim/sim.h"

extern "C" {

void SimInitializeAfter(PSIM_AFTER After)
{
    InitializeListHead(&After->Done);
    After->ArmCompletion = FALSE;
    After->ArmRate = FALSE;
    After->InRateDpc = FALSE;
}

static void AppendList(PLIST_ENTRY To, PLIST_ENTRY From)
{
    while (!IsListEmpty(From)) {
        InsertTailList(To, RemoveHeadList(From));
    }
}

void SimHandOffLocked(PMODEM Modem, PSIM_AFTER After)
{
    if (Modem->CompleteInline || IsListEmpty(&After->Done)) {
        return;
    }
    AppendList(&Modem->Completed, &After->Done);
    if (!Modem->CompletionArmed && !Modem->CompletionRunning) {
        Modem->CompletionArmed = TRUE;
        After->ArmCompletion = TRUE;
    }
}

// The timer is never set while its DPC runs (the DPC completes what arrives
// meanwhile itself), and it is cancelled before it is set again: Wine 8's
// KeSetTimer on a timer whose callback has not ended waits for that callback
// while holding the lock that the callback's end needs, so setting it again
// from its own DPC, or while its callback finishes, never returns there.
// KeCancelTimer waits without that lock. The DPC cannot run before this
// caller sets the timer, so a drain, which waits for it, cannot free the
// modem under this caller.
void SimAfterUnlock(PMODEM Modem, PSIM_AFTER After)
{
    if (After->ArmRate) {
        SimSetRateTimer(Modem, After->InRateDpc);
    }
    if (After->ArmCompletion) {
        KeCancelTimer(&Modem->CompletionTimer);
        LARGE_INTEGER due;
        due.QuadPart = 0; // already due: the DPC is queued at once
        KeSetTimer(&Modem->CompletionTimer, due, &Modem->CompletionDpc);
    }
    while (!IsListEmpty(&After->Done)) {
        PIRP irp = CONTAINING_RECORD(RemoveHeadList(&After->Done), IRP, Tail.Overlay.ListEntry);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
}

NTSTATUS SimCompleteRequest(PMODEM Modem, PIRP Irp)
{
    NTSTATUS status = Irp->IoStatus.Status;
    SIM_AFTER after;
    SimInitializeAfter(&after);
    KIRQL irql = SimLock(Modem);
    if (!Modem->CompleteInline) {
        IoMarkIrpPending(Irp); // before the DPC can see it
        status = STATUS_PENDING;
    }
    InsertTailList(&after.Done, &Irp->Tail.Overlay.ListEntry);
    SimHandOffLocked(Modem, &after);
    SimUnlock(Modem, irql);
    SimAfterUnlock(Modem, &after);
    return status;
}

VOID NTAPI SimCompletionDpc(PKDPC Dpc, PVOID Context, PVOID Argument1, PVOID Argument2)
{
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(Argument1);
    UNREFERENCED_PARAMETER(Argument2);
    PMODEM modem = (PMODEM)Context;
    LIST_ENTRY done;
    InitializeListHead(&done);
    KIRQL irql = SimLock(modem);
    modem->CompletionArmed = FALSE;
    modem->CompletionRunning = TRUE;
    // What completing these brings (a piece that follows a piece) is
    // completed here too, before the DPC ends.
    while (!IsListEmpty(&modem->Completed)) {
        AppendList(&done, &modem->Completed);
        SimUnlock(modem, irql);
        while (!IsListEmpty(&done)) {
            PIRP irp = CONTAINING_RECORD(RemoveHeadList(&done), IRP, Tail.Overlay.ListEntry);
            IoCompleteRequest(irp, IO_NO_INCREMENT);
        }
        irql = SimLock(modem);
    }
    modem->CompletionRunning = FALSE;
    BOOLEAN wake = modem->DrainWaiting;
    modem->DrainWaiting = FALSE;
    SimUnlock(modem, irql);
    if (wake) {
        // The DPC's last touch of the modem: once woken, the drain may free it.
        KeSetEvent(&modem->CompletionIdle, IO_NO_INCREMENT, FALSE);
    }
}

// Drains run one at a time, from the PnP requests of the child and the bus.
void SimDrainCompletions(PMODEM Modem)
{
    for (;;) {
        KIRQL irql = SimLock(Modem);
        BOOLEAN busy = Modem->CompletionArmed || Modem->CompletionRunning;
        Modem->DrainWaiting = busy;
        SimUnlock(Modem, irql);
        if (!busy) {
            break;
        }
        KeWaitForSingleObject(&Modem->CompletionIdle, Executive, KernelMode, FALSE, nullptr);
    }
}

} // extern "C"
