// Serial port face: open and close, reads, writes, control requests,
// wait-on-mask and the cancelling of queues.
#pragma once

#include "driver/core/device_extension.h"

extern "C" {

// A queued request is linked through this entry.
inline PLIST_ENTRY RequestEntry(PIRP Irp)
{
    return &Irp->Tail.Overlay.ListEntry;
}

NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchFlush(PDEVICE_OBJECT DeviceObject, PIRP Irp);
VOID ResetPortState(PDEVICE_EXTENSION Extension);
NTSTATUS NTAPI DispatchRead(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Queues of requests with cancel routines (request_queue.cpp); Lock held.
NTSTATUS LinkCancelableRequest(PLIST_ENTRY Queue, PIRP Irp, PDRIVER_CANCEL Routine);
PIRP TakeCancelableRequest(PLIST_ENTRY Queue);
VOID CompleteCancelledRequest(PDEVICE_EXTENSION Extension, PIRP Irp);
NTSTATUS CheckPortServes(PDEVICE_EXTENSION Extension);

// Reads (read.cpp). Called with Lock held, except the cancel routine.
NTSTATUS QueueReadRequest(PDEVICE_EXTENSION Extension, PIRP Irp);
PIRP DequeueReadRequest(PDEVICE_EXTENSION Extension);
VOID ServeQueuedReads(PDEVICE_EXTENSION Extension, PLIST_ENTRY Done);
VOID NTAPI ReadCancelRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp);
VOID EndWaitingRead(PDEVICE_EXTENSION Extension, NTSTATUS Status, PLIST_ENTRY Done);

// Writes (write.cpp). Queue and dequeue with Lock held.
NTSTATUS QueueWriteRequest(PDEVICE_EXTENSION Extension, PIRP Irp);
PIRP DequeueWriteRequest(PDEVICE_EXTENSION Extension);
NTSTATUS StartNextWrite(PDEVICE_EXTENSION Extension, PIRP *Next, PLIST_ENTRY Done);
NTSTATUS NTAPI BulkOutComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
VOID NTAPI WriteCancelRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp);
VOID NTAPI WriteStartWorker(PDEVICE_OBJECT DeviceObject, PVOID Context);
VOID EndQueuedWrites(PDEVICE_EXTENSION Extension, NTSTATUS Status, PLIST_ENTRY Done);

// A device judged failed while present (failed_device.cpp); Lock held.
VOID FailDevice(PDEVICE_EXTENSION Extension, PLIST_ENTRY Done);
BOOLEAN IsDeviceFailed(PDEVICE_EXTENSION Extension);

// Serial control requests (device_control.cpp).
NTSTATUS HandleSerialIoctl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
BOOLEAN IsValidBaudRate(ULONG Rate);
BOOLEAN IsValidWordLength(UCHAR WordLength);

// The read timeouts and the read timer (read_timer.cpp).
typedef struct _READ_TIMEOUT_PLAN {
    BOOLEAN Immediate; // an empty ring ends the read at once
    BOOLEAN Timed;     // a waiting read gets a timer of Multiplier x length + Constant ms
    ULONG Multiplier;
    ULONG Constant;
} READ_TIMEOUT_PLAN;
VOID PlanReadTimeout(const SERIAL_TIMEOUTS *Timeouts, READ_TIMEOUT_PLAN *Plan);
LONGLONG ReadTimeoutDueTime(ULONG Length, ULONG Multiplier, ULONG Constant);
VOID ArmReadTimer(PDEVICE_EXTENSION Extension, LONGLONG DueTime);
VOID CancelReadTimer(PDEVICE_EXTENSION Extension);
VOID NTAPI ReadTimeoutDpc(PKDPC Dpc, PVOID Context, PVOID SystemArgument1, PVOID SystemArgument2);

// Wait-on-mask and queue cancelling.
NTSTATUS WaitOnMask(PDEVICE_EXTENSION Extension, PIRP Irp);
NTSTATUS QueueWaitRequest(PDEVICE_EXTENSION Extension, PIRP Irp, BOOLEAN LockHeld);
PIRP DequeueWaitRequest(PDEVICE_EXTENSION Extension, BOOLEAN LockHeld);
VOID CompleteWaitRequest(PDEVICE_EXTENSION Extension, ULONG Events, PLIST_ENTRY Done);
VOID NoteEvents(PDEVICE_EXTENSION Extension, ULONG Events, PLIST_ENTRY Done);
VOID EndPendingWait(PDEVICE_EXTENSION Extension, NTSTATUS Status, PLIST_ENTRY Done);
VOID NTAPI WaitCancelRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp);
VOID CancelQueue(PDEVICE_OBJECT DeviceObject, PLIST_ENTRY Queue);
VOID CancelReadQueue(PDEVICE_OBJECT DeviceObject, PLIST_ENTRY Queue);
VOID CancelAllQueues(PDEVICE_OBJECT DeviceObject);

} // extern "C"
