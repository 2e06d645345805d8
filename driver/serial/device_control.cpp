// The serial control requests.
//
// Not built yet: every control request is refused.
#include "driver/core/core.h"
#include "driver/serial/serial.h"

NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT, PIRP Irp)
{
    return CompleteRequestWithInformation(Irp, STATUS_NOT_IMPLEMENTED, 0);
}
