// A minimal driver image for the loader's tests: it counts its loads in a
// global (fresh at every load), remembers its registry path, creates one
// device per AddDevice and deletes it at removal. Asked to, its unload leaves
// behind what the kernel would still call in the image, or pool.
#include <km/nt.h>

extern "C" {

__attribute__((visibility("default"))) LONG LoadCount = 0;
__attribute__((visibility("default"))) LONG UnloadCount = 0;
__attribute__((visibility("default"))) WCHAR RegistryPathSeen[128];

// Bits of what DriverUnload leaves behind.
enum { LeaveTimer = 1, LeaveDpc = 2, LeaveWorkItem = 4, LeavePool = 8 };
__attribute__((visibility("default"))) LONG LeaveAtUnload = 0;
static KTIMER LeftTimer;
static KDPC LeftDpc;
static WORK_QUEUE_ITEM LeftItem;

static VOID NTAPI LeftDpcRoutine(PKDPC, PVOID, PVOID, PVOID)
{
}

static VOID NTAPI LeftWorkRoutine(PVOID)
{
}

static NTSTATUS NTAPI FreeOwnIrp(PDEVICE_OBJECT, PIRP Irp, PVOID)
{
    IoFreeIrp(Irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends an IRP of the driver's own, with its completion routine, to `Target`.
__attribute__((visibility("default"))) VOID NTAPI SendOwnIrp(PDEVICE_OBJECT Target)
{
    PIRP irp = IoAllocateIrp(Target->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp, FreeOwnIrp, nullptr, TRUE, TRUE, TRUE);
    IofCallDriver(Target, irp);
}

// A work item that waits, once started, until OpenWorkGate.
static KEVENT WorkGate;
static WORK_QUEUE_ITEM GatedItem;

static VOID NTAPI GatedWorkRoutine(PVOID)
{
    KeWaitForSingleObject(&WorkGate, Executive, KernelMode, FALSE, nullptr);
}

__attribute__((visibility("default"))) VOID NTAPI StartGatedWork()
{
    KeInitializeEvent(&WorkGate, NotificationEvent, FALSE);
    ExInitializeWorkItem(&GatedItem, GatedWorkRoutine, nullptr);
    ExQueueWorkItem(&GatedItem, DelayedWorkQueue);
}

__attribute__((visibility("default"))) VOID NTAPI OpenWorkGate()
{
    KeSetEvent(&WorkGate, IO_NO_INCREMENT, FALSE);
}

static VOID LeaveBehind()
{
    KeInitializeDpc(&LeftDpc, LeftDpcRoutine, nullptr);
    if (LeaveAtUnload & LeaveTimer) {
        KeInitializeTimer(&LeftTimer);
        LARGE_INTEGER due;
        due.QuadPart = -10000000;
        KeSetTimer(&LeftTimer, due, &LeftDpc);
    }
    if (LeaveAtUnload & LeaveDpc) {
        KeInsertQueueDpc(&LeftDpc, nullptr, nullptr);
    }
    if (LeaveAtUnload & LeaveWorkItem) {
        ExInitializeWorkItem(&LeftItem, LeftWorkRoutine, nullptr);
        ExQueueWorkItem(&LeftItem, DelayedWorkQueue);
    }
    if (LeaveAtUnload & LeavePool) {
        ExAllocatePool(NonPagedPool, 40);
    }
}

// Cleared, AddDevice leaves DO_POWER_PAGABLE off above a pageable device.
__attribute__((visibility("default"))) LONG CopyPowerPagable = 1;

struct TestExtension {
    PDEVICE_OBJECT Lower;
};

static NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    TestExtension *ext = static_cast<TestExtension *>(DeviceObject->DeviceExtension);
    UCHAR minor = IoGetCurrentIrpStackLocation(Irp)->MinorFunction;
    PDEVICE_OBJECT lower = ext->Lower;
    if (minor == IRP_MN_START_DEVICE || minor == IRP_MN_QUERY_REMOVE_DEVICE || minor == IRP_MN_REMOVE_DEVICE) {
        Irp->IoStatus.Status = STATUS_SUCCESS;
    }
    IoSkipCurrentIrpStackLocation(Irp);
    NTSTATUS status = IofCallDriver(lower, Irp);
    if (minor == IRP_MN_REMOVE_DEVICE) {
        IoDetachDevice(lower);
        IoDeleteDevice(DeviceObject);
    }
    return status;
}

// Called with every power request the driver's devices get, when set.
__attribute__((visibility("default"))) VOID (*PowerSeen)(PDEVICE_OBJECT, PIRP) = nullptr;

static NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    if (PowerSeen != nullptr) {
        PowerSeen(DeviceObject, Irp);
    }
    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    return PoCallDriver(static_cast<TestExtension *>(DeviceObject->DeviceExtension)->Lower, Irp);
}

static NTSTATUS NTAPI DispatchCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    (void)DeviceObject;
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

static NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT Pdo)
{
    PDEVICE_OBJECT fdo;
    NTSTATUS status = IoCreateDevice(DriverObject, sizeof(TestExtension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    TestExtension *ext = static_cast<TestExtension *>(fdo->DeviceExtension);
    ext->Lower = IoAttachDeviceToDeviceStack(fdo, Pdo);
    if (ext->Lower == nullptr) {
        IoDeleteDevice(fdo);
        return STATUS_NO_SUCH_DEVICE;
    }
    if (CopyPowerPagable) {
        fdo->Flags |= ext->Lower->Flags & DO_POWER_PAGABLE;
    }
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

static VOID NTAPI Unload(PDRIVER_OBJECT DriverObject)
{
    (void)DriverObject;
    ++UnloadCount;
    LeaveBehind();
}

__attribute__((visibility("default"))) NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject,
                                                                  PUNICODE_STRING RegistryPath)
{
    ++LoadCount;
    USHORT n = RegistryPath->Length / sizeof(WCHAR);
    for (USHORT i = 0; i < n && i < 127; ++i) {
        RegistryPathSeen[i] = RegistryPath->Buffer[i];
    }
    DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    DriverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
    DriverObject->DriverExtension->AddDevice = AddDevice;
    DriverObject->DriverUnload = Unload;
    return IoIsWdmVersionAvailable(1, 0) ? STATUS_SUCCESS : STATUS_NOT_SUPPORTED;
}

} // extern "C"
