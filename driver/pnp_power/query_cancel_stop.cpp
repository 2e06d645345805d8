// Query, cancel and stop handlers: the Plug and Play manager asks before it
// stops or removes the device, and the port refuses while it is open.
//
// OpenMutex is held across the test of PortOpen and the change of PnpState, as
// the open path holds it across its test of the state and the setting of
// PortOpen, so an open and an accepted query never interleave.
#include "driver/core/core.h"
#include "driver/pnp_power/pnp_power.h"

NTSTATUS HandleQueryRemove(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = GetExtension(DeviceObject);
    Irp->IoStatus.Status = STATUS_SUCCESS;

    ExAcquireFastMutex(&extension->OpenMutex);
    if (extension->PortOpen) {
        ExReleaseFastMutex(&extension->OpenMutex);
        return CompleteRequest(Irp, STATUS_DEVICE_BUSY);
    }
    extension->PreviousPnpState = extension->PnpState;
    extension->PnpState = RemovePending;
    ExReleaseFastMutex(&extension->OpenMutex);
    return PassDown(DeviceObject, Irp);
}

NTSTATUS HandleCancelRemove(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = GetExtension(DeviceObject);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    if (extension->PnpState != RemovePending) {
        return PassDown(DeviceObject, Irp);
    }

    // The lower drivers leave the remove-pending state first.
    NTSTATUS status = SyncForwardToLower(DeviceObject, Irp);
    if (NT_SUCCESS(status)) {
        extension->PnpState = extension->PreviousPnpState;
    }
    return CompleteRequest(Irp, status);
}

NTSTATUS HandleQueryStop(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = GetExtension(DeviceObject);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    if (extension->PnpState != Started) {
        return PassDown(DeviceObject, Irp);
    }

    // Refused from the open to the close, not only until the cleanup: after a
    // stop the pipe handles may be stale, and the close could not abort the
    // transfer it waits for.
    ExAcquireFastMutex(&extension->OpenMutex);
    if (extension->OpenCount != 0) {
        ExReleaseFastMutex(&extension->OpenMutex);
        return CompleteRequest(Irp, STATUS_DEVICE_BUSY);
    }
    extension->PnpState = StopPending;
    ExReleaseFastMutex(&extension->OpenMutex);
    return PassDown(DeviceObject, Irp);
}

NTSTATUS HandleCancelStop(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = GetExtension(DeviceObject);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    if (extension->PnpState != StopPending) {
        return PassDown(DeviceObject, Irp);
    }

    NTSTATUS status = SyncForwardToLower(DeviceObject, Irp);
    if (NT_SUCCESS(status)) {
        extension->PnpState = Started;
    }
    return CompleteRequest(Irp, status);
}

// A stop neither cancels queues nor drains transfers: query-stop was refused
// while the port was open, so nothing is in flight.
NTSTATUS HandleStop(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = GetExtension(DeviceObject);
    Irp->IoStatus.Status = STATUS_SUCCESS;

    LONG state = extension->PnpState;
    RemovePortNamesOnce(extension, state == Started || state == StopPending);
    extension->PnpState = NotStarted;
    return PassDown(DeviceObject, Irp);
}
