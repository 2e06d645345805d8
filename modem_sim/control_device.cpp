// The control device: a named device object of the bus driver through which
// Win32 programs under Wine reach ModemControl (the codes and records are in
// modem_control.h). It lives as long as the bus FDO.
#include "modem_sim/sim.h"

extern "C" {

static UNICODE_STRING ConstantName(PCWSTR Text, USHORT Bytes)
{
    UNICODE_STRING name;
    name.Length = Bytes - sizeof(WCHAR);
    name.MaximumLength = Bytes;
    name.Buffer = (PWSTR)Text;
    return name;
}

NTSTATUS SimCreateControlDevice(PBUS_EXTENSION Bus)
{
    UNICODE_STRING name = ConstantName(MODEM_CONTROL_DEVICE_NAME, sizeof(MODEM_CONTROL_DEVICE_NAME));
    UNICODE_STRING link = ConstantName(MODEM_CONTROL_LINK_NAME, sizeof(MODEM_CONTROL_LINK_NAME));
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(Bus->Self->DriverObject, sizeof(SIM_COMMON), &name, FILE_DEVICE_UNKNOWN,
                                     FILE_DEVICE_SECURE_OPEN, FALSE, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ((PSIM_COMMON)device->DeviceExtension)->Signature = SIM_CONTROL_SIGNATURE;
    status = IoCreateSymbolicLink(&link, &name);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(device);
        return status;
    }
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    Bus->Control = device;
    return STATUS_SUCCESS;
}

void SimDeleteControlDevice(PBUS_EXTENSION Bus)
{
    UNICODE_STRING link = ConstantName(MODEM_CONTROL_LINK_NAME, sizeof(MODEM_CONTROL_LINK_NAME));
    if (Bus->Control == nullptr) {
        return;
    }
    IoDeleteSymbolicLink(&link);
    IoDeleteDevice(Bus->Control);
    Bus->Control = nullptr;
}

// The request's buffers go to ModemControl as they are: input and output
// share the system buffer, which is safe because every code reads its input
// record before it writes any output. The byte count is the output's, never
// more than the caller's buffer holds.
static NTSTATUS Control(PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG ioctl = stack->Parameters.DeviceIoControl.IoControlCode;
    // Ours are FILE_DEVICE_UNKNOWN, METHOD_BUFFERED, FILE_ANY_ACCESS, above
    // 0x800; ModemControl refuses a code it does not know.
    ULONG function = (ioctl >> 2) & 0xFFFUL;
    if (function <= 0x800UL || ioctl != MODEM_CONTROL_IOCTL(function - 0x800UL)) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    PVOID buffer = Irp->AssociatedIrp.SystemBuffer;
    ULONG inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    uint32_t returned = 0;
    NTSTATUS status =
        ModemControl(function - 0x800UL, buffer, inLength, outLength != 0 ? buffer : nullptr, outLength, &returned);
    Irp->IoStatus.Information = returned <= outLength ? returned : 0;
    return status;
}

NTSTATUS SimControlDispatch(PIRP Irp)
{
    NTSTATUS status;
    Irp->IoStatus.Information = 0;
    switch (IoGetCurrentIrpStackLocation(Irp)->MajorFunction) {
    case IRP_MJ_CREATE:
    case IRP_MJ_CLEANUP:
    case IRP_MJ_CLOSE:
        status = STATUS_SUCCESS;
        break;
    case IRP_MJ_DEVICE_CONTROL:
        status = Control(Irp);
        break;
    default:
        status = STATUS_INVALID_DEVICE_REQUEST;
        break;
    }
    Irp->IoStatus.Status = status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

} // extern "C"
