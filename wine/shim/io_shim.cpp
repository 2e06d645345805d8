// The Wine harness's I/O shim. Wine's I/O manager differs from the Windows one
// in two ways that matter to an exclusive port:
//  - it never sends IRP_MJ_CLEANUP: CloseHandle sends IRP_MJ_CLOSE alone, so
//    the port's close would wait for a reader that cleanup should have stopped;
//  - it drops the status of IRP_MJ_CREATE: CreateFile succeeds once the name
//    resolves, so a refused second open leaves the application a handle.
// Under Wine the simulated modem's bus therefore puts a shim device on top of
// its child's stack, above the port, when the child starts (Wine honours no
// UpperFilters value), and the shim does what Windows would:
//  - before it passes a close down, it sends a cleanup for the same file
//    object (unless Wine sent one itself);
//  - it remembers the file objects whose create the port refused, fails every
//    later request on them with that status, so the application sees the
//    refusal at its first I/O, and completes their cleanup and close itself:
//    passed down, they would clear the first opener's state and stop its pipes.
// Everything else passes through unchanged. The image's entry point is
// ShimDriverEntry, which runs the bus driver's DriverEntry and then routes the
// shim's devices, which belong to the bus driver's object, to the shim.
#include "modem_sim/sim.h"

extern "C" {

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

#define SHIM_SIGNATURE 0x4D494853UL // 'SHIM'

typedef struct _SHIM_EXTENSION {
    ULONG Signature;      // first, as in the bus driver's own extensions
    PDEVICE_OBJECT Lower; // the port's device object
    KSPIN_LOCK Lock;      // guards Files
    LIST_ENTRY Files;     // SHIM_FILE records
} SHIM_EXTENSION, *PSHIM_EXTENSION;

// A file object the shim must treat differently from a plain open one.
typedef struct _SHIM_FILE {
    LIST_ENTRY Link;
    PFILE_OBJECT FileObject;
    NTSTATUS Refusal;  // the failure status of its create, or STATUS_SUCCESS
    BOOLEAN CleanedUp; // Wine sent its cleanup itself
} SHIM_FILE, *PSHIM_FILE;

static PDRIVER_OBJECT ShimDriver;
static PDRIVER_DISPATCH BusDispatch[IRP_MJ_MAXIMUM_FUNCTION + 1];

static PSHIM_EXTENSION ShimOf(PDEVICE_OBJECT DeviceObject)
{
    if (DeviceObject->DriverObject != ShimDriver || DeviceObject->DeviceExtension == nullptr) {
        return nullptr;
    }
    PSHIM_EXTENSION shim = (PSHIM_EXTENSION)DeviceObject->DeviceExtension;
    return shim->Signature == SHIM_SIGNATURE ? shim : nullptr;
}

// ---------------------------------------------------------------- file records

// Under the lock; nullptr when the file object has no record.
static PSHIM_FILE FindFileLocked(PSHIM_EXTENSION Shim, PFILE_OBJECT FileObject)
{
    for (PLIST_ENTRY entry = Shim->Files.Flink; entry != &Shim->Files; entry = entry->Flink) {
        PSHIM_FILE file = CONTAINING_RECORD(entry, SHIM_FILE, Link);
        if (file->FileObject == FileObject) {
            return file;
        }
    }
    return nullptr;
}

// What the shim knows of the file object; a plain open file when nothing.
static SHIM_FILE LookUpFile(PSHIM_EXTENSION Shim, PFILE_OBJECT FileObject)
{
    SHIM_FILE found = {};
    found.Refusal = STATUS_SUCCESS;
    KIRQL irql;
    KeAcquireSpinLock(&Shim->Lock, &irql);
    PSHIM_FILE file = FindFileLocked(Shim, FileObject);
    if (file != nullptr) {
        found = *file;
    }
    KeReleaseSpinLock(&Shim->Lock, irql);
    return found;
}

// Without memory for the record the file is treated as a plain open one.
static void RememberFile(PSHIM_EXTENSION Shim, PFILE_OBJECT FileObject, NTSTATUS Refusal, BOOLEAN CleanedUp)
{
    PSHIM_FILE file = (PSHIM_FILE)ExAllocatePool(NonPagedPool, sizeof(SHIM_FILE));
    if (file == nullptr) {
        return;
    }
    file->FileObject = FileObject;
    file->Refusal = Refusal;
    file->CleanedUp = CleanedUp;
    KIRQL irql;
    KeAcquireSpinLock(&Shim->Lock, &irql);
    InsertTailList(&Shim->Files, &file->Link);
    KeReleaseSpinLock(&Shim->Lock, irql);
}

// The file object is closed; a later file object may have its address.
static void ForgetFile(PSHIM_EXTENSION Shim, PFILE_OBJECT FileObject)
{
    KIRQL irql;
    KeAcquireSpinLock(&Shim->Lock, &irql);
    PSHIM_FILE file = FindFileLocked(Shim, FileObject);
    if (file != nullptr) {
        RemoveEntryList(&file->Link);
    }
    KeReleaseSpinLock(&Shim->Lock, irql);
    if (file != nullptr) {
        ExFreePool(file);
    }
}

static void ForgetAllFiles(PSHIM_EXTENSION Shim)
{
    while (!IsListEmpty(&Shim->Files)) {
        ExFreePool(CONTAINING_RECORD(RemoveHeadList(&Shim->Files), SHIM_FILE, Link));
    }
}

// ---------------------------------------------------------------- requests

static NTSTATUS Complete(PIRP Irp, NTSTATUS Status)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

static NTSTATUS PassDown(PSHIM_EXTENSION Shim, PIRP Irp)
{
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(Shim->Lower, Irp);
}

// The create goes to the port; a refusal is remembered before the create is
// completed, so no request on the file object can come before it.
static NTSTATUS Create(PSHIM_EXTENSION Shim, PIRP Irp)
{
    IoCopyCurrentIrpStackLocationToNext(Irp);
    NTSTATUS status = SimCallAndWait(Shim->Lower, Irp);
    if (!NT_SUCCESS(status)) {
        RememberFile(Shim, IoGetCurrentIrpStackLocation(Irp)->FileObject, status, FALSE);
    }
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

// The cleanup that the Windows I/O manager sends when the last handle of a
// file object is closed, before its close.
static void SendCleanup(PSHIM_EXTENSION Shim, PFILE_OBJECT FileObject)
{
    PIRP irp = IoAllocateIrp(Shim->Lower->StackSize, FALSE);
    if (irp == nullptr) {
        return;
    }
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->Tail.Overlay.OriginalFileObject = FileObject;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_CLEANUP;
    next->FileObject = FileObject;
    SimCallAndWait(Shim->Lower, irp);
    IoFreeIrp(irp);
}

static NTSTATUS Cleanup(PSHIM_EXTENSION Shim, PIRP Irp)
{
    PFILE_OBJECT fileObject = IoGetCurrentIrpStackLocation(Irp)->FileObject;
    if (!NT_SUCCESS(LookUpFile(Shim, fileObject).Refusal)) {
        return Complete(Irp, STATUS_SUCCESS);
    }
    RememberFile(Shim, fileObject, STATUS_SUCCESS, TRUE);
    return PassDown(Shim, Irp);
}

static NTSTATUS Close(PSHIM_EXTENSION Shim, PIRP Irp)
{
    PFILE_OBJECT fileObject = IoGetCurrentIrpStackLocation(Irp)->FileObject;
    SHIM_FILE file = LookUpFile(Shim, fileObject);
    ForgetFile(Shim, fileObject);
    if (!NT_SUCCESS(file.Refusal)) {
        return Complete(Irp, STATUS_SUCCESS);
    }
    if (!file.CleanedUp) {
        SendCleanup(Shim, fileObject);
    }
    return PassDown(Shim, Irp);
}

// The shim leaves the stack before the removal goes down: the port deletes its
// device object on the way, and the shim must not touch it afterwards.
static NTSTATUS Pnp(PDEVICE_OBJECT DeviceObject, PSHIM_EXTENSION Shim, PIRP Irp)
{
    if (IoGetCurrentIrpStackLocation(Irp)->MinorFunction != IRP_MN_REMOVE_DEVICE) {
        return PassDown(Shim, Irp);
    }
    PDEVICE_OBJECT lower = Shim->Lower;
    IoDetachDevice(lower);
    IoSkipCurrentIrpStackLocation(Irp);
    NTSTATUS status = IoCallDriver(lower, Irp);
    ForgetAllFiles(Shim);
    IoDeleteDevice(DeviceObject);
    return status;
}

static NTSTATUS ShimDispatch(PDEVICE_OBJECT DeviceObject, PSHIM_EXTENSION Shim, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    switch (stack->MajorFunction) {
    case IRP_MJ_CREATE:
        return Create(Shim, Irp);
    case IRP_MJ_CLEANUP:
        return Cleanup(Shim, Irp);
    case IRP_MJ_CLOSE:
        return Close(Shim, Irp);
    case IRP_MJ_PNP:
        return Pnp(DeviceObject, Shim, Irp);
    case IRP_MJ_POWER:
        PoStartNextPowerIrp(Irp);
        IoSkipCurrentIrpStackLocation(Irp);
        return PoCallDriver(Shim->Lower, Irp);
    default:
        break;
    }
    NTSTATUS refusal = stack->FileObject != nullptr ? LookUpFile(Shim, stack->FileObject).Refusal : STATUS_SUCCESS;
    if (!NT_SUCCESS(refusal)) {
        return Complete(Irp, refusal);
    }
    return PassDown(Shim, Irp);
}

// ---------------------------------------------------------------- attaching

// On top of the stack whose PDO is given, above the function driver.
static void AttachShim(PDEVICE_OBJECT Pdo)
{
    PDEVICE_OBJECT top = IoGetAttachedDevice(Pdo);
    PDEVICE_OBJECT device = nullptr;
    if (!NT_SUCCESS(IoCreateDevice(ShimDriver, sizeof(SHIM_EXTENSION), nullptr, top->DeviceType, top->Characteristics,
                                   FALSE, &device))) {
        return;
    }
    PSHIM_EXTENSION shim = (PSHIM_EXTENSION)device->DeviceExtension;
    shim->Signature = SHIM_SIGNATURE;
    KeInitializeSpinLock(&shim->Lock);
    InitializeListHead(&shim->Files);
    shim->Lower = IoAttachDeviceToDeviceStack(device, Pdo);
    if (shim->Lower == nullptr) {
        IoDeleteDevice(device);
        return;
    }
    // The I/O manager builds requests for the top of the stack: buffering as
    // the port asks for it.
    device->Flags |= shim->Lower->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
}

// Every request to a device of the bus driver comes here first. A start of a
// device that has a function driver above it (the modem's child) puts the
// shim on top, once: the port's device object exists by then, and no handle
// can be opened before the port has started.
static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PSHIM_EXTENSION shim = ShimOf(DeviceObject);
    if (shim != nullptr) {
        return ShimDispatch(DeviceObject, shim, Irp);
    }
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->MajorFunction == IRP_MJ_PNP && stack->MinorFunction == IRP_MN_START_DEVICE &&
        DeviceObject->AttachedDevice != nullptr && ShimOf(IoGetAttachedDevice(DeviceObject)) == nullptr) {
        AttachShim(DeviceObject);
    }
    return BusDispatch[stack->MajorFunction](DeviceObject, Irp);
}

NTSTATUS NTAPI ShimDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    NTSTATUS status = DriverEntry(DriverObject, RegistryPath);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ShimDriver = DriverObject;
    for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; i++) {
        BusDispatch[i] = DriverObject->MajorFunction[i];
        DriverObject->MajorFunction[i] = Dispatch;
    }
    return STATUS_SUCCESS;
}

} // extern "C"
