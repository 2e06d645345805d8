// Driver core: entry point, dispatch table, AddDevice, request accounting and
// forwarding. Routines have C linkage so that the host tests can find them in
// the loaded driver image by name.
#pragma once

#include "driver/core/device_extension.h"

extern "C" {

// The driver's only global: the number given to the last device added.
extern LONG InstanceCounter;

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
VOID NTAPI DriverUnload(PDRIVER_OBJECT DriverObject);
NTSTATUS NTAPI DispatchForward(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS CopyAndPassDown(PDEVICE_OBJECT DeviceObject, PIRP Irp);

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject);
NTSTATUS AllocateUnicodeString(PUNICODE_STRING String, USHORT Size);

LONG IncrementIo(PDEVICE_EXTENSION Extension);
VOID DecrementIo(PDEVICE_EXTENSION Extension);
VOID WaitForIdle(PDEVICE_OBJECT DeviceObject);
typedef VOID (*PCOUNTED_WORK_ROUTINE)(PDEVICE_EXTENSION Extension);
NTSTATUS QueueCountedWork(PDEVICE_EXTENSION Extension, PCOUNTED_WORK_ROUTINE Routine);
NTSTATUS PassDown(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS SyncForwardToLower(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS ForwardAndWait(PDEVICE_OBJECT TargetDevice, PIRP Irp);
NTSTATUS NTAPI ForwardCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status);
NTSTATUS CompleteRequestWithInformation(PIRP Irp, NTSTATUS Status, ULONG_PTR Information);
VOID CompleteTakenRequests(PDEVICE_EXTENSION Extension, PLIST_ENTRY Done);

// The remove-lock convention: the IRP is the tag, an empty file name, line 1.
NTSTATUS AcquireRemoveLock(PDEVICE_EXTENSION Extension, PIRP Irp);
VOID ReleaseRemoveLock(PDEVICE_EXTENSION Extension, PIRP Irp);

} // extern "C"
