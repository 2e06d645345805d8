// How served transfers complete. A host controller completes bulk transfers
// later, at DISPATCH_LEVEL, from its DPC, on whichever processor runs it:
// that is the default here. The DPC is a timer's with no delay, because a
// timer's DPC runs in Wine 8 too, where KeInsertQueueDpc never runs one.
// Inline completion, in the submitter's context and at its IRQL, as a bus may
// do when a transfer can end at once, is the other mode.
#include "modem_sim/sim.h"

extern "C" {

// Lock held. The timer is never set while its DPC runs (the DPC completes
// what arrives meanwhile itself), and it is cancelled before it is set again:
// Wine 8's KeSetTimer on a timer whose callback has not ended waits for that
// callback while holding the lock that the callback's end needs, so setting it
// again from its own DPC, or while its callback finishes, never returns there.
// KeCancelTimer waits without that lock.
static void ArmCompletionLocked(PMODEM Modem)
{
    if (Modem->CompletionArmed || Modem->CompletionRunning) {
        return;
    }
    Modem->CompletionArmed = TRUE;
    KeClearEvent(&Modem->CompletionIdle);
    KeCancelTimer(&Modem->CompletionTimer);
    LARGE_INTEGER due;
    due.QuadPart = 0; // already due: the DPC is queued at once
    KeSetTimer(&Modem->CompletionTimer, due, &Modem->CompletionDpc);
}

void SimCompleteList(PMODEM Modem, PLIST_ENTRY List)
{
    if (IsListEmpty(List)) {
        return;
    }
    KIRQL irql = SimLock(Modem);
    BOOLEAN later = !Modem->CompleteInline;
    if (later) {
        while (!IsListEmpty(List)) {
            InsertTailList(&Modem->Completed, RemoveHeadList(List));
        }
        ArmCompletionLocked(Modem);
    }
    SimUnlock(Modem, irql);
    while (!IsListEmpty(List)) {
        PIRP irp = CONTAINING_RECORD(RemoveHeadList(List), IRP, Tail.Overlay.ListEntry);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
}

NTSTATUS SimCompleteRequest(PMODEM Modem, PIRP Irp)
{
    NTSTATUS status = Irp->IoStatus.Status;
    LIST_ENTRY list;
    InitializeListHead(&list);
    KIRQL irql = SimLock(Modem);
    BOOLEAN later = !Modem->CompleteInline;
    SimUnlock(Modem, irql);
    if (later) {
        IoMarkIrpPending(Irp);
        status = STATUS_PENDING;
    }
    InsertTailList(&list, &Irp->Tail.Overlay.ListEntry);
    SimCompleteList(Modem, &list);
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
        while (!IsListEmpty(&modem->Completed)) {
            InsertTailList(&done, RemoveHeadList(&modem->Completed));
        }
        SimUnlock(modem, irql);
        while (!IsListEmpty(&done)) {
            PIRP irp = CONTAINING_RECORD(RemoveHeadList(&done), IRP, Tail.Overlay.ListEntry);
            IoCompleteRequest(irp, IO_NO_INCREMENT);
        }
        irql = SimLock(modem);
    }
    // Under the lock, so that a drain that sees the modem idle cannot free
    // it while this DPC still touches it.
    modem->CompletionRunning = FALSE;
    KeSetEvent(&modem->CompletionIdle, IO_NO_INCREMENT, FALSE);
    SimUnlock(modem, irql);
}

void SimDrainCompletions(PMODEM Modem)
{
    KIRQL irql = SimLock(Modem);
    BOOLEAN busy = Modem->CompletionArmed || Modem->CompletionRunning;
    SimUnlock(Modem, irql);
    if (busy) {
        KeWaitForSingleObject(&Modem->CompletionIdle, Executive, KernelMode, FALSE, nullptr);
    }
}

} // extern "C"
