// Entry point, AddDevice and the dispatch routines of the simulated modem bus
// driver. Each dispatch routine sends the request to the bus FDO's or the
// child's handler, told apart by the signature at the start of the extension.
#include "modem_sim/sim.h"

extern "C" {

// The running bus (one root device); ModemControl reaches the modems through it.
PBUS_EXTENSION SimBus = nullptr;

static ULONG SignatureOf(PDEVICE_OBJECT DeviceObject)
{
    return ((PSIM_COMMON)DeviceObject->DeviceExtension)->Signature;
}

// Completes the request with the status it already carries.
static NTSTATUS CompleteWithCarriedStatus(PIRP Irp)
{
    NTSTATUS status = Irp->IoStatus.Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

static NTSTATUS Refuse(PIRP Irp)
{
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

static NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    switch (SignatureOf(DeviceObject)) {
    case SIM_BUS_SIGNATURE:
        return SimBusPnp((PBUS_EXTENSION)DeviceObject->DeviceExtension, Irp);
    case SIM_CHILD_SIGNATURE:
        return SimChildPnp((PCHILD_EXTENSION)DeviceObject->DeviceExtension, Irp);
    default:
        return Refuse(Irp);
    }
}

static NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    switch (SignatureOf(DeviceObject)) {
    case SIM_BUS_SIGNATURE:
        return SimBusPower((PBUS_EXTENSION)DeviceObject->DeviceExtension, Irp);
    case SIM_CHILD_SIGNATURE:
        return SimChildPower((PCHILD_EXTENSION)DeviceObject->DeviceExtension, Irp);
    default:
        PoStartNextPowerIrp(Irp);
        return Refuse(Irp);
    }
}

static NTSTATUS NTAPI DispatchInternalControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    switch (SignatureOf(DeviceObject)) {
    case SIM_BUS_SIGNATURE:
        return SimBusPassDown((PBUS_EXTENSION)DeviceObject->DeviceExtension, Irp);
    case SIM_CHILD_SIGNATURE:
        return SimChildInternalControl((PCHILD_EXTENSION)DeviceObject->DeviceExtension, Irp);
    default:
        return Refuse(Irp);
    }
}

// Everything else: the control device serves its own requests; the bus
// passes the rest to the root device below; the child, which has nothing
// below it, answers system control with the status it carries and refuses
// the rest.
static NTSTATUS NTAPI DispatchOther(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    ULONG signature = SignatureOf(DeviceObject);
    if (signature == SIM_CONTROL_SIGNATURE) {
        return SimControlDispatch(Irp);
    }
    if (signature == SIM_BUS_SIGNATURE) {
        return SimBusPassDown((PBUS_EXTENSION)DeviceObject->DeviceExtension, Irp);
    }
    if (signature == SIM_CHILD_SIGNATURE && IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_SYSTEM_CONTROL) {
        return CompleteWithCarriedStatus(Irp);
    }
    return Refuse(Irp);
}

static NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT Pdo)
{
    if (SimBus != nullptr) {
        // One simulated bus per system: the control entry addresses it alone.
        return STATUS_DEVICE_BUSY;
    }
    PDEVICE_OBJECT fdo = nullptr;
    NTSTATUS status = IoCreateDevice(DriverObject, sizeof(BUS_EXTENSION), nullptr, FILE_DEVICE_BUS_EXTENDER,
                                     FILE_DEVICE_SECURE_OPEN, FALSE, &fdo);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PBUS_EXTENSION bus = (PBUS_EXTENSION)fdo->DeviceExtension;
    bus->Common.Signature = SIM_BUS_SIGNATURE;
    bus->Self = fdo;
    bus->Pdo = Pdo;
    for (ULONG i = 0; i < SIM_MAX_MODEMS; i++) {
        SimInitializeModem(bus, &bus->Modems[i], i);
    }
    status = SimCreateControlDevice(bus);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(fdo);
        return status;
    }
    bus->LowerDevice = IoAttachDeviceToDeviceStack(fdo, Pdo);
    if (bus->LowerDevice == nullptr) {
        SimDeleteControlDevice(bus);
        IoDeleteDevice(fdo);
        return STATUS_NO_SUCH_DEVICE;
    }
    fdo->Flags |= DO_POWER_PAGABLE;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    SimBus = bus;
    return STATUS_SUCCESS;
}

static VOID NTAPI DriverUnload(PDRIVER_OBJECT DriverObject)
{
    UNREFERENCED_PARAMETER(DriverObject);
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    UNREFERENCED_PARAMETER(RegistryPath);
    for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; i++) {
        DriverObject->MajorFunction[i] = DispatchOther;
    }
    DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    DriverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    DriverObject->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchInternalControl;
    DriverObject->DriverExtension->AddDevice = AddDevice;
    DriverObject->DriverUnload = DriverUnload;
    return STATUS_SUCCESS;
}

} // extern "C"
