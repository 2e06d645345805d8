// Query-capabilities: the lower drivers fill the record first; the port then
// declares itself removable without warning and without a unique ID, and keeps
// a copy for the power path, which reads its DeviceState table.
#include "driver/core/core.h"
#include "driver/pnp_power/pnp_power.h"

NTSTATUS HandleQueryCapabilities(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = GetExtension(DeviceObject);
    PDEVICE_CAPABILITIES capabilities = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceCapabilities.Capabilities;

    // A record of an unknown layout is left to the lower drivers alone.
    if (capabilities->Version < 1) {
        return PassDown(DeviceObject, Irp);
    }

    NTSTATUS status = SyncForwardToLower(DeviceObject, Irp);
    if (NT_SUCCESS(status)) {
        capabilities->UniqueID = FALSE;
        capabilities->Removable = TRUE;
        capabilities->SurpriseRemovalOK = TRUE;
        RtlCopyMemory(&extension->DeviceCapabilities, capabilities, sizeof(DEVICE_CAPABILITIES));
    }
    return CompleteRequest(Irp, status);
}
