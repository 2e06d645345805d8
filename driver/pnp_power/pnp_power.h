// Plug and Play and power: the PnP dispatcher and its handlers, start and the
// port's names, the power requests.
#pragma once

#include "driver/core/device_extension.h"

extern "C" {

typedef NTSTATUS (*PNP_HANDLER)(PDEVICE_OBJECT DeviceObject, PIRP Irp);

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// The power state machine (power.cpp).
struct PowerContext;
NTSTATUS PowerStateMachine(PowerContext *Context, LONG Event);
NTSTATUS PassDownPower(PDEVICE_EXTENSION Extension, PIRP Irp);
NTSTATUS NTAPI PowerIrpCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
VOID NTAPI PowerRequestCompletion(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                  PVOID Context, PIO_STATUS_BLOCK IoStatus);

NTSTATUS HandleStartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS HandleQueryRemove(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS HandleRemove(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS HandleCancelRemove(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS HandleStop(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS HandleQueryStop(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS HandleCancelStop(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS HandleQueryCapabilities(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS HandleSurpriseRemoval(PDEVICE_OBJECT DeviceObject, PIRP Irp);
BOOLEAN IsDeviceUnusable(PDEVICE_EXTENSION Extension);
VOID DetachAndDelete(PDEVICE_OBJECT DeviceObject);

NTSTATUS GetPipeHandles(PDEVICE_OBJECT DeviceObject);
NTSTATUS ReadPortName(PDEVICE_EXTENSION Extension, PWCHAR Buffer, ULONG BufferSize);
NTSTATUS CreatePortNames(PDEVICE_EXTENSION Extension);
NTSTATUS RemovePortNames(PDEVICE_EXTENSION Extension);
VOID RemovePortNamesOnce(PDEVICE_EXTENSION Extension, BOOLEAN Remove);
NTSTATUS DeletePortLink(PDEVICE_EXTENSION Extension);
NTSTATUS EnableInterface(PDEVICE_EXTENSION Extension, BOOLEAN Enable);
VOID DisableInterface(PDEVICE_EXTENSION Extension);

} // extern "C"
