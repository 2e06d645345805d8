// USB transfer engine: URB submission, the receive ring, the bulk-in reader.
#pragma once

#include "driver/core/device_extension.h"

extern "C" {

// URB submission (urb.cpp).
VOID PrepareUrbLocation(PIRP Irp, PURB Urb);
VOID BuildBulkTransferUrb(PURB Urb, USBD_PIPE_HANDLE Pipe, ULONG Flags, PVOID Buffer, ULONG Length);
NTSTATUS SubmitUrbAsync(PDEVICE_OBJECT Target, PURB Urb, PIO_COMPLETION_ROUTINE Routine, PVOID Context, PBOOLEAN Sent);
NTSTATUS SubmitUrbSync(PDEVICE_OBJECT DeviceObject, PURB Urb);
NTSTATUS ResetPipe(PDEVICE_OBJECT DeviceObject, USBD_PIPE_HANDLE Pipe);
NTSTATUS AbortPipe(PDEVICE_OBJECT DeviceObject, USBD_PIPE_HANDLE Pipe);
NTSTATUS ResetPipes(PDEVICE_OBJECT DeviceObject);
VOID AbortDataPipes(PDEVICE_OBJECT DeviceObject);
VOID StopPipes(PDEVICE_OBJECT DeviceObject);
BOOLEAN PipesUsable(LONG PnpState);
BOOLEAN FailedOnHaltedPipe(PURB Urb);

// The receive ring (ring.cpp).
NTSTATUS RingPut(PDEVICE_EXTENSION Extension, const UCHAR *Source, ULONG Length, PULONG Taken);
NTSTATUS RingGet(PDEVICE_EXTENSION Extension, PUCHAR Destination, ULONG Wanted, PULONG Delivered);
LONG GetRingCount(PDEVICE_EXTENSION Extension);
NTSTATUS RingReset(PDEVICE_EXTENSION Extension);

// The continuous bulk-in reader (bulk_in_reader.cpp).
NTSTATUS StartBulkInRead(PDEVICE_EXTENSION Extension, USBD_PIPE_HANDLE Pipe);
VOID RestartBulkInRead(PDEVICE_EXTENSION Extension);
VOID RecoverBulkInRead(PDEVICE_EXTENSION Extension);
VOID StartBulkInReadForOpen(PDEVICE_EXTENSION Extension);
VOID ResumeBulkInRead(PDEVICE_EXTENSION Extension);
NTSTATUS NTAPI BulkInComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
BOOLEAN NoteFatalReadError(PDEVICE_EXTENSION Extension, PURB Urb, NTSTATUS Status, PLIST_ENTRY Done);

} // extern "C"
