// Open, close, cleanup and flush of the port.
//
// Not built yet: the port refuses to open until the receive loop exists, so
// cleanup and close are never reached with an open handle either.
#include "driver/core/core.h"
#include "driver/serial/serial.h"

NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT, PIRP Irp)
{
    return CompleteRequestWithInformation(Irp, STATUS_NOT_IMPLEMENTED, 0);
}

NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT, PIRP Irp)
{
    return CompleteRequestWithInformation(Irp, STATUS_NOT_IMPLEMENTED, 0);
}

NTSTATUS NTAPI DispatchCleanup(PDEVICE_OBJECT, PIRP Irp)
{
    return CompleteRequestWithInformation(Irp, STATUS_NOT_IMPLEMENTED, 0);
}

NTSTATUS NTAPI DispatchFlush(PDEVICE_OBJECT, PIRP Irp)
{
    return CompleteRequestWithInformation(Irp, STATUS_NOT_IMPLEMENTED, 0);
}
