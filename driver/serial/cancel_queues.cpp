// Cancelling whole request queues, for purge, cleanup and removal.
//
// Each request is handed to its own cancel routine exactly as the I/O manager
// would: with the cancel spin lock held, Cancel set and CancelIrql filled in.
// The request is unlinked (its entry left pointing to itself) and its routine
// taken under Lock, so a racing dequeuer or IoCancelIrp either got the routine
// first, and then owns the request, or finds null and leaves it alone.
#include "driver/core/core.h"
#include "driver/serial/serial.h"

// Takes the newest request off Queue under Lock, with its cancel routine (null
// when someone else already owns the request). Returns FALSE when the queue is
// empty.
static BOOLEAN TakeNewest(PDEVICE_EXTENSION Extension, PLIST_ENTRY Queue, PIRP *Irp, PDRIVER_CANCEL *Routine)
{
    KIRQL irql;
    KeAcquireSpinLock(&Extension->Lock, &irql);
    if (IsListEmpty(Queue)) {
        KeReleaseSpinLock(&Extension->Lock, irql);
        return FALSE;
    }
    PLIST_ENTRY entry = RemoveTailList(Queue);
    InitializeListHead(entry);
    *Irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
    *Routine = IoSetCancelRoutine(*Irp, NULL);
    KeReleaseSpinLock(&Extension->Lock, irql);
    return TRUE;
}

// Called without Lock: the cancel spin lock is taken first.
VOID CancelQueue(PDEVICE_OBJECT DeviceObject, PLIST_ENTRY Queue)
{
    PDEVICE_EXTENSION extension = GetExtension(DeviceObject);
    KIRQL cancelIrql;
    IoAcquireCancelSpinLock(&cancelIrql);
    PIRP irp;
    PDRIVER_CANCEL routine;
    while (TakeNewest(extension, Queue, &irp, &routine)) {
        if (routine == NULL) {
            continue;
        }
        irp->CancelIrql = cancelIrql;
        irp->Cancel = TRUE;
        // The routine releases the cancel spin lock and completes the request.
        routine(DeviceObject, irp);
        IoAcquireCancelSpinLock(&cancelIrql);
    }
    IoReleaseCancelSpinLock(cancelIrql);
}

VOID CancelReadQueue(PDEVICE_OBJECT DeviceObject, PLIST_ENTRY Queue)
{
    PDEVICE_EXTENSION extension = GetExtension(DeviceObject);
    KIRQL irql;
    KeAcquireSpinLock(&extension->Lock, &irql);
    CancelReadTimer(extension);
    KeReleaseSpinLock(&extension->Lock, irql);
    CancelQueue(DeviceObject, Queue);
}

VOID CancelAllQueues(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION extension = GetExtension(DeviceObject);
    CancelQueue(DeviceObject, &extension->WriteQueue);
    CancelReadQueue(DeviceObject, &extension->ReadQueue);
    CancelQueue(DeviceObject, &extension->WaitQueue);
}
