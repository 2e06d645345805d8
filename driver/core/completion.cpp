// Completion of requests the driver answers itself, always without a boost.
#include "driver/core/core.h"

// Leaves IoStatus.Information as the caller set it.
NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status)
{
    Irp->IoStatus.Status = Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

NTSTATUS CompleteRequestWithInformation(PIRP Irp, NTSTATUS Status, ULONG_PTR Information)
{
    Irp->IoStatus.Information = Information;
    return CompleteRequest(Irp, Status);
}

// Requests taken off their queues while Lock was held, their status and byte
// count already filled in, and linked on Done; completed once Lock has been
// released, so that no completion routine above runs under the driver's lock.
// Each holds the remove lock; reads and writes are counted in OutstandingIo
// as well, to the end of their completion.
VOID CompleteTakenRequests(PDEVICE_EXTENSION Extension, PLIST_ENTRY Done)
{
    while (!IsListEmpty(Done)) {
        PIRP irp = CONTAINING_RECORD(RemoveHeadList(Done), IRP, Tail.Overlay.ListEntry);
        UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        ReleaseRemoveLock(Extension, irp);
        if (major == IRP_MJ_READ || major == IRP_MJ_WRITE) {
            DecrementIo(Extension);
        }
    }
}
