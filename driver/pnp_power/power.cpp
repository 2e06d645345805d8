// Power requests.
//
// Not built yet: power requests are refused.
#include "driver/core/core.h"
#include "driver/pnp_power/pnp_power.h"

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT, PIRP Irp)
{
    PoStartNextPowerIrp(Irp);
    return CompleteRequestWithInformation(Irp, STATUS_NOT_IMPLEMENTED, 0);
}
