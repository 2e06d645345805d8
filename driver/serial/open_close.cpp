// Open, close, cleanup and flush of the port. One opener at a time, on a
// started and usable device; the open puts the port's settings back to their
// defaults, resets the pipes and starts the reader; cleanup marks the port
// closed and cancels what is queued; close aborts the data pipes and waits
// until every transfer, restart and counted request has ended.
#include "driver/core/core.h"
#include "driver/pnp_power/pnp_power.h"
#include "driver/serial/serial.h"
#include "driver/usb/usb.h"

#define DEFAULT_BAUD_RATE 115200
#define DEFAULT_WORD_LENGTH 8

// Cleanup and flush complete with the serial boost.
static NTSTATUS CompleteWithSerialBoost(PIRP Irp, NTSTATUS Status)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_SERIAL_INCREMENT);
    return Status;
}

// Under OpenMutex, after the previous handle's cleanup and close have emptied
// the queues and stopped the pipes. Under Lock as well: from PortOpen on, the
// power path may start the reader (a sleep that overlaps the open), and it
// looks at the port's state under Lock. The ring is emptied here, before any
// transfer of this open can bring bytes. Timeouts, the remaining handshake and
// special characters, the statistics and FailureMarker are kept from the
// previous open.
VOID ResetPortState(PDEVICE_EXTENSION Extension)
{
    KIRQL irql;
    KeAcquireSpinLock(&Extension->Lock, &irql);
    InitializeListHead(&Extension->ReadQueue);
    InitializeListHead(&Extension->WaitQueue);
    InitializeListHead(&Extension->WriteQueue);
    Extension->HandFlow.ControlHandShake = SERIAL_DTR_CONTROL;
    Extension->HandFlow.FlowReplace = SERIAL_RTS_CONTROL;
    Extension->PortOpen = TRUE;
    Extension->WaitMask = 0;
    Extension->BaudRate = DEFAULT_BAUD_RATE;
    Extension->LineControl.StopBits = STOP_BITS_2;
    Extension->LineControl.Parity = NO_PARITY;
    Extension->LineControl.WordLength = DEFAULT_WORD_LENGTH;
    Extension->ModemStatus = 0;
    Extension->PendingWriteBytes = 0;
    Extension->Chars.XonChar = 0;
    Extension->Chars.XoffChar = 0;
    Extension->WriteActive = FALSE;
    Extension->EventHistory = 0;
    Extension->CommErrors = 0;
    KeInitializeEvent(&Extension->IdleEvent, SynchronizationEvent, FALSE);
    Extension->ReadErrorCount = 0;
    Extension->ResumeResetPending = FALSE;
    Extension->WritePipeHalted = FALSE;
    RingReset(Extension);
    KeReleaseSpinLock(&Extension->Lock, irql);
}

// Under OpenMutex: whether this opener may have the port. On success the
// remove lock is held for the request and OpenCount is 1.
static NTSTATUS AdmitOpener(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    if (Extension->PnpState != Started) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (IsDeviceUnusable(Extension)) {
        return STATUS_DELETE_PENDING;
    }
    NTSTATUS status = AcquireRemoveLock(Extension, Irp);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // Taken in one step: a refused opener never shows in OpenCount, where a
    // close running meanwhile would take it for a second handle.
    if (InterlockedCompareExchange(&Extension->OpenCount, 1, 0) != 0) {
        ReleaseRemoveLock(Extension, Irp);
        return STATUS_ACCESS_DENIED;
    }
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = GetExtension(DeviceObject);
    ExAcquireFastMutex(&extension->OpenMutex);
    Irp->IoStatus.Information = 0;
    NTSTATUS status = AdmitOpener(extension, Irp);
    if (!NT_SUCCESS(status)) {
        ExReleaseFastMutex(&extension->OpenMutex);
        return CompleteRequest(Irp, status);
    }
    ResetPortState(extension);
    // The resets wait for the bus; the query handlers need not wait for them.
    ExReleaseFastMutex(&extension->OpenMutex);

    status = ResetPipes(DeviceObject);
    if (!NT_SUCCESS(status)) {
        // A failed open gets neither cleanup nor close: it leaves no open port.
        KIRQL irql;
        KeAcquireSpinLock(&extension->Lock, &irql);
        extension->PortOpen = FALSE;
        KeReleaseSpinLock(&extension->Lock, irql);
        InterlockedDecrement(&extension->OpenCount);
        ReleaseRemoveLock(extension, Irp);
        return CompleteRequest(Irp, STATUS_UNSUCCESSFUL);
    }
    // The open succeeds even when the first transfer cannot be sent, or the
    // device has just become unusable and the reader is not started.
    StartBulkInReadForOpen(extension);
    ReleaseRemoveLock(extension, Irp);
    return CompleteRequest(Irp, status);
}

// The end of the handle's use of the port, by cleanup, and again by close for
// a system that sends no cleanup (Wine 8 does not): from now on the reader is
// not restarted, reads and writes are refused, and the query handlers accept
// again; what is queued is cancelled.
static VOID EndPortUse(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION extension = GetExtension(DeviceObject);
    KIRQL irql;
    KeAcquireSpinLock(&extension->Lock, &irql);
    extension->PortOpen = FALSE;
    CancelReadTimer(extension);
    KeReleaseSpinLock(&extension->Lock, irql);
    CancelAllQueues(DeviceObject);
}

NTSTATUS NTAPI DispatchCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    EndPortUse(DeviceObject);
    return CompleteWithSerialBoost(Irp, STATUS_SUCCESS);
}

static BOOLEAN DeviceIsGone(PDEVICE_EXTENSION Extension)
{
    LONG state = Extension->PnpState;
    return state == SurpriseRemoved || state == Removed;
}

// After a surprise removal or a removal the handlers have drained the port
// and nothing may be sent below: the close is a plain success. A device that
// is failed or has a removal pending is still present, and its pipes are
// stopped as in any close, so that no transfer outlives the handle.
NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = GetExtension(DeviceObject);
    ExAcquireFastMutex(&extension->CloseMutex);
    Irp->IoStatus.Information = 0;
    if (DeviceIsGone(extension)) {
        InterlockedDecrement(&extension->OpenCount);
        ExReleaseFastMutex(&extension->CloseMutex);
        return CompleteRequest(Irp, STATUS_SUCCESS);
    }
    NTSTATUS status = AcquireRemoveLock(extension, Irp);
    if (!NT_SUCCESS(status)) {
        InterlockedDecrement(&extension->OpenCount);
        ExReleaseFastMutex(&extension->CloseMutex);
        return CompleteRequest(Irp, status);
    }
    if (extension->OpenCount != 1) {
        ReleaseRemoveLock(extension, Irp);
        ExReleaseFastMutex(&extension->CloseMutex);
        return CompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST);
    }
    ExReleaseFastMutex(&extension->CloseMutex);
    // Without it, the abort below would fail the reader's transfer while the
    // port still counts as open, and its restart would reach the bus after the
    // abort and never end.
    EndPortUse(DeviceObject);
    // A stopped device's pipe handles may be stale: then only the wait.
    if (PipesUsable(extension->PnpState)) {
        StopPipes(DeviceObject);
    } else {
        WaitForIdle(DeviceObject);
    }
    InterlockedDecrement(&extension->OpenCount);
    ReleaseRemoveLock(extension, Irp);
    return CompleteRequest(Irp, STATUS_SUCCESS);
}

// Writes queued or active are not waited for.
NTSTATUS NTAPI DispatchFlush(PDEVICE_OBJECT, PIRP Irp)
{
    return CompleteWithSerialBoost(Irp, STATUS_SUCCESS);
}
