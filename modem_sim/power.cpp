// Power requests. The bus FDO passes them to the root device; the child
// answers set-power and query-power itself, unless a test has asked for the
// next ones to fail.
#include "modem_sim/sim.h"

extern "C" {

NTSTATUS SimBusPower(PBUS_EXTENSION Bus, PIRP Irp)
{
    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    return PoCallDriver(Bus->LowerDevice, Irp);
}

// True (with the status to fail with) when an injected power fault matches.
static BOOLEAN TakePowerFault(PMODEM Modem, UCHAR Minor, NTSTATUS *Status)
{
    KIRQL irql = SimLock(Modem);
    BOOLEAN fail =
        Modem->PowerFailCount > 0 && (Modem->PowerFailMinor == MODEM_ANY_POWER_MINOR || Modem->PowerFailMinor == Minor);
    if (fail) {
        Modem->PowerFailCount--;
        *Status = Modem->PowerFailStatus;
    }
    SimUnlock(Modem, irql);
    return fail;
}

// A device leaving D0 ends its transfers as a suspended USB device would, so
// that nothing is still pending when the host resumes and restarts its reader;
// asked to hold transfers, it keeps them and serves them back in D0.
static void SetDevicePower(PCHILD_EXTENSION Child, DEVICE_POWER_STATE State)
{
    PMODEM modem = Child->Modem;
    KIRQL irql = SimLock(modem);
    modem->DevicePowerState = State;
    BOOLEAN hold = modem->UnpoweredPolicy == MODEM_UNPOWERED_HOLD;
    SimUnlock(modem, irql);
    POWER_STATE state;
    state.DeviceState = State;
    PoSetPowerState(Child->Self, DevicePowerState, state);
    if (State == PowerDeviceD0) {
        SimService(modem);
    } else if (!hold) {
        SimFailAllPending(modem, STATUS_CANCELLED, USBD_STATUS_CANCELED);
    }
}

NTSTATUS SimChildPower(PCHILD_EXTENSION Child, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS status = Irp->IoStatus.Status;
    UCHAR minor = stack->MinorFunction;
    if (minor == IRP_MN_SET_POWER || minor == IRP_MN_QUERY_POWER) {
        if (!TakePowerFault(Child->Modem, minor, &status)) {
            status = STATUS_SUCCESS;
            if (minor == IRP_MN_SET_POWER && stack->Parameters.Power.Type == DevicePowerState) {
                SetDevicePower(Child, stack->Parameters.Power.State.DeviceState);
            }
        }
    }
    PoStartNextPowerIrp(Irp);
    Irp->IoStatus.Status = status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

} // extern "C"
