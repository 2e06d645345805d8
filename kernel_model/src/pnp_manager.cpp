// The PnP manager: AddDevice, PnP requests that start as STATUS_NOT_SUPPORTED,
// and the sequences Windows 2000/XP run: start (a failed start is followed
// by a removal without a query), removal, disable, eject, stop and
// rebalance, surprise removal with the removal after the last close.
// Removal deletes nothing by itself: the function driver deletes its device;
// a PDO that the model created goes once the PnP manager is done with it.
#include "model.h"

namespace km::detail {
namespace {

std::vector<std::unique_ptr<DEVICE_CAPABILITIES>> &Capabilities()
{
    static std::vector<std::unique_ptr<DEVICE_CAPABILITIES>> caps;
    return caps;
}

int HandlesOnStack(PDEVICE_OBJECT pdo)
{
    int handles = 0;
    for (PDEVICE_OBJECT d = pdo; d != nullptr; d = d->AttachedDevice) {
        if (FindDevice(d) != nullptr) {
            handles += FindDevice(d)->openHandles;
        }
    }
    return handles;
}

// PDOs sent IRP_MN_REMOVE_DEVICE in the running sequence.
std::vector<PDEVICE_OBJECT> &Removed()
{
    static std::vector<PDEVICE_OBJECT> removed;
    return removed;
}

// After IRP_MN_REMOVE_DEVICE: every device above the PDO must have gone.
void CheckStackGone(PDEVICE_OBJECT pdo)
{
    DeviceInfo *info = FindDevice(pdo);
    if (info == nullptr || info->destroyed || pdo->AttachedDevice == nullptr) {
        return; // the bus driver deleted it, or nothing is attached any more
    }
    Violate("DEVICE_LEAK", DeviceLabel(pdo->AttachedDevice) + " is still attached to " + DeviceLabel(pdo) +
                               " after IRP_MN_REMOVE_DEVICE");
}

void CheckRemovedStacks()
{
    std::vector<PDEVICE_OBJECT> removed;
    removed.swap(Removed());
    for (PDEVICE_OBJECT pdo : removed) {
        CheckStackGone(pdo);
    }
}

// A model PDO leaves once the PnP manager is done with it; a bus driver's
// child goes when its bus reports it missing.
void DeleteModelPdo(PDEVICE_OBJECT pdo)
{
    DeviceInfo *info = FindDevice(pdo);
    if (info != nullptr && info->modelPdo && !info->deleted && pdo->AttachedDevice == nullptr) {
        NoFaults model;
        IoDeleteDevice(pdo);
    }
}

// IRP_MN_REMOVE_DEVICE without a query: after a failed start, a surprise
// removal, or for a PDO whose stack was removed before and that is now gone.
void SendRemove(PDEVICE_OBJECT pdo)
{
    FindDevice(pdo)->stackRemoved = true;
    SendPnp(pdo, IRP_MN_REMOVE_DEVICE);
    Removed().push_back(pdo);
}

void RemoveSequenceAfterClose(PDEVICE_OBJECT pdo)
{
    FindDevice(pdo)->removalPending = false;
    SendRemove(pdo);
    DeleteModelPdo(pdo);
}

// Start; a stack whose start failed is removed at once, without a query.
NTSTATUS StartStack(PDEVICE_OBJECT pdo)
{
    NTSTATUS status = SendPnp(pdo, IRP_MN_START_DEVICE);
    if (!NT_SUCCESS(status)) {
        Trace("start of " + DeviceLabel(pdo) + " failed: removing its stack");
        SendRemove(pdo);
    }
    return status;
}

// Query-remove, then remove (or cancel-remove), children first; the PDO stays.
NTSTATUS RemoveStack(PDEVICE_OBJECT pdo)
{
    for (PDEVICE_OBJECT child : Children(pdo)) {
        if (IsLive(child) && !FindDevice(child)->stackRemoved) {
            NTSTATUS childStatus = RemoveStack(child);
            if (!NT_SUCCESS(childStatus)) {
                return childStatus;
            }
            DeleteModelPdo(child);
        }
    }
    NTSTATUS status = SendPnp(pdo, IRP_MN_QUERY_REMOVE_DEVICE);
    if (!NT_SUCCESS(status)) {
        SendPnp(pdo, IRP_MN_CANCEL_REMOVE_DEVICE);
        return status;
    }
    SendRemove(pdo);
    return status;
}

// Runs `sequence` on `pdo` as one PnP operation on a system thread, so that
// no other operation comes between its requests. An operation before it may
// have deleted the PDO (its bus reported it missing, or its removal ended
// with the last close): the PnP manager, which holds a reference on the PDO,
// finds it gone and leaves it alone. (A destroyed device object's memory
// stays poisoned until shutdown, so its address names no other object.)
NTSTATUS RunSequence(const char *what, PDEVICE_OBJECT pdo, const std::function<NTSTATUS()> &sequence)
{
    NTSTATUS status = STATUS_NO_SUCH_DEVICE;
    RunOnSystemThread(
        [&] {
            PnpOperation operation(what);
            if (IsLive(pdo)) {
                status = sequence();
                CheckRemovedStacks(); // once the caller has its status
            }
        },
        "PnP");
    return status;
}

} // namespace

void OnLastHandleClosed(PDEVICE_OBJECT pdo)
{
    PnpOperation operation("removal after the last close");
    DeviceInfo *info = FindDevice(pdo);
    if (IsLive(pdo) && info->removalPending && HandlesOnStack(pdo) == 0) {
        RemoveSequenceAfterClose(pdo);
        CheckRemovedStacks();
    }
}

void ResetPnpManager()
{
    Capabilities().clear();
    Removed().clear();
}

} // namespace km::detail

