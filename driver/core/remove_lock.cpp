// The remove-lock convention shared by every dispatch routine: the IRP is the
// tag, and the record size is the free build's.
#include "driver/core/core.h"

NTSTATUS AcquireRemoveLock(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    return IoAcquireRemoveLockEx(&Extension->RemoveLock, Irp, "", 1, REMOVE_LOCK_SIZE);
}

VOID ReleaseRemoveLock(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    IoReleaseRemoveLockEx(&Extension->RemoveLock, Irp, REMOVE_LOCK_SIZE);
}
