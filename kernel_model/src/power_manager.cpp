// The power manager: PoCallDriver (a pageable device's dispatch routine is
// called at PASSIVE_LEVEL, on a worker thread when the caller is above it),
// PoStartNextPowerIrp, PoSetPowerState and PoRequestPowerIrp with its
// completion callback.
#include "model.h"

using namespace km::detail;

NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, "PoCallDriver");
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    if (next->MajorFunction != IRP_MJ_POWER) {
        Violate("POWER_IRP", "PoCallDriver with major function " + std::to_string(next->MajorFunction));
        return STATUS_UNSUCCESSFUL;
    }
    if (Current()->irql > PASSIVE_LEVEL && (DeviceObject->Flags & DO_POWER_PAGABLE) != 0) {
        if (HoldsDriverSpinLock(Current(), CurrentDriver())) {
            Violate("CALL_WITH_SPINLOCK",
                    "PoCallDriver to " + DeviceLabel(DeviceObject) + " while holding a spin lock");
            return STATUS_UNSUCCESSFUL;
        }
        // The power manager defers to a system thread; the caller sees the request pending.
        NewContext("power dispatch", km::ContextKind::Thread,
                   [DeviceObject, Irp] { CallDriver(DeviceObject, Irp, "PoCallDriver"); });
        SwitchPoint("PoCallDriver");
        return STATUS_PENDING;
    }
    return CallDriver(DeviceObject, Irp, "PoCallDriver");
}

VOID NTAPI PoStartNextPowerIrp(PIRP Irp)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, "PoStartNextPowerIrp");
    IrpInfo *info = FindIrp(Irp);
    if (info != nullptr) {
        info->startedNextPower.insert(CurrentDriver());
    }
}

POWER_STATE NTAPI PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, "PoSetPowerState");
    DeviceInfo *info = FindDevice(DeviceObject);
    POWER_STATE previous{};
    if (info == nullptr) {
        return previous;
    }
    POWER_STATE &slot = Type == SystemPowerState ? info->systemPower : info->devicePower;
    previous = slot;
    slot = State;
    Trace("PoSetPowerState " + DeviceLabel(DeviceObject) + " " + std::to_string(int(Type)) + " " +
          std::to_string(int(State.DeviceState)));
    return previous;
}

NTSTATUS NTAPI PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                 PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP *Irp)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, "PoRequestPowerIrp");
    NTSTATUS status;
    if (ShouldFail("PoRequestPowerIrp", &status)) {
        return status;
    }
    PDEVICE_OBJECT top = IoGetAttachedDevice(DeviceObject);
    PIRP irp = AllocateIrp(top->StackSize, nullptr);
    IrpInfo *info = FindIrp(irp);
    info->origin = Origin::PowerRequest;
    info->powerDevice = DeviceObject;
    info->powerCallback = CompletionFunction;
    info->powerContext = Context;
    info->powerMinor = MinorFunction;
    info->powerState = PowerState;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_POWER;
    next->MinorFunction = MinorFunction;
    next->Parameters.Power.Type = DevicePowerState;
    next->Parameters.Power.State = PowerState;
    if (Irp != nullptr) {
        *Irp = irp;
    }
    Trace("PoRequestPowerIrp " + DeviceLabel(DeviceObject) + " minor " + std::to_string(MinorFunction) + " D" +
          std::to_string(int(PowerState.DeviceState) - 1));
    if (Current()->irql == PASSIVE_LEVEL && Current()->held.empty()) {
        CallDriver(top, irp, "PoCallDriver");
    } else {
        NewContext("power request", km::ContextKind::Thread, [top, irp] { CallDriver(top, irp, "PoCallDriver"); });
        SwitchPoint("PoRequestPowerIrp");
    }
    return STATUS_PENDING;
}
