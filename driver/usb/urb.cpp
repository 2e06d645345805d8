// URBs to the parent bus driver: each travels in an IRP of its own, allocated
// at the lower device's stack size with no location for this driver, as an
// internal device-control request.
#include "driver/core/core.h"
#include "driver/usb/usb.h"

// Fills the location the lower driver will use first.
VOID PrepareUrbLocation(PIRP Irp, PURB Urb)
{
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = Urb;
}

// A bulk transfer of Length bytes at Buffer on Pipe; every other field zero.
VOID BuildBulkTransferUrb(PURB Urb, USBD_PIPE_HANDLE Pipe, ULONG Flags, PVOID Buffer, ULONG Length)
{
    RtlZeroMemory(Urb, sizeof(URB));
    Urb->UrbHeader.Length = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    Urb->UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    Urb->UrbBulkOrInterruptTransfer.PipeHandle = Pipe;
    Urb->UrbBulkOrInterruptTransfer.TransferFlags = Flags;
    Urb->UrbBulkOrInterruptTransfer.TransferBufferLength = Length;
    Urb->UrbBulkOrInterruptTransfer.TransferBuffer = Buffer;
}

// From the call on, the completion routine owns the IRP: it frees it and
// returns STATUS_MORE_PROCESSING_REQUIRED. *Sent tells whether the routine
// will run at all; it does not when no IRP could be had.
NTSTATUS SubmitUrbAsync(PDEVICE_OBJECT Target, PURB Urb, PIO_COMPLETION_ROUTINE Routine, PVOID Context, PBOOLEAN Sent)
{
    *Sent = FALSE;
    PIRP irp = IoAllocateIrp(Target->StackSize, FALSE);
    if (irp == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PrepareUrbLocation(irp, Urb);
    IoSetCompletionRoutine(irp, Routine, Context, TRUE, TRUE, TRUE);
    *Sent = TRUE;
    return IoCallDriver(Target, irp);
}

NTSTATUS SubmitUrbSync(PDEVICE_OBJECT DeviceObject, PURB Urb)
{
    PDEVICE_OBJECT lower = GetExtension(DeviceObject)->LowerDevice;
    PIRP irp = IoAllocateIrp(lower->StackSize, FALSE);
    if (irp == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PrepareUrbLocation(irp, Urb);
    NTSTATUS status = ForwardAndWait(lower, irp);
    IoFreeIrp(irp);
    return status;
}

static NTSTATUS SendPipeRequest(PDEVICE_OBJECT DeviceObject, USBD_PIPE_HANDLE Pipe, USHORT Function)
{
    PURB urb = static_cast<PURB>(ExAllocatePool(NonPagedPool, sizeof(URB)));
    if (urb == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(urb, sizeof(URB));
    urb->UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
    urb->UrbHeader.Function = Function;
    urb->UrbPipeRequest.PipeHandle = Pipe;
    NTSTATUS status = SubmitUrbSync(DeviceObject, urb);
    ExFreePool(urb);
    return status;
}

NTSTATUS ResetPipe(PDEVICE_OBJECT DeviceObject, USBD_PIPE_HANDLE Pipe)
{
    return SendPipeRequest(DeviceObject, Pipe, URB_FUNCTION_RESET_PIPE);
}

// Under ReaderMutex, with the device's own IRP, URB and event: nothing is
// allocated, so the abort always goes.
NTSTATUS AbortPipe(PDEVICE_OBJECT DeviceObject, USBD_PIPE_HANDLE Pipe)
{
    PDEVICE_EXTENSION extension = GetExtension(DeviceObject);
    PURB urb = &extension->AbortUrb;
    RtlZeroMemory(urb, sizeof(URB));
    urb->UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
    urb->UrbHeader.Function = URB_FUNCTION_ABORT_PIPE;
    urb->UrbPipeRequest.PipeHandle = Pipe;
    PIRP irp = extension->AbortIrp;
    IoReuseIrp(irp, STATUS_NOT_SUPPORTED);
    PrepareUrbLocation(irp, urb);
    KeInitializeEvent(&extension->AbortDone, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, ForwardCompletion, &extension->AbortDone, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(extension->LowerDevice, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&extension->AbortDone, Executive, KernelMode, FALSE, NULL);
        status = irp->IoStatus.Status;
    }
    return status;
}

// The bulk-in, bulk-out and third pipes, in this order, up to the first
// failure, whose status is returned.
NTSTATUS ResetPipes(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION extension = GetExtension(DeviceObject);
    NTSTATUS status = ResetPipe(DeviceObject, extension->BulkInPipe);
    if (NT_SUCCESS(status)) {
        status = ResetPipe(DeviceObject, extension->BulkOutPipe);
    }
    if (NT_SUCCESS(status)) {
        status = ResetPipe(DeviceObject, extension->AuxPipe);
    }
    return status;
}

// Ends what is pending on both data pipes; their results are of no use. Under
// ReaderMutex, so that a restart of the reader either submitted before the
// abort, which ends its transfer, or tests the port's state after it.
VOID AbortDataPipes(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION extension = GetExtension(DeviceObject);
    ExAcquireFastMutex(&extension->ReaderMutex);
    AbortPipe(DeviceObject, extension->BulkInPipe);
    AbortPipe(DeviceObject, extension->BulkOutPipe);
    ExReleaseFastMutex(&extension->ReaderMutex);
}

// Called by close once cleanup has cleared PortOpen: returns when every
// transfer, restart and counted request has ended.
VOID StopPipes(PDEVICE_OBJECT DeviceObject)
{
    AbortDataPipes(DeviceObject);
    WaitForIdle(DeviceObject);
}

// Whether a transfer failed on a halted endpoint, which fails everything sent
// to it until the pipe is reset. A transfer ended by an abort or a cancel
// carries a status of the same class, but the endpoint is not halted.
BOOLEAN FailedOnHaltedPipe(PURB Urb)
{
    USBD_STATUS status = Urb->UrbHeader.Status;
    return USBD_HALTED(status) && status != USBD_STATUS_CANCELED;
}

// The pipe handles are valid only while the lower drivers hold the device
// started; after a stop or a removal they may be stale.
BOOLEAN PipesUsable(LONG PnpState)
{
    return PnpState == Started || PnpState == StopPending || PnpState == RemovePending;
}
