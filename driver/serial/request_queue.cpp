// Request queues with cancel routines: ReadQueue, WaitQueue and WriteQueue
// link their requests through Tail.Overlay.ListEntry, under Lock.
//
// Whoever takes a queued request's cancel routine away by atomic exchange owns
// the request. The routine is installed and taken by exchange alone, never
// under the cancel spin lock, because Lock is held here and the cancel spin
// lock is always taken before Lock.
#include "driver/core/core.h"
#include "driver/pnp_power/pnp_power.h"
#include "driver/serial/serial.h"

// Lock held. Links the request at the tail, marks it pending and installs its
// cancel routine. STATUS_CANCELLED when it was cancelled before the routine was
// in place and is the caller's to fail (unlinked again, its status set);
// STATUS_PENDING otherwise, when the cancel routine may also be on its way.
NTSTATUS LinkCancelableRequest(PLIST_ENTRY Queue, PIRP Irp, PDRIVER_CANCEL Routine)
{
    PLIST_ENTRY entry = &Irp->Tail.Overlay.ListEntry;
    InsertTailList(Queue, entry);
    IoMarkIrpPending(Irp);
    IoSetCancelRoutine(Irp, Routine);
    if (!Irp->Cancel) {
        return STATUS_PENDING;
    }
    // If the exchange gives the routine back, IoCancelIrp found none; if it
    // gives null, the I/O manager is calling the routine, which waits for Lock
    // and unlinks the request itself.
    if (IoSetCancelRoutine(Irp, NULL) == NULL) {
        return STATUS_PENDING;
    }
    RemoveEntryList(entry);
    Irp->IoStatus.Status = STATUS_CANCELLED;
    return STATUS_CANCELLED;
}

// Lock held. The first request whose cancel routine could still be taken, or
// none. One whose cancellation is under way is left to its cancel routine,
// with its list entry pointing to itself so that the routine's unlinking
// changes nothing.
PIRP TakeCancelableRequest(PLIST_ENTRY Queue)
{
    while (!IsListEmpty(Queue)) {
        PLIST_ENTRY entry = RemoveHeadList(Queue);
        PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        if (IoSetCancelRoutine(irp, NULL) != NULL) {
            return irp;
        }
        InitializeListHead(entry);
    }
    return NULL;
}

// The end of a read's or a write's cancel routine, entered with the cancel spin
// lock held once the request is off its queue: it completes with
// STATUS_CANCELLED and gives back its remove-lock hold and its count.
VOID CompleteCancelledRequest(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    Irp->IoStatus.Status = STATUS_CANCELLED;
    Irp->IoStatus.Information = 0;
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    ReleaseRemoveLock(Extension, Irp);
    DecrementIo(Extension);
}

// Lock held. Why a read or a write cannot go on, or STATUS_SUCCESS: a device
// that is failed or leaving refuses it (and the noted events go), and so does
// a port already cleaned up, where nothing would serve it and a waiting read
// would keep the port from being opened again.
NTSTATUS CheckPortServes(PDEVICE_EXTENSION Extension)
{
    if (IsDeviceUnusable(Extension)) {
        Extension->EventHistory = 0;
        return STATUS_DELETE_PENDING;
    }
    return Extension->PortOpen ? STATUS_SUCCESS : STATUS_CANCELLED;
}
