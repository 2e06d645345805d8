// The serial control requests. Nothing of the serial configuration reaches
// the modem: settings are stored and handed back, the modem-status lines are
// emulated from the driver's own DTR and RTS, and many codes are accepted and
// do nothing, since the port is a diagnostic channel and applications rely on
// them succeeding. Every setting is read and written as a whole under Lock.
#include "driver/core/core.h"
#include "driver/pnp_power/pnp_power.h"
#include "driver/serial/serial.h"
#include "driver/usb/usb.h"

#define HIGHEST_WAIT_EVENT 0x1FFF
#define LOWEST_WORD_LENGTH 5
#define HIGHEST_WORD_LENGTH 8
// Errors reported for a device that has been marked failed: break, framing,
// overrun, queue overrun and parity.
#define FAILED_DEVICE_ERRORS 31

static const ULONG ValidBaudRates[] = {300,  600,   1200,  1800,  2400,  4800,   7200,
                                       9600, 14400, 19200, 38400, 57600, 115200, 128000};

BOOLEAN IsValidBaudRate(ULONG Rate)
{
    for (ULONG i = 0; i < sizeof(ValidBaudRates) / sizeof(ValidBaudRates[0]); i++) {
        if (ValidBaudRates[i] == Rate) {
            return TRUE;
        }
    }
    return FALSE;
}

BOOLEAN IsValidWordLength(UCHAR WordLength)
{
    return WordLength >= LOWEST_WORD_LENGTH && WordLength <= HIGHEST_WORD_LENGTH;
}

// One control request as the handlers see it: its buffer and sizes.
struct ControlRequest {
    PDEVICE_OBJECT DeviceObject;
    PDEVICE_EXTENSION Extension;
    PIRP Irp;
    PVOID Buffer;
    ULONG InLength;
    ULONG OutLength;
};

static KIRQL Acquire(PDEVICE_EXTENSION Extension)
{
    KIRQL irql;
    KeAcquireSpinLock(&Extension->Lock, &irql);
    return irql;
}

static VOID Release(PDEVICE_EXTENSION Extension, KIRQL Irql)
{
    KeReleaseSpinLock(&Extension->Lock, Irql);
}

// Copies Size bytes of a stored setting out under Lock.
static NTSTATUS CopyOut(const ControlRequest *Request, const VOID *Setting, ULONG Size)
{
    if (Request->OutLength < Size) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    KIRQL irql = Acquire(Request->Extension);
    RtlCopyMemory(Request->Buffer, Setting, Size);
    Release(Request->Extension, irql);
    Request->Irp->IoStatus.Information = Size;
    return STATUS_SUCCESS;
}

// Stores Size bytes of the input as a setting under Lock.
static NTSTATUS CopyIn(const ControlRequest *Request, VOID *Setting, ULONG Size)
{
    if (Request->InLength < Size) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    KIRQL irql = Acquire(Request->Extension);
    RtlCopyMemory(Setting, Request->Buffer, Size);
    Release(Request->Extension, irql);
    return STATUS_SUCCESS;
}

static ULONG InputValue(const ControlRequest *Request)
{
    return *static_cast<const ULONG *>(Request->Buffer);
}

