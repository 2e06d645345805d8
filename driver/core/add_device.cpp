// AddDevice: the function device object of one port, attached above the
// child's physical device object, with its record initialised.
#include "driver/core/core.h"
#include "driver/serial/serial.h"

extern "C" {
// Numbers are consumed by every AddDevice that gets as far as creating its
// device object and never reused while the driver stays loaded.
LONG InstanceCounter = 0;
}

// Room for "\Device\ZQEVDODIAG" and any decimal instance number.
static const USHORT WorkingNameSize = 256;
static const USHORT NumberBufferSize = 40;

// Locks, queues, the read timer and the counters. IdleEvent is initialised
// here as well as at every open: a drain clears it even when it had nothing
// to wait for, a removal before the first open included.
static void InitializeRecord(PDEVICE_EXTENSION Extension)
{
    KeInitializeEvent(&Extension->IdleEvent, SynchronizationEvent, FALSE);
    IoInitializeRemoveLockEx(&Extension->RemoveLock, 0, 0, 0, REMOVE_LOCK_SIZE);
    KeInitializeSpinLock(&Extension->Lock);
    InitializeListHead(&Extension->ReadQueue);
    InitializeListHead(&Extension->WaitQueue);
    InitializeListHead(&Extension->WriteQueue);
    KeInitializeTimer(&Extension->ReadTimer);
    KeInitializeDpc(&Extension->ReadTimerDpc, ReadTimeoutDpc, Extension);
    KeInitializeSpinLock(&Extension->StateLock);
    Extension->FailureMarker = 0;
    Extension->PortOpen = FALSE;
    ExInitializeFastMutex(&Extension->OpenMutex);
    ExInitializeFastMutex(&Extension->CloseMutex);
    ExInitializeFastMutex(&Extension->ReaderMutex);
    ExInitializeFastMutex(&Extension->DrainMutex);
    Extension->ReadTimerState = ReadTimerIdle;
    Extension->OutstandingIo = 1;
}

static void SetInitialPowerState(PDEVICE_OBJECT DeviceObject, PDEVICE_EXTENSION Extension)
{
    Extension->SystemPowerState = PowerSystemWorking;
    Extension->DevicePowerState = PowerDeviceD0;
    POWER_STATE State;
    State.DeviceState = PowerDeviceD0;
    PoSetPowerState(DeviceObject, DevicePowerState, State);
}

// Everything between the creation of the device object and its readiness. On
// failure the caller undoes what the record shows was done.
static NTSTATUS SetUpDevice(PDEVICE_OBJECT DeviceObject, PDEVICE_OBJECT Pdo, PCUNICODE_STRING Name)
{
    PDEVICE_EXTENSION Extension = GetExtension(DeviceObject);
    RtlZeroMemory(Extension, sizeof(DeviceExtension));
    Extension->Self = DeviceObject;
    Extension->Pdo = Pdo;
    // A copy of the name with a zero after it: the port naming uses it as a
    // registry value name.
    if (!NT_SUCCESS(AllocateUnicodeString(&Extension->DeviceName, Name->Length))) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlCopyUnicodeString(&Extension->DeviceName, Name);
    Extension->PnpState = NotStarted;
    DeviceObject->Flags |= DO_BUFFERED_IO;
    Extension->LowerDevice = IoAttachDeviceToDeviceStack(DeviceObject, Pdo);
    if (Extension->LowerDevice == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    DeviceObject->Flags |= DO_POWER_PAGABLE;
    Extension->AbortIrp = IoAllocateIrp(Extension->LowerDevice->StackSize, FALSE);
    Extension->ReaderIrp = IoAllocateIrp(Extension->LowerDevice->StackSize, FALSE);
    Extension->ReaderWorkItem = IoAllocateWorkItem(DeviceObject);
    if (Extension->AbortIrp == NULL || Extension->ReaderIrp == NULL || Extension->ReaderWorkItem == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    // Registered now, enabled only once the device has started.
    return IoRegisterDeviceInterface(Pdo, &GUID_DEVINTERFACE_COMPORT, NULL, &Extension->InterfaceName);
}

static void UndoSetUp(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION Extension = GetExtension(DeviceObject);
    if (Extension->InterfaceName.Buffer != NULL) {
        RtlFreeUnicodeString(&Extension->InterfaceName);
    }
    if (Extension->DeviceName.Buffer != NULL) {
        ExFreePool(Extension->DeviceName.Buffer);
        Extension->DeviceName.Buffer = NULL;
    }
    if (Extension->AbortIrp != NULL) {
        IoFreeIrp(Extension->AbortIrp);
    }
    if (Extension->ReaderIrp != NULL) {
        IoFreeIrp(Extension->ReaderIrp);
    }
    if (Extension->ReaderWorkItem != NULL) {
        IoFreeWorkItem(Extension->ReaderWorkItem);
    }
    if (Extension->LowerDevice != NULL) {
        IoDetachDevice(Extension->LowerDevice);
    }
    IoDeleteDevice(DeviceObject);
}

// "\Device\ZQEVDODIAG<n>" into Name, consuming the next instance number.
static void AppendInstanceNumber(PUNICODE_STRING Name)
{
    WCHAR NumberBuffer[NumberBufferSize / sizeof(WCHAR)];
    UNICODE_STRING Number = {};
    Number.Length = 0;
    Number.MaximumLength = NumberBufferSize;
    Number.Buffer = NumberBuffer;
    LONG Instance = InterlockedIncrement(&InstanceCounter);
    RtlIntegerToUnicodeString(static_cast<ULONG>(Instance), 10, &Number);
    RtlAppendUnicodeStringToString(Name, &Number);
}

NTSTATUS AllocateUnicodeString(PUNICODE_STRING String, USHORT Size)
{
    // Two bytes beyond the maximum length stay zero, so whatever fits in the
    // string is always zero-terminated.
    ULONG Bytes = static_cast<ULONG>(Size) + sizeof(WCHAR);
    String->Buffer = static_cast<PWSTR>(ExAllocatePool(NonPagedPool, Bytes));
    if (String->Buffer == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(String->Buffer, Bytes);
    String->Length = 0;
    String->MaximumLength = Size;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject)
{
    UNICODE_STRING Name;
    AllocateUnicodeString(&Name, WorkingNameSize);
    if (Name.Buffer == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlAppendUnicodeToString(&Name, L"\\Device\\ZQEVDODIAG");
    AppendInstanceNumber(&Name);

    PDEVICE_OBJECT DeviceObject = NULL;
    NTSTATUS Status = IoCreateDevice(DriverObject, sizeof(DeviceExtension), &Name, FILE_DEVICE_SERIAL_PORT,
                                     FILE_DEVICE_SECURE_OPEN, TRUE, &DeviceObject);
    if (NT_SUCCESS(Status)) {
        Status = SetUpDevice(DeviceObject, PhysicalDeviceObject, &Name);
        if (NT_SUCCESS(Status)) {
            PDEVICE_EXTENSION Extension = GetExtension(DeviceObject);
            SetInitialPowerState(DeviceObject, Extension);
            InitializeRecord(Extension);
            DeviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
        } else {
            UndoSetUp(DeviceObject);
        }
    }
    ExFreePool(Name.Buffer);
    return Status;
}
