// Wait-on-mask: the one pending request through which serial events reach the
// application.
//
// WaitQueue holds at most one request, with WaitCancelRoutine as its cancel
// routine; it is owned by whoever takes that routine away (request_queue.cpp).
#include "driver/core/core.h"
#include "driver/serial/serial.h"

static PLIST_ENTRY EntryOf(PIRP Irp)
{
    return &Irp->Tail.Overlay.ListEntry;
}

// Called after the output size has been checked. Answers the request from
// EventHistory, or queues it when there is nothing to report yet and the
// application asked for events. The port is tested again, as reads and
// writes test it, in the hold of Lock that queues: a wait admitted just before
// a cleanup (or the device's failure) and queued after it would find nothing
// left to end it, and would keep the handle's close from ever coming.
NTSTATUS WaitOnMask(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    KIRQL irql;
    KeAcquireSpinLock(&Extension->Lock, &irql);
    NTSTATUS refused = CheckPortServes(Extension);
    if (!NT_SUCCESS(refused)) {
        KeReleaseSpinLock(&Extension->Lock, irql);
        return refused;
    }
    if (Extension->EventHistory == 0 && Extension->WaitMask != 0) {
        Irp->IoStatus.Status = STATUS_PENDING;
        NTSTATUS status = QueueWaitRequest(Extension, Irp, TRUE);
        KeReleaseSpinLock(&Extension->Lock, irql);
        return status;
    }
    *static_cast<PULONG>(Irp->AssociatedIrp.SystemBuffer) = Extension->EventHistory;
    Extension->EventHistory = 0;
    Irp->IoStatus.Information = sizeof(ULONG);
    KeReleaseSpinLock(&Extension->Lock, irql);
    return STATUS_SUCCESS;
}

// Lock held.
static NTSTATUS LinkWaitRequest(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    if (!IsListEmpty(&Extension->WaitQueue)) {
        return STATUS_INVALID_PARAMETER;
    }
    return LinkCancelableRequest(&Extension->WaitQueue, Irp, WaitCancelRoutine);
}

NTSTATUS QueueWaitRequest(PDEVICE_EXTENSION Extension, PIRP Irp, BOOLEAN LockHeld)
{
    KIRQL irql = DISPATCH_LEVEL;
    if (!LockHeld) {
        KeAcquireSpinLock(&Extension->Lock, &irql);
    }
    NTSTATUS status = LinkWaitRequest(Extension, Irp);
    if (!LockHeld) {
        KeReleaseSpinLock(&Extension->Lock, irql);
    }
    return status;
}

PIRP DequeueWaitRequest(PDEVICE_EXTENSION Extension, BOOLEAN LockHeld)
{
    KIRQL irql = DISPATCH_LEVEL;
    if (!LockHeld) {
        KeAcquireSpinLock(&Extension->Lock, &irql);
    }
    PIRP irp = TakeCancelableRequest(&Extension->WaitQueue);
    if (!LockHeld) {
        KeReleaseSpinLock(&Extension->Lock, irql);
    }
    return irp;
}

// The caller has decided which events to report; neither WaitMask nor
// EventHistory is looked at here. A caller holding Lock passes Done: the
// request is moved there, to be completed once Lock is released. Without Done
// the routine takes Lock itself and completes the request after releasing it.
VOID CompleteWaitRequest(PDEVICE_EXTENSION Extension, ULONG Events, PLIST_ENTRY Done)
{
    LIST_ENTRY own;
    PLIST_ENTRY list = Done;
    KIRQL irql = DISPATCH_LEVEL;
    if (Done == NULL) {
        InitializeListHead(&own);
        list = &own;
        KeAcquireSpinLock(&Extension->Lock, &irql);
    }
    PIRP irp = TakeCancelableRequest(&Extension->WaitQueue);
    if (irp != NULL) {
        *static_cast<PULONG>(irp->AssociatedIrp.SystemBuffer) = Events;
        irp->IoStatus.Status = STATUS_SUCCESS;
        irp->IoStatus.Information = sizeof(ULONG);
        InsertTailList(list, EntryOf(irp));
    }
    if (Done == NULL) {
        KeReleaseSpinLock(&Extension->Lock, irql);
        CompleteTakenRequests(Extension, &own);
    }
}

// Lock held. Events that a standard port records as they happen (the
// transmit queue running empty, a modem line changing): those the mask asks
// for are noted in EventHistory, so that a wait issued later is answered at
// once, and a pending wait hears of them now, with the history; the events it
// was told of leave the history.
VOID NoteEvents(PDEVICE_EXTENSION Extension, ULONG Events, PLIST_ENTRY Done)
{
    Events &= Extension->WaitMask;
    if (Events == 0) {
        return;
    }
    Extension->EventHistory |= Events;
    PIRP irp = TakeCancelableRequest(&Extension->WaitQueue);
    if (irp != NULL) {
        *static_cast<PULONG>(irp->AssociatedIrp.SystemBuffer) = Extension->EventHistory;
        irp->IoStatus.Status = STATUS_SUCCESS;
        irp->IoStatus.Information = sizeof(ULONG);
        InsertTailList(Done, EntryOf(irp));
        Extension->EventHistory &= ~Events;
    }
}

// Lock held. The pending wait, if any, ends with Status and no event.
VOID EndPendingWait(PDEVICE_EXTENSION Extension, NTSTATUS Status, PLIST_ENTRY Done)
{
    PIRP irp = TakeCancelableRequest(&Extension->WaitQueue);
    if (irp != NULL) {
        irp->IoStatus.Status = Status;
        irp->IoStatus.Information = 0;
        InsertTailList(Done, EntryOf(irp));
    }
}

// Entered with the cancel spin lock held; the request is on WaitQueue or its
// list entry points to itself. A wait request is not counted in OutstandingIo.
VOID NTAPI WaitCancelRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = GetExtension(DeviceObject);
    KIRQL irql;
    KeAcquireSpinLock(&extension->Lock, &irql);
    RemoveEntryList(EntryOf(Irp));
    KeReleaseSpinLock(&extension->Lock, irql);
    Irp->IoStatus.Status = STATUS_CANCELLED;
    Irp->IoStatus.Information = 0;
    ReleaseRemoveLock(extension, Irp);
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
}