static NTSTATUS SetBaudRate(const ControlRequest *Request)
{
    if (Request->InLength < sizeof(ULONG)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (!IsValidBaudRate(InputValue(Request))) {
        return STATUS_INVALID_PARAMETER;
    }
    return CopyIn(Request, &Request->Extension->BaudRate, sizeof(ULONG));
}

// Each of the three bytes is checked alone; no combination is refused.
static NTSTATUS SetLineControl(const ControlRequest *Request)
{
    if (Request->InLength < sizeof(SERIAL_LINE_CONTROL)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    const SERIAL_LINE_CONTROL *line = static_cast<const SERIAL_LINE_CONTROL *>(Request->Buffer);
    if (!IsValidWordLength(line->WordLength) || line->StopBits > STOP_BITS_2 || line->Parity > SPACE_PARITY) {
        return STATUS_INVALID_PARAMETER;
    }
    return CopyIn(Request, &Request->Extension->LineControl, sizeof(SERIAL_LINE_CONTROL));
}

// The limits of the input are not taken: the stored ones stay.
static NTSTATUS SetHandFlow(const ControlRequest *Request)
{
    if (Request->InLength < sizeof(SERIAL_HANDFLOW)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    const SERIAL_HANDFLOW *flow = static_cast<const SERIAL_HANDFLOW *>(Request->Buffer);
    KIRQL irql = Acquire(Request->Extension);
    Request->Extension->HandFlow.ControlHandShake = flow->ControlHandShake;
    Request->Extension->HandFlow.FlowReplace = flow->FlowReplace;
    Release(Request->Extension, irql);
    return STATUS_SUCCESS;
}

// The events a standard port raises when these emulated lines change.
static ULONG LineEvents(USHORT Changed)
{
    ULONG events = 0;
    if (Changed & SERIAL_CTS_STATE) {
        events |= SERIAL_EV_CTS;
    }
    if (Changed & SERIAL_DSR_STATE) {
        events |= SERIAL_EV_DSR;
    }
    if (Changed & SERIAL_DCD_STATE) {
        events |= SERIAL_EV_RLSD;
    }
    return events;
}

// Raising DTR shows DSR; raising RTS shows CTS and DCD. A line that changes
// raises its event, as on a standard port.
static NTSTATUS ChangeModemStatus(const ControlRequest *Request, USHORT Set, USHORT Clear)
{
    PDEVICE_EXTENSION extension = Request->Extension;
    LIST_ENTRY done;
    InitializeListHead(&done);
    KIRQL irql = Acquire(extension);
    USHORT old = extension->ModemStatus;
    extension->ModemStatus = static_cast<USHORT>((old & ~Clear) | Set);
    NoteEvents(extension, LineEvents(static_cast<USHORT>(old ^ extension->ModemStatus)), &done);
    Release(extension, irql);
    CompleteTakenRequests(extension, &done);
    return STATUS_SUCCESS;
}

static NTSTATUS GetModemStatus(const ControlRequest *Request)
{
    if (Request->OutLength < sizeof(ULONG)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    KIRQL irql = Acquire(Request->Extension);
    *static_cast<PULONG>(Request->Buffer) = Request->Extension->ModemStatus;
    Release(Request->Extension, irql);
    Request->Irp->IoStatus.Information = sizeof(ULONG);
    return STATUS_SUCCESS;
}

// The pending wait ends with no event and the new mask takes effect in one
// step under Lock, so that no event falls between the two.
static NTSTATUS SetWaitMask(const ControlRequest *Request)
{
    if (Request->InLength < sizeof(ULONG)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    ULONG mask = InputValue(Request);
    if ((mask & ~static_cast<ULONG>(HIGHEST_WAIT_EVENT)) != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    PDEVICE_EXTENSION extension = Request->Extension;
    LIST_ENTRY done;
    InitializeListHead(&done);
    KIRQL irql = Acquire(extension);
    CompleteWaitRequest(extension, 0, &done);
    extension->WaitMask = mask;
    Release(extension, irql);
    CompleteTakenRequests(extension, &done);
    return STATUS_SUCCESS;
}

static NTSTATUS WaitOnMaskRequest(const ControlRequest *Request)
{
    if (Request->OutLength < sizeof(ULONG)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    return WaitOnMask(Request->Extension, Request->Irp);
}

// Queued writes and reads are cancelled without Lock (the cancel spin lock
// comes first); the write being sent is not touched. 4 bytes are reported
// unless the caller's output buffer is too small for them, so that nothing
// beyond it is written back.
static NTSTATUS Purge(const ControlRequest *Request)
{
    if (Request->InLength < sizeof(ULONG)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    ULONG purge = InputValue(Request);
    PDEVICE_EXTENSION extension = Request->Extension;
    if (purge & SERIAL_PURGE_TXABORT) {
        CancelQueue(Request->DeviceObject, &extension->WriteQueue);
    }
    if (purge & SERIAL_PURGE_RXABORT) {
        CancelReadQueue(Request->DeviceObject, &extension->ReadQueue);
    }
    if (purge & SERIAL_PURGE_RXCLEAR) {
        KIRQL irql = Acquire(extension);
        RingReset(extension);
        BOOLEAN restart = TakeThrottledReader(extension);
        Release(extension, irql);
        if (restart) {
            QueueReaderStep(extension);
        }
    }
    if (Request->OutLength == 0 || Request->OutLength >= sizeof(ULONG)) {
        Request->Irp->IoStatus.Information = sizeof(ULONG);
    }
    return STATUS_SUCCESS;
}

// A device marked failed shows every error and nothing else. Otherwise the
// errors noted since the last report (a receive overrun), reported once.
static NTSTATUS GetCommStatus(const ControlRequest *Request)
{
    if (Request->OutLength < sizeof(SERIAL_STATUS)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    PDEVICE_EXTENSION extension = Request->Extension;
    SERIAL_STATUS *status = static_cast<SERIAL_STATUS *>(Request->Buffer);
    RtlZeroMemory(status, sizeof(SERIAL_STATUS));
    ULONG inQueue = static_cast<ULONG>(GetRingCount(extension));
    KIRQL irql = Acquire(extension);
    if (extension->FailureMarker != 0) {
        status->Errors = FAILED_DEVICE_ERRORS;
    } else {
        status->Errors = extension->CommErrors;
        extension->CommErrors = 0;
        status->HoldReasons = extension->HoldReasons;
        status->AmountInInQueue = inQueue;
        status->AmountInOutQueue = extension->PendingWriteBytes;
    }
    Release(extension, irql);
    Request->Irp->IoStatus.Information = sizeof(SERIAL_STATUS);
    return STATUS_SUCCESS;
}

static NTSTATUS ClearStats(const ControlRequest *Request)
{
    KIRQL irql = Acquire(Request->Extension);
    RtlZeroMemory(&Request->Extension->PerfStats, sizeof(SERIALPERF_STATS));
    Release(Request->Extension, irql);
    return STATUS_SUCCESS;
}

// The codes whose size check and action are a plain copy of a setting.
static BOOLEAN HandleCopy(const ControlRequest *Request, ULONG Code, NTSTATUS *Status)
{
    PDEVICE_EXTENSION extension = Request->Extension;
    switch (Code) {
    case IOCTL_SERIAL_SET_TIMEOUTS:
        *Status = CopyIn(Request, &extension->Timeouts, sizeof(SERIAL_TIMEOUTS));
        return TRUE;
    case IOCTL_SERIAL_GET_TIMEOUTS:
        *Status = CopyOut(Request, &extension->Timeouts, sizeof(SERIAL_TIMEOUTS));
        return TRUE;
    case IOCTL_SERIAL_GET_WAIT_MASK:
        *Status = CopyOut(Request, &extension->WaitMask, sizeof(ULONG));
        return TRUE;
    case IOCTL_SERIAL_GET_BAUD_RATE:
        *Status = CopyOut(Request, &extension->BaudRate, sizeof(ULONG));
        return TRUE;
    case IOCTL_SERIAL_GET_LINE_CONTROL:
        *Status = CopyOut(Request, &extension->LineControl, sizeof(SERIAL_LINE_CONTROL));
        return TRUE;
    case IOCTL_SERIAL_GET_CHARS:
        *Status = CopyOut(Request, &extension->Chars, sizeof(SERIAL_CHARS));
        return TRUE;
    case IOCTL_SERIAL_SET_CHARS:
        *Status = CopyIn(Request, &extension->Chars, sizeof(SERIAL_CHARS));
        return TRUE;
    case IOCTL_SERIAL_GET_HANDFLOW:
        *Status = CopyOut(Request, &extension->HandFlow, sizeof(SERIAL_HANDFLOW));
        return TRUE;
    case IOCTL_SERIAL_GET_STATS:
        *Status = CopyOut(Request, &extension->PerfStats, sizeof(SERIALPERF_STATS));
        return TRUE;
    default:
        return FALSE;
    }
}

// The codes that are accepted and do nothing.
static BOOLEAN IsAcceptedNoOp(ULONG Code)
{
    switch (Code) {
    case IOCTL_SERIAL_SET_QUEUE_SIZE:
    case IOCTL_SERIAL_SET_BREAK_ON:
    case IOCTL_SERIAL_SET_BREAK_OFF:
    case IOCTL_SERIAL_RESET_DEVICE:
    case IOCTL_SERIAL_SET_XOFF:
    case IOCTL_SERIAL_SET_XON:
    case IOCTL_SERIAL_XOFF_COUNTER:
    case IOCTL_SERIAL_GET_PROPERTIES:
    case IOCTL_SERIAL_GET_DTRRTS:
    case IOCTL_SERIAL_LSRMST_INSERT:
    case IOCTL_SERIAL_CONFIG_SIZE:
    case IOCTL_SERIAL_GET_MODEM_CONTROL:
    case IOCTL_SERIAL_SET_MODEM_CONTROL:
    case IOCTL_SERIAL_SET_FIFO_CONTROL:
        return TRUE;
    default:
        return FALSE;
    }
}

static NTSTATUS HandleAction(const ControlRequest *Request, ULONG Code)
{
    switch (Code) {
    case IOCTL_SERIAL_SET_BAUD_RATE:
        return SetBaudRate(Request);
    case IOCTL_SERIAL_SET_LINE_CONTROL:
        return SetLineControl(Request);
    case IOCTL_SERIAL_IMMEDIATE_CHAR:
        // Checked, and not sent.
        return Request->InLength < sizeof(UCHAR) ? STATUS_BUFFER_TOO_SMALL : STATUS_SUCCESS;
    case IOCTL_SERIAL_SET_DTR:
        return ChangeModemStatus(Request, SERIAL_DSR_STATE, 0);
    case IOCTL_SERIAL_CLR_DTR:
        return ChangeModemStatus(Request, 0, SERIAL_DSR_STATE);
    case IOCTL_SERIAL_SET_RTS:
        return ChangeModemStatus(Request, SERIAL_CTS_STATE | SERIAL_DCD_STATE, 0);
    case IOCTL_SERIAL_CLR_RTS:
        return ChangeModemStatus(Request, 0, SERIAL_CTS_STATE | SERIAL_DCD_STATE);
    case IOCTL_SERIAL_SET_WAIT_MASK:
        return SetWaitMask(Request);
    case IOCTL_SERIAL_WAIT_ON_MASK:
        return WaitOnMaskRequest(Request);
    case IOCTL_SERIAL_PURGE:
        return Purge(Request);
    case IOCTL_SERIAL_SET_HANDFLOW:
        return SetHandFlow(Request);
    case IOCTL_SERIAL_GET_MODEMSTATUS:
        return GetModemStatus(Request);
    case IOCTL_SERIAL_GET_COMMSTATUS:
        return GetCommStatus(Request);
    case IOCTL_SERIAL_CLEAR_STATS:
        return ClearStats(Request);
    default:
        return IsAcceptedNoOp(Code) ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
    }
}

// Fills the system buffer and Information, never completes the request; a
// wait-on-mask request may be queued (STATUS_PENDING). Every failure reports
// 0 bytes, and no buffer is touched before its size has been checked.
NTSTATUS HandleSerialIoctl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ControlRequest request = {};
    request.DeviceObject = DeviceObject;
    request.Extension = GetExtension(DeviceObject);
    request.Irp = Irp;
    request.Buffer = Irp->AssociatedIrp.SystemBuffer;
    request.InLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    request.OutLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    Irp->IoStatus.Information = 0;
    NTSTATUS status;
    if (!HandleCopy(&request, code, &status)) {
        status = HandleAction(&request, code);
    }
    return status;
}

// Lock held. Whether the request may be served: only on an open port, and on
// an unusable device only the communication status, which tells of a failure.
static NTSTATUS AdmitControl(PDEVICE_EXTENSION Extension, ULONG Code)
{
    if (!Extension->PortOpen) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (Code != IOCTL_SERIAL_GET_COMMSTATUS && IsDeviceUnusable(Extension)) {
        Extension->EventHistory = 0;
        return STATUS_DELETE_PENDING;
    }
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = GetExtension(DeviceObject);
    ULONG code = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.IoControlCode;
    KIRQL irql = Acquire(extension);
    NTSTATUS status = AdmitControl(extension, code);
    Release(extension, irql);
    if (NT_SUCCESS(status)) {
        status = AcquireRemoveLock(extension, Irp);
    }
    if (!NT_SUCCESS(status)) {
        return CompleteRequestWithInformation(Irp, status, 0);
    }
    status = HandleSerialIoctl(DeviceObject, Irp);
    if (status == STATUS_PENDING) {
        // A queued wait keeps its remove-lock hold until it ends.
        return STATUS_PENDING;
    }
    // A wait found cancelled as it was queued had been marked pending; one
    // refused before it was queued had not.
    BOOLEAN markedPending = (IoGetCurrentIrpStackLocation(Irp)->Control & SL_PENDING_RETURNED) != 0;
    CompleteRequest(Irp, status);
    ReleaseRemoveLock(extension, Irp);
    return markedPending ? STATUS_PENDING : status;
}
