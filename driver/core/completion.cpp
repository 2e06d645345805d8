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