namespace km {

using namespace detail;

namespace {

// A device object above a pageable one must be pageable too: the power
// manager would send it power requests at DISPATCH_LEVEL, and it would pass
// them at that level to a driver that may page. Checked when AddDevice
// returns, as Driver Verifier does: by then the driver has set its flags.
void CheckPowerPagable(PDEVICE_OBJECT pdo)
{
    for (PDEVICE_OBJECT lower = pdo; lower->AttachedDevice != nullptr; lower = lower->AttachedDevice) {
        PDEVICE_OBJECT upper = lower->AttachedDevice;
        if ((lower->Flags & DO_POWER_PAGABLE) != 0 && (upper->Flags & DO_POWER_PAGABLE) == 0) {
            Violate("POWER_PAGABLE", DeviceLabel(upper) + " of " + Narrow(Wide(upper->DriverObject->DriverName)) +
                                         " lacks DO_POWER_PAGABLE above the pageable " + DeviceLabel(lower) +
                                         " when AddDevice returns");
            return;
        }
    }
}

} // namespace

NTSTATUS AddDevice(Image *image, PDEVICE_OBJECT pdo)
{
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    PDRIVER_OBJECT driver = image->driver;
    RunOnSystemThread(
        [&] {
            PnpOperation operation("AddDevice");
            FindDevice(pdo)->stackRemoved = false;
            {
                DriverScope scope(driver);
                status = driver->DriverExtension->AddDevice(driver, pdo);
            }
            if (NT_SUCCESS(status)) {
                CheckPowerPagable(pdo);
            }
        },
        "AddDevice");
    Trace("AddDevice -> " + std::to_string(status));
    return status;
}

NTSTATUS SendPnp(PDEVICE_OBJECT pdo, UCHAR minor, std::function<void(PIO_STACK_LOCATION)> setup, ULONG_PTR *information)
{
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    RunOnSystemThread(
        [&] {
            PnpOperation operation("a PnP request");
            PDEVICE_OBJECT top = IoGetAttachedDevice(pdo);
            Request *request = NewOriginatorRequest(top, IRP_MJ_PNP, false);
            PIRP irp = request->irp;
            FindIrp(irp)->origin = Origin::Pnp;
            irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
            PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
            next->MinorFunction = minor;
            if (minor == IRP_MN_QUERY_CAPABILITIES) {
                auto caps = std::make_unique<DEVICE_CAPABILITIES>();
                caps->Size = sizeof(DEVICE_CAPABILITIES);
                caps->Version = 1;
                caps->Address = 0xFFFFFFFF;
                caps->UINumber = 0xFFFFFFFF;
                next->Parameters.DeviceCapabilities.Capabilities = caps.get();
                Capabilities().push_back(std::move(caps));
            }
            if (setup) {
                setup(next);
            }
            Trace("PnP minor " + std::to_string(minor) + " to " + DeviceLabel(top));
            CallDriver(top, irp, "IofCallDriver");
            WaitRequest(request);
            status = request->status;
            if (information != nullptr) {
                *information = request->information;
            }
        },
        "PnP");
    return status;
}

NTSTATUS StartDevice(PDEVICE_OBJECT pdo)
{
    return RunSequence("start", pdo, [pdo] { return StartStack(pdo); });
}

NTSTATUS RemoveDevice(PDEVICE_OBJECT pdo)
{
    return RunSequence("removal", pdo, [pdo] {
        NTSTATUS status = RemoveStack(pdo);
        if (NT_SUCCESS(status)) {
            DeleteModelPdo(pdo);
        }
        return status;
    });
}

NTSTATUS DisableDevice(PDEVICE_OBJECT pdo)
{
    return RunSequence("disable", pdo, [pdo] { return RemoveStack(pdo); });
}

NTSTATUS EjectDevice(PDEVICE_OBJECT pdo)
{
    return RunSequence("eject", pdo, [pdo] {
        NTSTATUS status = RemoveStack(pdo);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        status = SendPnp(pdo, IRP_MN_EJECT);
        DeleteModelPdo(pdo);
        return status;
    });
}

NTSTATUS SurpriseRemoveDevice(PDEVICE_OBJECT pdo)
{
    return RunSequence("surprise removal", pdo, [pdo] {
        for (PDEVICE_OBJECT child : Children(pdo)) {
            if (IsLive(child)) {
                SurpriseRemoveDevice(child);
            }
        }
        DeviceInfo *info = FindDevice(pdo);
        if (info->stackRemoved) {
            // Removed before it went: only the PDO is left, for its bus to delete.
            SendRemove(pdo);
            DeleteModelPdo(pdo);
            return STATUS_SUCCESS;
        }
        NTSTATUS status = SendPnp(pdo, IRP_MN_SURPRISE_REMOVAL);
        info->removalPending = true;
        OnLastHandleClosed(pdo);
        return status;
    });
}

NTSTATUS StopDevice(PDEVICE_OBJECT pdo)
{
    return RunSequence("stop", pdo, [pdo] {
        NTSTATUS status = SendPnp(pdo, IRP_MN_QUERY_STOP_DEVICE);
        if (!NT_SUCCESS(status)) {
            SendPnp(pdo, IRP_MN_CANCEL_STOP_DEVICE);
            return status;
        }
        return SendPnp(pdo, IRP_MN_STOP_DEVICE);
    });
}

NTSTATUS RebalanceDevice(PDEVICE_OBJECT pdo)
{
    return RunSequence("rebalance", pdo, [pdo] {
        NTSTATUS status = StopDevice(pdo);
        return NT_SUCCESS(status) ? StartStack(pdo) : status;
    });
}

} // namespace km
