// Handing requests to the lower driver, asynchronously or with a wait.
#include "driver/core/core.h"

// Sends Irp to Target with ForwardCompletion set and waits for the lower
// drivers to finish it. *Sent tells the caller whether the IRP left at all.
static NTSTATUS SendAndWait(PDEVICE_OBJECT Target, PIRP Irp, BOOLEAN *Sent)
{
    *Sent = FALSE;
    // The event lives in pool rather than on the stack of the waiting thread.
    PKEVENT Event = static_cast<PKEVENT>(ExAllocatePool(NonPagedPool, sizeof(KEVENT)));
    if (Event == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(Event, sizeof(KEVENT));
    KeInitializeEvent(Event, NotificationEvent, FALSE);
    IoSetCompletionRoutine(Irp, ForwardCompletion, Event, TRUE, TRUE, TRUE);
    *Sent = TRUE;
    NTSTATUS Status = IoCallDriver(Target, Irp);
    if (Status == STATUS_PENDING) {
        KeWaitForSingleObject(Event, Executive, KernelMode, FALSE, NULL);
        Status = Irp->IoStatus.Status;
    }
    ExFreePool(Event);
    return Status;
}

NTSTATUS PassDown(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(GetExtension(DeviceObject)->LowerDevice, Irp);
}

// The IRP comes back to the caller, which must complete it. When it could not
// be sent the result is STATUS_INSUFFICIENT_RESOURCES rather than whatever the
// IRP happened to carry, so no handler mistakes an unsent request for success.
NTSTATUS SyncForwardToLower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    IoCopyCurrentIrpStackLocationToNext(Irp);
    BOOLEAN Sent;
    NTSTATUS Status = SendAndWait(GetExtension(DeviceObject)->LowerDevice, Irp, &Sent);
    return Sent ? Irp->IoStatus.Status : Status;
}

// The caller has filled in the next stack location.
NTSTATUS ForwardAndWait(PDEVICE_OBJECT TargetDevice, PIRP Irp)
{
    BOOLEAN Sent;
    return SendAndWait(TargetDevice, Irp, &Sent);
}

// Stops the completion walk: the IRP stays with the thread in ForwardAndWait.
NTSTATUS NTAPI ForwardCompletion(PDEVICE_OBJECT, PIRP, PVOID Context)
{
    KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}
