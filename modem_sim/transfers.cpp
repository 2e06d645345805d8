// Pending transfers. A transfer waits on its pipe's list under the modem's
// lock with a cancel routine set. Whoever takes the cancel routine away with
// an atomic exchange owns the transfer and completes it; a dequeuer that finds
// the routine already gone leaves the transfer to the cancel routine, with its
// list entry pointing to itself. Requests are completed only after the lock
// has been released.
#include "modem_sim/sim.h"

extern "C" {

static PLIST_ENTRY EntryOf(PIRP Irp)
{
    return &Irp->Tail.Overlay.ListEntry;
}

static PURB UrbOf(PIRP Irp)
{
    return (PURB)IoGetCurrentIrpStackLocation(Irp)->Parameters.Others.Argument1;
}

static PMODEM ModemOf(PDEVICE_OBJECT DeviceObject)
{
    return ((PCHILD_EXTENSION)DeviceObject->DeviceExtension)->Modem;
}

static ULONG PipeOfIrp(PMODEM Modem, PIRP Irp)
{
    USBD_PIPE_HANDLE handle = UrbOf(Irp)->UrbBulkOrInterruptTransfer.PipeHandle;
    for (ULONG i = 0; i < MODEM_PIPE_COUNT; i++) {
        if (handle == (USBD_PIPE_HANDLE)&Modem->Pipes[i]) {
            return i;
        }
    }
    return 0;
}

void SimCompleteTransfer(PIRP Irp, NTSTATUS Status, USBD_STATUS UsbdStatus, ULONG Length)
{
    PURB urb = UrbOf(Irp);
    urb->UrbBulkOrInterruptTransfer.TransferBufferLength = Length;
    urb->UrbHeader.Status = UsbdStatus;
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = 0;
}

ULONG SimBytesTaken(PIRP Irp)
{
    return (ULONG)(ULONG_PTR)Irp->Tail.Overlay.DriverContext[0];
}

void SimSetBytesTaken(PIRP Irp, ULONG Taken)
{
    Irp->Tail.Overlay.DriverContext[0] = (PVOID)(ULONG_PTR)Taken;
}

// Takes the transfer off its pipe's list; TRUE when the caller now owns it.
// Called with the modem's lock held.
BOOLEAN SimClaimTransfer(PIRP Irp)
{
    RemoveEntryList(EntryOf(Irp));
    if (IoSetCancelRoutine(Irp, nullptr) == nullptr) {
        InitializeListHead(EntryOf(Irp));
        return FALSE;
    }
    return TRUE;
}

static VOID NTAPI CancelTransfer(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    PMODEM modem = ModemOf(DeviceObject);
    KIRQL irql = SimLock(modem);
    // The entry is either on the list or points to itself; both unlink safely.
    RemoveEntryList(EntryOf(Irp));
    PSIM_PIPE pipe = &modem->Pipes[PipeOfIrp(modem, Irp)];
    pipe->Counters.Transfers++;
    pipe->Counters.Failed++;
    SimUnlock(modem, irql);
    SimCompleteTransfer(Irp, STATUS_CANCELLED, USBD_STATUS_CANCELED, SimBytesTaken(Irp));
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
}

// The request is already marked pending. Queued when the child can take it,
// then the modem serves what it can at once. A child out of D0 refuses it at
// once unless it was asked to hold transfers until it is back in D0.
void SimQueueTransfer(PCHILD_EXTENSION Child, ULONG Pipe, PIRP Irp)
{
    PMODEM modem = Child->Modem;
    NTSTATUS refusal = STATUS_SUCCESS;
    KIRQL irql = SimLock(modem);
    if (!Child->Started || Child->Gone) {
        refusal = STATUS_DEVICE_NOT_CONNECTED;
    } else if (modem->DevicePowerState != PowerDeviceD0 && modem->UnpoweredPolicy == MODEM_UNPOWERED_FAIL) {
        refusal = STATUS_DEVICE_NOT_READY;
    } else {
        SimSetBytesTaken(Irp, 0);
        IoSetCancelRoutine(Irp, CancelTransfer);
        if (Irp->Cancel && IoSetCancelRoutine(Irp, nullptr) != nullptr) {
            refusal = STATUS_CANCELLED;
        } else {
            InsertTailList(&modem->Pipes[Pipe].Pending, EntryOf(Irp));
        }
    }
    SimUnlock(modem, irql);
    if (refusal == STATUS_DEVICE_NOT_CONNECTED) {
        SimCompleteTransfer(Irp, refusal, USBD_STATUS_DEV_NOT_RESPONDING, 0);
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
    } else if (refusal == STATUS_DEVICE_NOT_READY) {
        SimCompleteTransfer(Irp, refusal, USBD_STATUS_NOT_ACCESSED, 0);
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
    } else if (refusal == STATUS_CANCELLED) {
        SimCompleteTransfer(Irp, refusal, USBD_STATUS_CANCELED, 0);
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
    } else {
        SimService(modem);
    }
}

// Moves every owned transfer of the pipe to Done, failed. Lock held.
static void FailPendingLocked(PMODEM Modem, ULONG Pipe, NTSTATUS Status, USBD_STATUS UsbdStatus, PLIST_ENTRY Done)
{
    PSIM_PIPE pipe = &Modem->Pipes[Pipe];
    while (!IsListEmpty(&pipe->Pending)) {
        PIRP irp = CONTAINING_RECORD(pipe->Pending.Flink, IRP, Tail.Overlay.ListEntry);
        if (!SimClaimTransfer(irp)) {
            continue;
        }
        pipe->Counters.Transfers++;
        pipe->Counters.Failed++;
        SimCompleteTransfer(irp, Status, UsbdStatus, SimBytesTaken(irp));
        InsertTailList(Done, EntryOf(irp));
    }
}

void SimFailPending(PMODEM Modem, ULONG Pipe, NTSTATUS Status, USBD_STATUS UsbdStatus)
{
    LIST_ENTRY done;
    InitializeListHead(&done);
    KIRQL irql = SimLock(Modem);
    FailPendingLocked(Modem, Pipe, Status, UsbdStatus, &done);
    SimUnlock(Modem, irql);
    SimCompleteList(Modem, &done);
}

void SimFailAllPending(PMODEM Modem, NTSTATUS Status, USBD_STATUS UsbdStatus)
{
    LIST_ENTRY done;
    InitializeListHead(&done);
    KIRQL irql = SimLock(Modem);
    for (ULONG i = 0; i < MODEM_PIPE_COUNT; i++) {
        FailPendingLocked(Modem, i, Status, UsbdStatus, &done);
    }
    SimUnlock(Modem, irql);
    SimCompleteList(Modem, &done);
}

} // extern "C"
