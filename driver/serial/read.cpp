// Read requests served from the receive ring under the serial timeouts.
//
// Not built yet: reads are refused, and the read timer is never armed, so its
// DPC has nothing to do.
#include "driver/core/core.h"
#include "driver/serial/serial.h"

NTSTATUS NTAPI DispatchRead(PDEVICE_OBJECT, PIRP Irp)
{
    return CompleteRequestWithInformation(Irp, STATUS_NOT_IMPLEMENTED, 0);
}

VOID NTAPI ReadTimeoutDpc(PKDPC, PVOID, PVOID, PVOID)
{
}
