// Write requests sent on the bulk-out pipe.
//
// Not built yet: writes are refused.
#include "driver/core/core.h"
#include "driver/serial/serial.h"

NTSTATUS NTAPI DispatchWrite(PDEVICE_OBJECT, PIRP Irp)
{
    return CompleteRequestWithInformation(Irp, STATUS_NOT_IMPLEMENTED, 0);
}
