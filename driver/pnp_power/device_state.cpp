// The device's usability as the I/O paths see it, and the final teardown of
// the function device object.
#include "driver/pnp_power/pnp_power.h"

BOOLEAN IsDeviceUnusable(PDEVICE_EXTENSION Extension)
{
    KIRQL oldIrql;
    KeAcquireSpinLock(&Extension->StateLock, &oldIrql);
    LONG state = Extension->PnpState;
    BOOLEAN unusable = Extension->FailureMarker == FAILURE_MARKER_FAILED || state == RemovePending ||
                       state == SurpriseRemoved || state == Removed;
    KeReleaseSpinLock(&Extension->StateLock, oldIrql);
    return unusable;
}

VOID DetachAndDelete(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION extension = GetExtension(DeviceObject);
    if (extension->LowerDevice != NULL) {
        IoDetachDevice(extension->LowerDevice);
    }
    IoDeleteDevice(DeviceObject);
}
