// The PnP manager: AddDevice, PnP requests that start as STATUS_NOT_SUPPORTED,
// and the start, stop, removal and surprise-removal sequences. Removal deletes
// nothing by itself: the function driver deletes its device; a PDO that the
// model created goes once the stack above it is gone.
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

// After IRP_MN_REMOVE_DEVICE: every device above the PDO must have gone.
void FinishRemoval(PDEVICE_OBJECT pdo)
{
    DeviceInfo *pdoInfo = FindDevice(pdo);
    if (pdoInfo == nullptr || pdoInfo->destroyed) {
        return; // the bus driver deleted it, and nothing was attached any more
    }
    if (pdo->AttachedDevice != nullptr) {
        Violate("DEVICE_LEAK", DeviceLabel(pdo->AttachedDevice) + " is still attached to " + DeviceLabel(pdo) +
                                   " after IRP_MN_REMOVE_DEVICE");
        return;
    }
    DeviceInfo *info = FindDevice(pdo);
    if (info != nullptr && info->modelPdo && !info->deleted) {
        NoFaults model;
        IoDeleteDevice(pdo);
    }
}

void RemoveSequenceAfterClose(PDEVICE_OBJECT pdo)
{
    FindDevice(pdo)->removalPending = false;
    SendPnp(pdo, IRP_MN_REMOVE_DEVICE);
    FinishRemoval(pdo);
}

} // namespace

void OnLastHandleClosed(PDEVICE_OBJECT pdo)
{
    PnpOperation operation("removal after the last close");
    DeviceInfo *info = FindDevice(pdo);
    if (info != nullptr && info->removalPending && HandlesOnStack(pdo) == 0) {
        RemoveSequenceAfterClose(pdo);
    }
}

void ResetPnpManager()
{
    Capabilities().clear();
}

} // namespace km::detail

namespace km {

using namespace detail;

NTSTATUS AddDevice(Image *image, PDEVICE_OBJECT pdo)
{
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    PDRIVER_OBJECT driver = image->driver;
    RunOnSystemThread(
        [&] {
            PnpOperation operation("AddDevice");
            DriverScope scope(driver);
            status = driver->DriverExtension->AddDevice(driver, pdo);
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
    return SendPnp(pdo, IRP_MN_START_DEVICE);
}

// Each sequence runs as one operation on a system thread, so no other PnP
// operation comes between its requests.
NTSTATUS RemoveDevice(PDEVICE_OBJECT pdo)
{
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    RunOnSystemThread(
        [&] {
            PnpOperation operation("removal");
            // A bus goes after its children.
            for (PDEVICE_OBJECT child : Children(pdo)) {
                if (IsLive(child)) {
                    NTSTATUS childStatus = RemoveDevice(child);
                    if (!NT_SUCCESS(childStatus)) {
                        status = childStatus;
                        return;
                    }
                }
            }
            status = SendPnp(pdo, IRP_MN_QUERY_REMOVE_DEVICE);
            if (!NT_SUCCESS(status)) {
                SendPnp(pdo, IRP_MN_CANCEL_REMOVE_DEVICE);
                return;
            }
            status = SendPnp(pdo, IRP_MN_REMOVE_DEVICE);
            FinishRemoval(pdo);
        },
        "PnP");
    return status;
}

NTSTATUS SurpriseRemoveDevice(PDEVICE_OBJECT pdo)
{
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    RunOnSystemThread(
        [&] {
            PnpOperation operation("surprise removal");
            for (PDEVICE_OBJECT child : Children(pdo)) {
                if (IsLive(child)) {
                    SurpriseRemoveDevice(child);
                }
            }
            status = SendPnp(pdo, IRP_MN_SURPRISE_REMOVAL);
            FindDevice(pdo)->removalPending = true;
            OnLastHandleClosed(pdo);
        },
        "PnP");
    return status;
}

NTSTATUS StopDevice(PDEVICE_OBJECT pdo)
{
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    RunOnSystemThread(
        [&] {
            PnpOperation operation("stop");
            status = SendPnp(pdo, IRP_MN_QUERY_STOP_DEVICE);
            if (!NT_SUCCESS(status)) {
                SendPnp(pdo, IRP_MN_CANCEL_STOP_DEVICE);
                return;
            }
            status = SendPnp(pdo, IRP_MN_STOP_DEVICE);
        },
        "PnP");
    return status;
}

} // namespace km
