// Read requests, served from the receive ring. A read takes what the ring
// holds, up to its length, and completes once it has at least one byte; a
// read that finds the ring empty waits, one at a time, for the next good
// bulk-in transfer or for its total timeout.
//
// A waiting read has ReadCancelRoutine as its cancel routine and is owned by
// whoever takes that routine away (request_queue.cpp). Requests are completed
// only after Lock has been released.
#include "driver/core/core.h"
#include "driver/pnp_power/pnp_power.h"
#include "driver/serial/serial.h"
#include "driver/usb/usb.h"

static PLIST_ENTRY EntryOf(PIRP Irp)
{
    return &Irp->Tail.Overlay.ListEntry;
}

static ULONG ReadLength(PIRP Irp)
{
    return IoGetCurrentIrpStackLocation(Irp)->Parameters.Read.Length;
}

// Lock held. Moves up to what the read still wants from the ring into its
// system buffer, after the bytes it already has; returns the bytes moved.
static ULONG FillFromRing(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    ULONG have = static_cast<ULONG>(Irp->IoStatus.Information);
    ULONG delivered = 0;
    RingGet(Extension, static_cast<PUCHAR>(Irp->AssociatedIrp.SystemBuffer) + have, ReadLength(Irp) - have, &delivered);
    Irp->IoStatus.Information = have + delivered;
    Extension->ReadRemaining = Extension->ReadRemaining > delivered ? Extension->ReadRemaining - delivered : 0;
    return delivered;
}

NTSTATUS QueueReadRequest(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    if (!IsListEmpty(&Extension->ReadQueue)) {
        Irp->IoStatus.Status = STATUS_SUCCESS;
        return STATUS_SUCCESS;
    }
    Irp->IoStatus.Status = STATUS_PENDING;
    return LinkCancelableRequest(&Extension->ReadQueue, Irp, ReadCancelRoutine);
}

PIRP DequeueReadRequest(PDEVICE_EXTENSION Extension)
{
    return TakeCancelableRequest(&Extension->ReadQueue);
}

// Lock held. The waiting read takes what the ring holds, or ends with
// STATUS_TIMEOUT and no data when the ring is empty.
VOID ServeQueuedReads(PDEVICE_EXTENSION Extension, PLIST_ENTRY Done)
{
    PIRP irp;
    while ((irp = DequeueReadRequest(Extension)) != NULL) {
        if (GetRingCount(Extension) != 0) {
            Extension->PerfStats.ReceivedCount += FillFromRing(Extension, irp);
            irp->IoStatus.Status = STATUS_SUCCESS;
        } else {
            irp->IoStatus.Information = 0;
            Extension->ReadRemaining = 0;
            irp->IoStatus.Status = STATUS_TIMEOUT;
        }
        InsertTailList(Done, EntryOf(irp));
    }
}

// Lock held. The waiting read ends with Status and what it has (a waiting
// read has nothing), and its timer goes with it.
VOID EndWaitingRead(PDEVICE_EXTENSION Extension, NTSTATUS Status, PLIST_ENTRY Done)
{
    PIRP irp;
    while ((irp = DequeueReadRequest(Extension)) != NULL) {
        Extension->ReadRemaining = 0;
        irp->IoStatus.Status = Status;
        InsertTailList(Done, EntryOf(irp));
    }
    CancelReadTimer(Extension);
}

// Entered with the cancel spin lock held. A request still on the queue is the
// waiting read, and the read timer is its own; one taken off the queue (its
// entry points to itself) leaves the timer to whoever took it.
VOID NTAPI ReadCancelRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = GetExtension(DeviceObject);
    KIRQL irql;
    KeAcquireSpinLock(&extension->Lock, &irql);
    PLIST_ENTRY entry = EntryOf(Irp);
    if (entry->Flink != entry) {
        RemoveEntryList(entry);
        CancelReadTimer(extension);
    }
    KeReleaseSpinLock(&extension->Lock, irql);
    CompleteCancelledRequest(extension, Irp);
}

// Lock held. Whether the read may go on; if so it takes the remove lock until
// its completion.
static NTSTATUS AdmitRead(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    NTSTATUS status = CheckPortServes(Extension);
    return NT_SUCCESS(status) ? AcquireRemoveLock(Extension, Irp) : status;
}

// Lock and the remove lock held. STATUS_SUCCESS: the read ends now with what
// it got; STATUS_PENDING: it waits; STATUS_CANCELLED: it was cancelled before
// it could wait, and was marked pending.
static NTSTATUS ServeOrQueueRead(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    ULONG length = ReadLength(Irp);
    if (length == 0) {
        return STATUS_SUCCESS;
    }
    // A timer left from a read that has ended; a waiting read keeps its own.
    if (IsListEmpty(&Extension->ReadQueue)) {
        CancelReadTimer(Extension);
    }
    READ_TIMEOUT_PLAN plan;
    PlanReadTimeout(&Extension->Timeouts, &plan);
    Extension->ReadRemaining = length;
    ULONG delivered = FillFromRing(Extension, Irp);
    if (plan.Immediate || Extension->ReadRemaining == 0 || delivered != 0) {
        Extension->PerfStats.ReceivedCount += delivered;
        return STATUS_SUCCESS;
    }
    NTSTATUS status = QueueReadRequest(Extension, Irp);
    if (status == STATUS_PENDING && plan.Timed) {
        ArmReadTimer(Extension, ReadTimeoutDueTime(Extension->ReadRemaining, plan.Multiplier, plan.Constant));
    }
    return status;
}

NTSTATUS NTAPI DispatchRead(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = GetExtension(DeviceObject);
    KIRQL irql;
    KeAcquireSpinLock(&extension->Lock, &irql);
    IncrementIo(extension);
    Irp->IoStatus.Information = 0;
    NTSTATUS status = AdmitRead(extension, Irp);
    if (!NT_SUCCESS(status)) {
        KeReleaseSpinLock(&extension->Lock, irql);
        Irp->IoStatus.Status = status;
        IoCompleteRequest(Irp, status == STATUS_DELETE_PENDING ? IO_SERIAL_INCREMENT : IO_NO_INCREMENT);
        DecrementIo(extension);
        return status;
    }
    status = ServeOrQueueRead(extension, Irp);
    KeReleaseSpinLock(&extension->Lock, irql);
    if (status == STATUS_PENDING) {
        return STATUS_PENDING;
    }
    Irp->IoStatus.Status = status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    ReleaseRemoveLock(extension, Irp);
    DecrementIo(extension);
    // A request cancelled while it was being queued was marked pending.
    return status == STATUS_CANCELLED ? STATUS_PENDING : status;
}
