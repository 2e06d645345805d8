// The power manager of Windows 2000/XP: PoCallDriver with its serialisation
// (one set-power or query-power request per device and power type at a
// time; the next waits until PoStartNextPowerIrp was called for the current
// one while the device's location was current), DISPATCH_LEVEL for a device
// without DO_POWER_PAGABLE and a system thread for a pageable one called
// above PASSIVE_LEVEL; PoStartNextPowerIrp, PoSetPowerState and
// PoRequestPowerIrp with its completion callback.
#include "model.h"

#include <deque>

namespace km::detail {
namespace {

struct PowerQueue {
    PIRP active[2] = {nullptr, nullptr}; // by POWER_STATE_TYPE
    std::deque<PIRP> held[2];
};

std::map<PDEVICE_OBJECT, PowerQueue> &Queues()
{
    static std::map<PDEVICE_OBJECT, PowerQueue> queues;
    return queues;
}

// The queue a request waits in: set-power and query-power requests, by the
// type of power state they carry; -1 for the others (wait-wake, sequence).
int QueueOf(const IO_STACK_LOCATION *location)
{
    if (location->MinorFunction != IRP_MN_SET_POWER && location->MinorFunction != IRP_MN_QUERY_POWER) {
        return -1;
    }
    return location->Parameters.Power.Type == SystemPowerState ? 0 : 1;
}

// Calls the device's dispatch routine in this context, at DISPATCH_LEVEL
// unless the device is pageable.
NTSTATUS Deliver(PDEVICE_OBJECT device, PIRP irp, bool checkReturn)
{
    if ((device->Flags & DO_POWER_PAGABLE) != 0) {
        return CallDriver(device, irp, "PoCallDriver", checkReturn);
    }
    Context *self = Current();
    KIRQL old = self->irql;
    if (old < DISPATCH_LEVEL) {
        self->irql = DISPATCH_LEVEL;
    }
    NTSTATUS status = CallDriver(device, irp, "PoCallDriver", checkReturn);
    self->irql = old;
    return status;
}

// The request reaches the device later, from a system thread; the sender
// sees it pending, as if the device below had marked it so.
void DeliverLater(PDEVICE_OBJECT device, PIRP irp)
{
    IoGetNextIrpStackLocation(irp)->Control |= SL_PENDING_RETURNED;
    NewThread("power dispatch", [device, irp] { Deliver(device, irp, false); });
}

// PoStartNextPowerIrp for `irp` on `device`: its queue moves on.
void StartNext(PDEVICE_OBJECT device, PIRP irp)
{
    auto found = Queues().find(device);
    if (found == Queues().end()) {
        return;
    }
    PowerQueue &queue = found->second;
    for (int type = 0; type < 2; ++type) {
        if (queue.active[type] != irp) {
            continue;
        }
        queue.active[type] = nullptr;
        if (!queue.held[type].empty()) {
            PIRP next = queue.held[type].front();
            queue.held[type].pop_front();
            queue.active[type] = next;
            Trace("power IRP " + DescribeAddress(next) + " released to " + DeviceLabel(device));
            NewThread("power dispatch", [device, next] { Deliver(device, next, false); });
        }
    }
}

} // namespace

NTSTATUS PowerCallDriver(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    if (next->MajorFunction != IRP_MJ_POWER) {
        Violate("POWER_IRP", "PoCallDriver with major function " + std::to_string(next->MajorFunction));
        return STATUS_UNSUCCESSFUL;
    }
    int type = QueueOf(next);
    if (type >= 0) {
        PowerQueue &queue = Queues()[device];
        if (queue.active[type] != nullptr && queue.active[type] != irp) {
            Trace("power IRP " + DescribeAddress(irp) + " held for " + DeviceLabel(device));
            next->Control |= SL_PENDING_RETURNED;
            queue.held[type].push_back(irp);
            SwitchPoint("PoCallDriver");
            return STATUS_PENDING;
        }
        queue.active[type] = irp;
    }
    if (Current()->irql > PASSIVE_LEVEL && (device->Flags & DO_POWER_PAGABLE) != 0) {
        if (HoldsDriverSpinLock(Current(), CurrentDriver())) {
            Violate("CALL_WITH_SPINLOCK", "PoCallDriver to " + DeviceLabel(device) + " while holding a spin lock");
            return STATUS_UNSUCCESSFUL;
        }
        DeliverLater(device, irp);
        SwitchPoint("PoCallDriver");
        return STATUS_PENDING;
    }
    return Deliver(device, irp, true);
}

void ForgetPowerQueues(PDEVICE_OBJECT device)
{
    Queues().erase(device);
}

void ResetPowerManager()
{
    Queues().clear();
}

} // namespace km::detail

using namespace km::detail;

NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, "PoCallDriver");
    return PowerCallDriver(DeviceObject, Irp);
}

// Acts on the device of the current location: called after
// IoSkipCurrentIrpStackLocation, it starts the wrong device's next request.
VOID NTAPI PoStartNextPowerIrp(PIRP Irp)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, "PoStartNextPowerIrp");
    IrpInfo *info = FindIrp(Irp);
    if (info == nullptr || info->freed) {
        Violate("POOL_USE_AFTER_FREE", "PoStartNextPowerIrp of " + DescribeAddress(Irp) + ", which is not a live IRP");
        return;
    }
    if (Irp->CurrentLocation > Irp->StackCount) {
        return;
    }
    PDEVICE_OBJECT device = IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
    info->powerStarted.insert(device);
    StartNext(device, Irp);
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
    PDEVICE_OBJECT top = IoGetAttachedDevice(DeviceObject);
    // The device would be powered down for a sleep that may yet be vetoed.
    PDEVICE_OBJECT querying = QueryingStack();
    if (MinorFunction == IRP_MN_SET_POWER && querying != nullptr && IoGetAttachedDevice(querying) == top) {
        Violate("POWER_POLICY", "device set-power requested for " + DeviceLabel(DeviceObject) +
                                    " while its stack answers a system query-power");
        return STATUS_UNSUCCESSFUL;
    }
    NTSTATUS status;
    if (ShouldFail("PoRequestPowerIrp", &status)) {
        return status;
    }
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
    // The callback may run before this returns.
    if (Current()->irql == PASSIVE_LEVEL && Current()->held.empty()) {
        PowerCallDriver(top, irp);
    } else {
        NewThread("power request", [top, irp] { PowerCallDriver(top, irp); });
        SwitchPoint("PoRequestPowerIrp");
    }
    return STATUS_PENDING;
}
