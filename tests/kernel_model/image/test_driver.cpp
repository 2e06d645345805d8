// A minimal driver image for the loader's tests: it counts its loads in a
// global (fresh at every load), remembers its registry path, creates one
// device per AddDevice and deletes it at removal.
#include <km/nt.h>

extern "C" {

__attribute__((visibility("default"))) LONG LoadCount = 0;
__attribute__((visibility("default"))) LONG UnloadCount = 0;
__attribute__((visibility("default"))) WCHAR RegistryPathSeen[128];

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
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

static VOID NTAPI Unload(PDRIVER_OBJECT DriverObject)
{
    (void)DriverObject;
    ++UnloadCount;
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
    DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
    DriverObject->DriverExtension->AddDevice = AddDevice;
    DriverObject->DriverUnload = Unload;
    return IoIsWdmVersionAvailable(1, 0) ? STATUS_SUCCESS : STATUS_NOT_SUPPORTED;
}

} // extern "C"
