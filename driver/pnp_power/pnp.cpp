// Plug and Play dispatcher: every PnP request holds the remove lock while its
// handler runs; minor codes outside the table go straight down the stack.
#include "driver/core/core.h"
#include "driver/pnp_power/pnp_power.h"

// One handler per minor code below PNP_HANDLER_COUNT, indexed by the code.
#define PNP_HANDLER_COUNT 24

static const PNP_HANDLER PnpHandlers[PNP_HANDLER_COUNT] = {
    HandleStartDevice,       // IRP_MN_START_DEVICE
    HandleQueryRemove,       // IRP_MN_QUERY_REMOVE_DEVICE
    HandleRemove,            // IRP_MN_REMOVE_DEVICE
    HandleCancelRemove,      // IRP_MN_CANCEL_REMOVE_DEVICE
    HandleStop,              // IRP_MN_STOP_DEVICE
    HandleQueryStop,         // IRP_MN_QUERY_STOP_DEVICE
    HandleCancelStop,        // IRP_MN_CANCEL_STOP_DEVICE
    PassDown,                // IRP_MN_QUERY_DEVICE_RELATIONS
    PassDown,                // IRP_MN_QUERY_INTERFACE
    HandleQueryCapabilities, // IRP_MN_QUERY_CAPABILITIES
    PassDown,                // IRP_MN_QUERY_RESOURCES
    PassDown,                // IRP_MN_QUERY_RESOURCE_REQUIREMENTS
    PassDown,                // IRP_MN_QUERY_DEVICE_TEXT
    PassDown,                // IRP_MN_FILTER_RESOURCE_REQUIREMENTS
    PassDown,                // 14: no request defined
    PassDown,                // IRP_MN_READ_CONFIG
    PassDown,                // IRP_MN_WRITE_CONFIG
    PassDown,                // IRP_MN_EJECT
    PassDown,                // IRP_MN_SET_LOCK
    PassDown,                // IRP_MN_QUERY_ID
    CopyAndPassDown,         // IRP_MN_QUERY_PNP_DEVICE_STATE
    PassDown,                // IRP_MN_QUERY_BUS_INFORMATION
    PassDown,                // IRP_MN_DEVICE_USAGE_NOTIFICATION
    HandleSurpriseRemoval,   // IRP_MN_SURPRISE_REMOVAL
};

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = GetExtension(DeviceObject);
    NTSTATUS status = AcquireRemoveLock(extension, Irp);
    if (!NT_SUCCESS(status)) {
        return CompleteRequestWithInformation(Irp, status, 0);
    }

    UCHAR minor = IoGetCurrentIrpStackLocation(Irp)->MinorFunction;
    if (minor >= PNP_HANDLER_COUNT) {
        status = PassDown(DeviceObject, Irp);
        ReleaseRemoveLock(extension, Irp);
        return status;
    }

    status = PnpHandlers[minor](DeviceObject, Irp);
    // The removal handler has released its own hold and deleted the device:
    // the extension is gone.
    if (minor != IRP_MN_REMOVE_DEVICE) {
        ReleaseRemoveLock(extension, Irp);
    }
    return status;
}
