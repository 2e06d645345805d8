// Start: the lower drivers start the device first, then the port takes its
// pipe handles from the parent bus driver and creates its names.
#include "driver/core/core.h"
#include "driver/pnp_power/pnp_power.h"

// Where the parent bus driver keeps the pipe handles in its child's extension:
// the fourth to sixth pointer-sized fields, so byte offsets 12, 16 and 20 on
// i386 and, assuming the parent's record keeps its shape on x64, 24, 32, 40.
#define PARENT_BULK_IN_PIPE_OFFSET (3 * sizeof(PVOID))
#define PARENT_BULK_OUT_PIPE_OFFSET (4 * sizeof(PVOID))
#define PARENT_AUX_PIPE_OFFSET (5 * sizeof(PVOID))

static USBD_PIPE_HANDLE ReadParentPipe(const UCHAR *ParentExtension, ULONG Offset)
{
    USBD_PIPE_HANDLE pipe;
    RtlCopyMemory(&pipe, ParentExtension + Offset, sizeof(pipe));
    return pipe;
}

// The handles are taken as the parent left them; a zero handle is not refused.
// A physical device object without an extension is not the modem's child.
NTSTATUS GetPipeHandles(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION extension = GetExtension(DeviceObject);
    const UCHAR *parent = static_cast<const UCHAR *>(extension->Pdo->DeviceExtension);
    if (parent == NULL) {
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    }
    extension->BulkInPipe = ReadParentPipe(parent, PARENT_BULK_IN_PIPE_OFFSET);
    extension->BulkOutPipe = ReadParentPipe(parent, PARENT_BULK_OUT_PIPE_OFFSET);
    extension->AuxPipe = ReadParentPipe(parent, PARENT_AUX_PIPE_OFFSET);
    return STATUS_SUCCESS;
}

NTSTATUS HandleStartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = GetExtension(DeviceObject);
    Irp->IoStatus.Status = STATUS_SUCCESS;

    NTSTATUS status = SyncForwardToLower(DeviceObject, Irp);
    if (!NT_SUCCESS(status)) {
        return CompleteRequest(Irp, status);
    }

    status = GetPipeHandles(DeviceObject);
    if (!NT_SUCCESS(status)) {
        return CompleteRequest(Irp, status);
    }

    // A second start without a stop between them finds the names in place;
    // they are made afresh rather than colliding with themselves.
    if (extension->SymbolicLinkName.Buffer != NULL) {
        RemovePortNames(extension);
    }

    status = CreatePortNames(extension);
    if (!NT_SUCCESS(status)) {
        RemovePortNames(extension);
        return CompleteRequest(Irp, status);
    }

    extension->PnpState = Started;
    extension->PortNamesRemoved = FALSE;
    return CompleteRequest(Irp, status);
}
