// The device's usability as the I/O paths see it, and the final teardown of
// the function device object.
#include "driver/pnp_power/pnp_power.h"

// A snapshot, read without StateLock: the state may change as soon as it is
// read, lock or not, and each field is one aligned LONG. What a caller must
// not miss is ordered by its own lock: a removal sets the state before it
// cancels the queues (under Lock) and aborts the pipes (under ReaderMutex),
// and a read tests under Lock, the reader's restart under ReaderMutex.
BOOLEAN IsDeviceUnusable(PDEVICE_EXTENSION Extension)
{
    LONG state = *static_cast<volatile LONG *>(&Extension->PnpState);
    LONG marker = *static_cast<volatile LONG *>(&Extension->FailureMarker);
    return marker == FAILURE_MARKER_FAILED || state == RemovePending || state == SurpriseRemoved || state == Removed;
}

VOID DetachAndDelete(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION extension = GetExtension(DeviceObject);
    if (extension->LowerDevice != NULL) {
        IoDetachDevice(extension->LowerDevice);
    }
    IoDeleteDevice(DeviceObject);
}
