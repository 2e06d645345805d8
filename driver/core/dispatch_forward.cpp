// Pass-through routines: requests this driver does not serve itself go to the
// driver below unchanged.
#include "driver/core/core.h"

// Internal device-control and system-control requests. The remove lock only
// keeps the device object alive while the lower driver is being called; it is
// released as soon as that call returns, even when the request is pended below.
NTSTATUS NTAPI DispatchForward(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION Extension = GetExtension(DeviceObject);
    NTSTATUS Status = AcquireRemoveLock(Extension, Irp);
    if (!NT_SUCCESS(Status)) {
        return CompleteRequestWithInformation(Irp, Status, 0);
    }
    IoSkipCurrentIrpStackLocation(Irp);
    Status = IoCallDriver(Extension->LowerDevice, Irp);
    ReleaseRemoveLock(Extension, Irp);
    return Status;
}

// The lower driver gets a stack location of its own with the same parameters
// and no completion routine of ours (the copy clears the control flags).
NTSTATUS CopyAndPassDown(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    IoCopyCurrentIrpStackLocationToNext(Irp);
    return IoCallDriver(GetExtension(DeviceObject)->LowerDevice, Irp);
}
