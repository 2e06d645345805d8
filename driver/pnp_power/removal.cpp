// Surprise removal and removal: mark the device on its way out, end every
// queued request, wait for the transfers in flight, take the port's names
// down, and at removal detach and delete the device object.
#include "driver/core/core.h"
#include "driver/pnp_power/pnp_power.h"
#include "driver/serial/serial.h"
#include "driver/usb/usb.h"

// Sets PnpState to NewState under StateLock and returns the state it replaced,
// so that IsDeviceUnusable never sees a half-made change.
static LONG ReplacePnpState(PDEVICE_EXTENSION Extension, LONG NewState)
{
    KIRQL oldIrql;
    KeAcquireSpinLock(&Extension->StateLock, &oldIrql);
    LONG previous = Extension->PnpState;
    Extension->PnpState = NewState;
    KeReleaseSpinLock(&Extension->StateLock, oldIrql);
    return previous;
}

// Whether a transfer may still be pending at the bus: a handle is open, or a
// handle closed meanwhile (a close of a device that is gone stops nothing) and
// left the reader's transfer or a write's piece there.
static BOOLEAN TransfersMayBePending(PDEVICE_EXTENSION Extension)
{
    KIRQL irql;
    KeAcquireSpinLock(&Extension->Lock, &irql);
    BOOLEAN pending = Extension->OpenCount != 0 || Extension->ReaderActive || Extension->WriteContext != NULL;
    KeReleaseSpinLock(&Extension->Lock, irql);
    return pending;
}

// Ends the queued requests and waits for the transfers in flight. A transfer
// may be pending at a bus that fails its transfers only when it receives the
// next request: both data pipes are aborted first (results ignored). When no
// transfer can be pending, or with pipe handles that were not valid in the
// state left, nothing is sent.
static VOID DrainPort(PDEVICE_OBJECT DeviceObject, LONG Previous)
{
    CancelAllQueues(DeviceObject);
    if (PipesUsable(Previous) && TransfersMayBePending(GetExtension(DeviceObject))) {
        AbortDataPipes(DeviceObject);
    }
    WaitForIdle(DeviceObject);
}

static VOID FreeDeviceName(PDEVICE_EXTENSION Extension)
{
    if (Extension->DeviceName.Buffer != NULL) {
        ExFreePool(Extension->DeviceName.Buffer);
        Extension->DeviceName.Buffer = NULL;
        Extension->DeviceName.Length = 0;
        Extension->DeviceName.MaximumLength = 0;
    }
}

// The interface's name is kept across stops so that every start can enable
// the interface again; it goes with the device.
static VOID FreeInterfaceName(PDEVICE_EXTENSION Extension)
{
    if (Extension->InterfaceName.Buffer != NULL) {
        // Clears the buffer pointer too.
        RtlFreeUnicodeString(&Extension->InterfaceName);
    }
}

NTSTATUS HandleSurpriseRemoval(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = GetExtension(DeviceObject);
    LONG previous = ReplacePnpState(extension, SurpriseRemoved);

    DrainPort(DeviceObject, previous);
    // The names exist while a stop or a removal is only pending, too.
    RemovePortNamesOnce(extension, previous == Started || previous == StopPending || previous == RemovePending);
    FreeDeviceName(extension);

    Irp->IoStatus.Status = STATUS_SUCCESS;
    return PassDown(DeviceObject, Irp);
}

NTSTATUS HandleRemove(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = GetExtension(DeviceObject);
    LONG previous = ReplacePnpState(extension, Removed);

    DrainPort(DeviceObject, previous);
    // After a surprise removal the names are already gone.
    RemovePortNamesOnce(extension, previous != SurpriseRemoved);
    FreeDeviceName(extension);
    FreeInterfaceName(extension);
    IoFreeIrp(extension->AbortIrp);

    Irp->IoStatus.Status = STATUS_SUCCESS;
    NTSTATUS status = PassDown(DeviceObject, Irp);

    // Drops the hold DispatchPnp took and waits for every other one.
    IoReleaseRemoveLockAndWaitEx(&extension->RemoveLock, Irp, REMOVE_LOCK_SIZE);
    DetachAndDelete(DeviceObject);
    return status;
}
