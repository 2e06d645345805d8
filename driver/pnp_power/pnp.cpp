// Plug and Play dispatcher.
//
// Not built yet: Plug and Play requests are refused.
#include "driver/core/core.h"
#include "driver/pnp_power/pnp_power.h"

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT, PIRP Irp)
{
    return CompleteRequestWithInformation(Irp, STATUS_NOT_IMPLEMENTED, 0);
}
