// IOCTL_INTERNAL_USB_SUBMIT_URB on the child: bulk transfers are queued on
// their pipe for the modem to serve; abort and reset act on the pipe at once.
// Malformed requests and requests to a child that is not there are refused
// at once, in the caller's context. May be called at up to DISPATCH_LEVEL.
#include "modem_sim/sim.h"

extern "C" {

static NTSTATUS CompleteUrb(PIRP Irp, PURB Urb, NTSTATUS Status, USBD_STATUS UsbdStatus)
{
    if (Urb != nullptr) {
        Urb->UrbHeader.Status = UsbdStatus;
    }
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

// The pipe index for a handle, or MODEM_PIPE_COUNT for one this child never gave out.
static ULONG PipeOfHandle(PCHILD_EXTENSION Child, USBD_PIPE_HANDLE Handle)
{
    for (ULONG i = 0; i < MODEM_PIPE_COUNT; i++) {
        if (Handle != nullptr && Handle == (USBD_PIPE_HANDLE)&Child->Modem->Pipes[i]) {
            return i;
        }
    }
    return MODEM_PIPE_COUNT;
}

static BOOLEAN IsConnected(PCHILD_EXTENSION Child)
{
    PMODEM modem = Child->Modem;
    KIRQL irql = SimLock(modem);
    BOOLEAN connected = Child->Started && !Child->Gone;
    SimUnlock(modem, irql);
    return connected;
}

static NTSTATUS SubmitTransfer(PCHILD_EXTENSION Child, PIRP Irp, PURB Urb)
{
    struct _URB_BULK_OR_INTERRUPT_TRANSFER *transfer = &Urb->UrbBulkOrInterruptTransfer;
    if (Urb->UrbHeader.Length != sizeof(*transfer)) {
        return CompleteUrb(Irp, Urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
    }
    ULONG pipe = PipeOfHandle(Child, transfer->PipeHandle);
    if (pipe == MODEM_PIPE_COUNT) {
        return CompleteUrb(Irp, Urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE);
    }
    // Only plain buffers are served (the port driver never sends an MDL), and
    // the direction must match the pipe's, which catches a mixed-up handle.
    BOOLEAN in = USBD_TRANSFER_DIRECTION(transfer->TransferFlags) == USBD_TRANSFER_DIRECTION_IN;
    BOOLEAN noBuffer = transfer->TransferBuffer == nullptr && transfer->TransferBufferLength != 0;
    if (noBuffer || transfer->TransferBufferMDL != nullptr || in != Child->Modem->Pipes[pipe].In) {
        return CompleteUrb(Irp, Urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
    }
    IoMarkIrpPending(Irp);
    SimQueueTransfer(Child, pipe, Irp);
    return STATUS_PENDING;
}

// Every transfer pending on the pipe fails before the abort itself completes
// (both from the completion DPC unless the modem completes inline).
static NTSTATUS AbortOrResetPipe(PCHILD_EXTENSION Child, PIRP Irp, PURB Urb)
{
    if (Urb->UrbHeader.Length != sizeof(struct _URB_PIPE_REQUEST)) {
        return CompleteUrb(Irp, Urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
    }
    ULONG pipe = PipeOfHandle(Child, Urb->UrbPipeRequest.PipeHandle);
    if (pipe == MODEM_PIPE_COUNT) {
        return CompleteUrb(Irp, Urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE);
    }
    PMODEM modem = Child->Modem;
    if (Urb->UrbHeader.Function == URB_FUNCTION_ABORT_PIPE) {
        SimFailPending(modem, pipe, STATUS_CANCELLED, USBD_STATUS_CANCELED);
        KIRQL irql = SimLock(modem);
        modem->Pipes[pipe].Counters.Aborts++;
        SimUnlock(modem, irql);
    } else {
        // A reset clears a halted endpoint, and the stall of the device's
        // endpoint with it; the modem may then serve the pipe again. A
        // device that NAKs goes on doing so.
        KIRQL irql = SimLock(modem);
        modem->Pipes[pipe].Counters.Resets++;
        modem->Pipes[pipe].Halted = FALSE;
        modem->Pipes[pipe].StallArmed = FALSE;
        SimUnlock(modem, irql);
        SimService(modem);
    }
    Urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    return SimCompleteRequest(modem, Irp);
}

NTSTATUS SimChildInternalControl(PCHILD_EXTENSION Child, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->Parameters.DeviceIoControl.IoControlCode != IOCTL_INTERNAL_USB_SUBMIT_URB) {
        return CompleteUrb(Irp, nullptr, STATUS_INVALID_DEVICE_REQUEST, USBD_STATUS_SUCCESS);
    }
    PURB urb = (PURB)stack->Parameters.Others.Argument1;
    if (urb == nullptr) {
        return CompleteUrb(Irp, nullptr, STATUS_INVALID_PARAMETER, USBD_STATUS_SUCCESS);
    }
    if (!IsConnected(Child)) {
        return CompleteUrb(Irp, urb, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEV_NOT_RESPONDING);
    }
    switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        return SubmitTransfer(Child, Irp, urb);
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_RESET_PIPE:
        return AbortOrResetPipe(Child, Irp, urb);
    default:
        return CompleteUrb(Irp, urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_URB_FUNCTION);
    }
}

} // extern "C"
