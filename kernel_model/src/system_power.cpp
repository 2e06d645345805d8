// System power transitions as the power manager of Windows 2000/XP runs
// them: every device stack is queried, then set; going down, children before
// their parents, going up, parents first. A query that any driver fails
// vetoes the transition, and every stack that was queried then gets a
// set-power for the working state, to reaffirm it. Device power requests are
// the drivers' own, sent as policy owners with PoRequestPowerIrp.
#include "model.h"

#include <algorithm>

namespace km::detail {
namespace {

struct SystemPower {
    SYSTEM_POWER_STATE state = PowerSystemWorking;
    PDEVICE_OBJECT querying = nullptr;

    SystemPower()
    {
        OnReset([this] {
            state = PowerSystemWorking;
            querying = nullptr;
        });
    }
};

SystemPower &P()
{
    static SystemPower p;
    return p;
}

// A stack the power manager talks to: a PDO whose stack was neither removed
// nor surprise-removed.
bool Powered(PDEVICE_OBJECT pdo)
{
    DeviceInfo *info = FindDevice(pdo);
    return IsPdo(pdo) && !info->stackRemoved && !info->removalPending;
}

void Collect(PDEVICE_OBJECT pdo, bool parentsFirst, std::vector<PDEVICE_OBJECT> *out)
{
    if (parentsFirst && Powered(pdo)) {
        out->push_back(pdo);
    }
    for (PDEVICE_OBJECT child : km::Children(pdo)) {
        if (IsPdo(child)) {
            Collect(child, parentsFirst, out);
        }
    }
    if (!parentsFirst && Powered(pdo)) {
        out->push_back(pdo);
    }
}

// Every stack of the device tree, in creation order among siblings.
std::vector<PDEVICE_OBJECT> Stacks(bool parentsFirst)
{
    std::vector<PDEVICE_OBJECT> out;
    for (PDEVICE_OBJECT pdo : PdosInCreationOrder()) {
        PDEVICE_OBJECT parent = ParentOf(pdo);
        if (parent == nullptr || !IsPdo(parent)) {
            Collect(pdo, parentsFirst, &out);
        }
    }
    return out;
}

// One system power request to the top of pdo's stack; waits for its end.
NTSTATUS SendSystemPower(PDEVICE_OBJECT pdo, UCHAR minor, SYSTEM_POWER_STATE state, POWER_ACTION action)
{
    PDEVICE_OBJECT top = IoGetAttachedDevice(pdo);
    Request *request = NewOriginatorRequest(top, IRP_MJ_POWER, false);
    request->irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(request->irp);
    next->MinorFunction = minor;
    next->Parameters.Power.Type = SystemPowerState;
    next->Parameters.Power.State.SystemState = state;
    next->Parameters.Power.ShutdownType = action;
    Trace(std::string(minor == IRP_MN_QUERY_POWER ? "system query-power S" : "system set-power S") +
          std::to_string(int(state) - 1) + " to " + DeviceLabel(top));
    P().querying = minor == IRP_MN_QUERY_POWER ? pdo : nullptr;
    PowerCallDriver(top, request->irp);
    WaitRequest(request);
    P().querying = nullptr;
    return request->status;
}

// Query, then set, children first; a veto reaffirms the working state.
NTSTATUS GoDown(SYSTEM_POWER_STATE target, POWER_ACTION action)
{
    std::vector<PDEVICE_OBJECT> queried;
    for (PDEVICE_OBJECT pdo : Stacks(false)) {
        queried.push_back(pdo);
        NTSTATUS status = SendSystemPower(pdo, IRP_MN_QUERY_POWER, target, action);
        if (NT_SUCCESS(status)) {
            continue;
        }
        Trace("system query-power vetoed by the stack of " + DeviceLabel(pdo));
        for (PDEVICE_OBJECT stack : Stacks(true)) {
            if (std::find(queried.begin(), queried.end(), stack) != queried.end()) {
                SendSystemPower(stack, IRP_MN_SET_POWER, PowerSystemWorking, PowerActionNone);
            }
        }
        return status;
    }
    for (PDEVICE_OBJECT pdo : Stacks(false)) {
        SendSystemPower(pdo, IRP_MN_SET_POWER, target, action);
    }
    P().state = target;
    return STATUS_SUCCESS;
}

NTSTATUS Transition(SYSTEM_POWER_STATE target, POWER_ACTION action)
{
    NTSTATUS status = STATUS_SUCCESS;
    RunOnSystemThread(
        [&] {
            PnpOperation operation("a system power transition");
            if (target != PowerSystemWorking) {
                status = P().state == PowerSystemWorking ? GoDown(target, action) : STATUS_INVALID_DEVICE_STATE;
                return;
            }
            if (P().state != PowerSystemWorking) {
                for (PDEVICE_OBJECT pdo : Stacks(true)) {
                    SendSystemPower(pdo, IRP_MN_SET_POWER, PowerSystemWorking, PowerActionNone);
                }
                P().state = PowerSystemWorking;
            }
        },
        "power manager");
    return status;
}

} // namespace

PDEVICE_OBJECT QueryingStack()
{
    return P().querying;
}

} // namespace km::detail

namespace km {

using namespace detail;

NTSTATUS SystemSleep(SYSTEM_POWER_STATE state)
{
    return Transition(state, PowerActionSleep);
}

NTSTATUS SystemHibernate()
{
    return Transition(PowerSystemHibernate, PowerActionHibernate);
}

NTSTATUS SystemResume()
{
    return Transition(PowerSystemWorking, PowerActionNone);
}

SYSTEM_POWER_STATE SystemPower()
{
    return P().state;
}

DEVICE_POWER_STATE DevicePower(PDEVICE_OBJECT device)
{
    DeviceInfo *info = FindDevice(device);
    return info == nullptr ? PowerDeviceUnspecified : info->devicePower.DeviceState;
}

} // namespace km
