// Serial port face: open and close, reads, writes, control requests,
// wait-on-mask and the cancelling of queues.
#pragma once

#include "driver/core/device_extension.h"

extern "C" {

NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchFlush(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchRead(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
VOID NTAPI ReadTimeoutDpc(PKDPC Dpc, PVOID Context, PVOID SystemArgument1, PVOID SystemArgument2);

// Wait-on-mask and queue cancelling.
NTSTATUS WaitOnMask(PDEVICE_EXTENSION Extension, PIRP Irp);
NTSTATUS QueueWaitRequest(PDEVICE_EXTENSION Extension, PIRP Irp, BOOLEAN LockHeld);
PIRP DequeueWaitRequest(PDEVICE_EXTENSION Extension, BOOLEAN LockHeld);
VOID CompleteWaitRequest(PDEVICE_EXTENSION Extension, ULONG Events, BOOLEAN LockHeld);
VOID NTAPI WaitCancelRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp);
VOID CancelQueue(PDEVICE_OBJECT DeviceObject, PLIST_ENTRY Queue);
VOID CancelReadQueue(PDEVICE_OBJECT DeviceObject, PLIST_ENTRY Queue);
VOID CancelAllQueues(PDEVICE_OBJECT DeviceObject);

} // extern "C"
