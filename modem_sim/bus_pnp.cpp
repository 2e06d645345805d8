// Plug and Play of the bus FDO: everything goes down to the root device, as a
// bus FDO's requests should; start waits for the root device first, the
// BusRelations query names the children, and removal deletes them.
#include "modem_sim/sim.h"

extern "C" {

NTSTATUS SimBusPassDown(PBUS_EXTENSION Bus, PIRP Irp)
{
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(Bus->LowerDevice, Irp);
}

static NTSTATUS NTAPI SignalOnCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS SimCallAndWait(PDEVICE_OBJECT Lower, PIRP Irp)
{
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(Irp, SignalOnCompletion, &done, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(Lower, Irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    }
    return Irp->IoStatus.Status;
}

// Sends the request down and waits for it; the request is ours again after.
static NTSTATUS ForwardAndWait(PBUS_EXTENSION Bus, PIRP Irp)
{
    IoCopyCurrentIrpStackLocationToNext(Irp);
    return SimCallAndWait(Bus->LowerDevice, Irp);
}

// Whether the modem is on the bus; its child, if it was unplugged since the
// last answer, is let go (it is deleted at its own removal).
static BOOLEAN TakeUnpluggedChild(PMODEM Modem)
{
    KIRQL irql = SimLock(Modem);
    BOOLEAN plugged = Modem->Plugged;
    if (Modem->Child != nullptr && ((PCHILD_EXTENSION)Modem->Child->DeviceExtension)->Gone) {
        Modem->Child = nullptr;
    }
    SimUnlock(Modem, irql);
    return plugged;
}

// Should two enumerations overlap, the one that attaches second deletes its
// device object again, so that a modem never has two children.
static void AttachNewChild(PBUS_EXTENSION Bus, PMODEM Modem)
{
    PDEVICE_OBJECT child = SimCreateChild(Bus, Modem);
    if (child == nullptr) {
        return;
    }
    KIRQL irql = SimLock(Modem);
    PDEVICE_OBJECT spare = Modem->Child == nullptr ? nullptr : child;
    if (spare == nullptr) {
        Modem->Child = child;
    }
    SimUnlock(Modem, irql);
    if (spare != nullptr) {
        IoDeleteDevice(spare);
    }
}

// Builds the BusRelations answer: the relations a driver above may already
// have reported, then the child of every plugged modem.
static NTSTATUS QueryBusRelations(PBUS_EXTENSION Bus, PIRP Irp)
{
    PDEVICE_RELATIONS previous = (PDEVICE_RELATIONS)Irp->IoStatus.Information;
    ULONG previousCount = previous != nullptr ? previous->Count : 0;
    PDEVICE_OBJECT reported[SIM_MAX_MODEMS];
    ULONG count = previousCount;
    for (ULONG i = 0; i < SIM_MAX_MODEMS; i++) {
        PMODEM modem = &Bus->Modems[i];
        BOOLEAN plugged = TakeUnpluggedChild(modem);
        if (plugged && modem->Child == nullptr) {
            AttachNewChild(Bus, modem);
        }
        reported[i] = plugged ? modem->Child : nullptr;
        count += reported[i] != nullptr ? 1 : 0;
    }
    ULONG size = sizeof(DEVICE_RELATIONS) + (count > 0 ? count - 1 : 0) * sizeof(PDEVICE_OBJECT);
    PDEVICE_RELATIONS relations = (PDEVICE_RELATIONS)ExAllocatePool(PagedPool, size);
    if (relations == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    relations->Count = 0;
    for (ULONG i = 0; i < previousCount; i++) {
        relations->Objects[relations->Count++] = previous->Objects[i];
    }
    for (ULONG i = 0; i < SIM_MAX_MODEMS; i++) {
        if (reported[i] != nullptr) {
            ObReferenceObject(reported[i]);
            relations->Objects[relations->Count++] = reported[i];
        }
    }
    if (previous != nullptr) {
        ExFreePool(previous);
    }
    Irp->IoStatus.Information = (ULONG_PTR)relations;
    return STATUS_SUCCESS;
}

// The bus is going away: its children go with it, reported or not.
static void DeleteChildren(PBUS_EXTENSION Bus)
{
    for (ULONG i = 0; i < SIM_MAX_MODEMS; i++) {
        PMODEM modem = &Bus->Modems[i];
        SimStopTimer(modem);
        PDEVICE_OBJECT child = modem->Child;
        if (child != nullptr) {
            SimFailAllPending(modem, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEV_NOT_RESPONDING);
            modem->Child = nullptr;
        }
        // Nothing may complete from the modem's DPC once its memory is gone.
        SimDrainCompletions(modem);
        if (child != nullptr) {
            IoDeleteDevice(child);
        }
    }
}

static NTSTATUS RemoveBus(PBUS_EXTENSION Bus, PIRP Irp)
{
    DeleteChildren(Bus);
    SimDeleteControlDevice(Bus);
    SimBus = nullptr;
    Irp->IoStatus.Status = STATUS_SUCCESS;
    NTSTATUS status = SimBusPassDown(Bus, Irp);
    IoDetachDevice(Bus->LowerDevice);
    IoDeleteDevice(Bus->Self);
    return status;
}

NTSTATUS SimBusPnp(PBUS_EXTENSION Bus, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS status;
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        status = ForwardAndWait(Bus, Irp);
        if (NT_SUCCESS(status)) {
            // Some PnP managers (Wine's) ask a root-enumerated bus for its
            // children only when it says they changed.
            IoInvalidateDeviceRelations(Bus->Pdo, BusRelations);
        }
        Irp->IoStatus.Status = status;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return status;
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (stack->Parameters.QueryDeviceRelations.Type != BusRelations) {
            break;
        }
        status = QueryBusRelations(Bus, Irp);
        if (!NT_SUCCESS(status)) {
            Irp->IoStatus.Status = status;
            IoCompleteRequest(Irp, IO_NO_INCREMENT);
            return status;
        }
        Irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    case IRP_MN_REMOVE_DEVICE:
        return RemoveBus(Bus, Irp);
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
        Irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    default:
        break;
    }
    return SimBusPassDown(Bus, Irp);
}

} // extern "C"
