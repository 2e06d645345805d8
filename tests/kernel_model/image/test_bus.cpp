// A minimal bus driver image for the PnP manager's enumeration tests: it
// reports `WantedChildren` child PDOs with the hardware ID KMTEST\CHILD and
// deletes a child at removal once it no longer reports it.
#include <km/nt.h>

extern "C" {

__attribute__((visibility("default"))) LONG WantedChildren = 0;

struct BusExtension {
    BOOLEAN IsChild;
    BOOLEAN Present;
    PDEVICE_OBJECT Lower;
    PDEVICE_OBJECT Children[4];
    LONG ChildCount;
};

static PDRIVER_OBJECT Driver;

static NTSTATUS Complete(PIRP Irp, NTSTATUS Status, ULONG_PTR Information)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

static PDEVICE_RELATIONS Relations(BusExtension *Bus)
{
    while (Bus->ChildCount < WantedChildren && Bus->ChildCount < 4) {
        PDEVICE_OBJECT child;
        if (!NT_SUCCESS(
                IoCreateDevice(Driver, sizeof(BusExtension), nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &child))) {
            break;
        }
        BusExtension *ext = static_cast<BusExtension *>(child->DeviceExtension);
        ext->IsChild = TRUE;
        ext->Present = TRUE;
        child->Flags &= ~DO_DEVICE_INITIALIZING;
        Bus->Children[Bus->ChildCount++] = child;
    }
    while (Bus->ChildCount > WantedChildren) {
        PDEVICE_OBJECT child = Bus->Children[--Bus->ChildCount];
        static_cast<BusExtension *>(child->DeviceExtension)->Present = FALSE;
    }
    ULONG bytes = sizeof(DEVICE_RELATIONS) + sizeof(PDEVICE_OBJECT) * 4;
    PDEVICE_RELATIONS relations = static_cast<PDEVICE_RELATIONS>(ExAllocatePool(PagedPool, bytes));
    relations->Count = static_cast<ULONG>(Bus->ChildCount);
    for (LONG i = 0; i < Bus->ChildCount; ++i) {
        relations->Objects[i] = Bus->Children[i];
        ObReferenceObject(Bus->Children[i]);
    }
    return relations;
}

static NTSTATUS ChildPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    BusExtension *ext = static_cast<BusExtension *>(DeviceObject->DeviceExtension);
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
    switch (location->MinorFunction) {
    case IRP_MN_QUERY_ID: {
        static const WCHAR id[] = L"KMTEST\\CHILD\0";
        if (location->Parameters.QueryId.IdType != BusQueryHardwareIDs) {
            return Complete(Irp, Irp->IoStatus.Status, Irp->IoStatus.Information);
        }
        WCHAR *copy = static_cast<WCHAR *>(ExAllocatePool(PagedPool, sizeof id));
        for (unsigned i = 0; i < sizeof id / sizeof id[0]; ++i) {
            copy[i] = id[i];
        }
        return Complete(Irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(copy));
    }
    case IRP_MN_REMOVE_DEVICE:
        Complete(Irp, STATUS_SUCCESS, 0);
        if (!ext->Present) {
            IoDeleteDevice(DeviceObject);
        }
        return STATUS_SUCCESS;
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_QUERY_CAPABILITIES:
        return Complete(Irp, STATUS_SUCCESS, 0);
    default:
        return Complete(Irp, Irp->IoStatus.Status, Irp->IoStatus.Information);
    }
}

static NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    BusExtension *ext = static_cast<BusExtension *>(DeviceObject->DeviceExtension);
    if (ext->IsChild) {
        return ChildPnp(DeviceObject, Irp);
    }
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
    PDEVICE_OBJECT lower = ext->Lower;
    if (location->MinorFunction == IRP_MN_QUERY_DEVICE_RELATIONS &&
        location->Parameters.QueryDeviceRelations.Type == BusRelations) {
        Irp->IoStatus.Status = STATUS_SUCCESS;
        Irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(Relations(ext));
    } else if (location->MinorFunction == IRP_MN_START_DEVICE ||
               location->MinorFunction == IRP_MN_QUERY_REMOVE_DEVICE ||
               location->MinorFunction == IRP_MN_REMOVE_DEVICE) {
        Irp->IoStatus.Status = STATUS_SUCCESS;
    }
    UCHAR minor = location->MinorFunction;
    IoSkipCurrentIrpStackLocation(Irp);
    NTSTATUS status = IofCallDriver(lower, Irp);
    if (minor == IRP_MN_REMOVE_DEVICE) {
        IoDetachDevice(lower);
        IoDeleteDevice(DeviceObject);
    }
    return status;
}

// Called with every power request the bus's devices get, when set.
__attribute__((visibility("default"))) VOID (*PowerSeen)(PDEVICE_OBJECT, PIRP) = nullptr;

static NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    BusExtension *ext = static_cast<BusExtension *>(DeviceObject->DeviceExtension);
    if (PowerSeen != nullptr) {
        PowerSeen(DeviceObject, Irp);
    }
    PoStartNextPowerIrp(Irp);
    if (ext->IsChild) {
        return Complete(Irp, STATUS_SUCCESS, 0);
    }
    IoSkipCurrentIrpStackLocation(Irp);
    return PoCallDriver(ext->Lower, Irp);
}

static NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT Pdo)
{
    PDEVICE_OBJECT fdo;
    NTSTATUS status =
        IoCreateDevice(DriverObject, sizeof(BusExtension), nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &fdo);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PDEVICE_OBJECT lower = IoAttachDeviceToDeviceStack(fdo, Pdo);
    static_cast<BusExtension *>(fdo->DeviceExtension)->Lower = lower;
    fdo->Flags |= lower->Flags & DO_POWER_PAGABLE;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

__attribute__((visibility("default"))) NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING)
{
    Driver = DriverObject;
    DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    DriverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    DriverObject->DriverExtension->AddDevice = AddDevice;
    return STATUS_SUCCESS;
}

} // extern "C"
