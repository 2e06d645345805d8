// ModemControl: the one entry through which tests and the Wine control
// device drive the simulated modem. Records are checked for length here;
// the behaviour itself is in modem.cpp and its neighbours.
#include "modem_sim/sim.h"

extern "C" {

typedef struct _CONTROL_CALL {
    PMODEM Modem;
    PVOID In;
    ULONG InLength;
    PVOID Out;
    ULONG OutLength;
    uint32_t *Returned;
} CONTROL_CALL, *PCONTROL_CALL;

static NTSTATUS QueueBytes(PCONTROL_CALL Call)
{
    const UCHAR *data = (const UCHAR *)Call->In + sizeof(MODEM_SELECT);
    ULONG length = Call->InLength - sizeof(MODEM_SELECT);
    KIRQL irql = SimLock(Call->Modem);
    ULONG taken = SimQueueHostBytes(Call->Modem, data, length);
    SimUnlock(Call->Modem, irql);
    *Call->Returned = taken;
    SimService(Call->Modem);
    return taken == length ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
}

// Reading makes room: a bulk-out transfer held for it moves on.
static NTSTATUS ReadCaptured(PCONTROL_CALL Call)
{
    PMODEM modem = Call->Modem;
    KIRQL irql = SimLock(modem);
    *Call->Returned = SimRingTake(&modem->Capture, (PUCHAR)Call->Out, Call->OutLength);
    SimUnlock(modem, irql);
    SimService(modem);
    return STATUS_SUCCESS;
}

static NTSTATUS SetValue(PCONTROL_CALL Call, ULONG Code)
{
    if (Call->InLength < sizeof(MODEM_VALUE)) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG value = ((MODEM_VALUE *)Call->In)->Value;
    BOOLEAN mode = Code == MODEM_CONTROL_SET_COMPLETION || Code == MODEM_CONTROL_SET_UNPOWERED_POLICY ||
                   Code == MODEM_CONTROL_SET_CAPTURE_POLICY;
    if (mode && value > 1) {
        return STATUS_INVALID_PARAMETER;
    }
    PMODEM modem = Call->Modem;
    KIRQL irql = SimLock(modem);
    if (Code == MODEM_CONTROL_SET_COMPLETION) {
        modem->CompleteInline = value == MODEM_COMPLETE_INLINE;
    } else if (Code == MODEM_CONTROL_SET_UNPOWERED_POLICY) {
        modem->UnpoweredPolicy = value;
    } else if (Code == MODEM_CONTROL_SET_CAPTURE_POLICY) {
        modem->CapturePolicy = value;
    } else if (Code == MODEM_CONTROL_SET_ECHO) {
        modem->Echo = value != 0;
    } else if (Code == MODEM_CONTROL_SET_RATE) {
        modem->Rate = value;
        modem->Credit = 0;
    } else {
        modem->GenerateRemaining += value;
    }
    SimUnlock(modem, irql);
    SimService(modem);
    return STATUS_SUCCESS;
}

static NTSTATUS InjectFault(PCONTROL_CALL Call)
{
    if (Call->InLength < sizeof(MODEM_FAULT)) {
        return STATUS_INVALID_PARAMETER;
    }
    const MODEM_FAULT *fault = (const MODEM_FAULT *)Call->In;
    if (fault->Pipe >= MODEM_PIPE_COUNT || fault->Kind < MODEM_FAULT_FAIL || fault->Kind > MODEM_FAULT_OVERREPORT) {
        return STATUS_INVALID_PARAMETER;
    }
    PMODEM modem = Call->Modem;
    PSIM_PIPE pipe = &modem->Pipes[fault->Pipe];
    KIRQL irql = SimLock(modem);
    switch (fault->Kind) {
    case MODEM_FAULT_FAIL:
        pipe->FailCount = fault->Count;
        pipe->FailStatus = fault->Status;
        pipe->FailUsbdStatus = fault->UsbdStatus;
        break;
    case MODEM_FAULT_SHORT:
        pipe->ShortCount = fault->Count;
        pipe->ShortLength = fault->Length;
        break;
    case MODEM_FAULT_NAK:
        pipe->Nak = TRUE;
        break;
    case MODEM_FAULT_ACK:
        pipe->Nak = FALSE;
        break;
    case MODEM_FAULT_STALL:
        pipe->StallArmed = TRUE;
        break;
    case MODEM_FAULT_OVERREPORT:
        pipe->OverCount = fault->Count;
        pipe->OverBytes = fault->Length > 0 ? fault->Length : 1;
        break;
    default:
        SimForgetFaults(pipe);
        break;
    }
    SimUnlock(modem, irql);
    SimService(modem);
    return STATUS_SUCCESS;
}

static NTSTATUS SetDeviceStates(PCONTROL_CALL Call)
{
    if (Call->InLength < sizeof(MODEM_DEVICE_STATES)) {
        return STATUS_INVALID_PARAMETER;
    }
    const MODEM_DEVICE_STATES *states = (const MODEM_DEVICE_STATES *)Call->In;
    KIRQL irql = SimLock(Call->Modem);
    for (ULONG i = 0; i < 7; i++) {
        Call->Modem->DeviceStates[i] = states->DeviceState[i];
    }
    SimUnlock(Call->Modem, irql);
    return STATUS_SUCCESS;
}

static NTSTATUS FailPower(PCONTROL_CALL Call)
{
    if (Call->InLength < sizeof(MODEM_POWER_FAULT)) {
        return STATUS_INVALID_PARAMETER;
    }
    const MODEM_POWER_FAULT *fault = (const MODEM_POWER_FAULT *)Call->In;
    KIRQL irql = SimLock(Call->Modem);
    Call->Modem->PowerFailCount = fault->Count;
    Call->Modem->PowerFailStatus = fault->Status;
    Call->Modem->PowerFailMinor = fault->Minor;
    SimUnlock(Call->Modem, irql);
    return STATUS_SUCCESS;
}

static ULONG ListLength(PLIST_ENTRY Head)
{
    ULONG count = 0;
    for (PLIST_ENTRY entry = Head->Flink; entry != Head; entry = entry->Flink) {
        count++;
    }
    return count;
}

static NTSTATUS GetStatus(PCONTROL_CALL Call)
{
    if (Call->OutLength < sizeof(MODEM_STATUS)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    PMODEM modem = Call->Modem;
    MODEM_STATUS *status = (MODEM_STATUS *)Call->Out;
    KIRQL irql = SimLock(modem);
    PCHILD_EXTENSION child = modem->Child != nullptr ? (PCHILD_EXTENSION)modem->Child->DeviceExtension : nullptr;
    status->Plugged = modem->Plugged;
    status->ChildExists = child != nullptr;
    status->ChildStarted = child != nullptr && child->Started;
    status->DevicePowerState = modem->DevicePowerState;
    status->HostQueued = SimHostAvailable(modem);
    status->Captured = modem->Capture.Count;
    status->CapturedTotal = modem->CapturedTotal;
    status->CaptureDropped = modem->CaptureDropped;
    status->Echo = modem->Echo;
    status->Rate = modem->Rate;
    for (ULONG i = 0; i < MODEM_PIPE_COUNT; i++) {
        status->Pipes[i] = modem->Pipes[i].Counters;
        status->Pipes[i].Pending = ListLength(&modem->Pipes[i].Pending);
        status->Pipes[i].Halted = modem->Pipes[i].Halted;
    }
    SimUnlock(modem, irql);
    *Call->Returned = sizeof(MODEM_STATUS);
    return STATUS_SUCCESS;
}

static NTSTATUS Perform(ULONG Code, PCONTROL_CALL Call)
{
    switch (Code) {
    case MODEM_CONTROL_QUEUE_BYTES:
        return QueueBytes(Call);
    case MODEM_CONTROL_READ_CAPTURED:
        return ReadCaptured(Call);
    case MODEM_CONTROL_SET_ECHO:
    case MODEM_CONTROL_SET_RATE:
    case MODEM_CONTROL_GENERATE:
    case MODEM_CONTROL_SET_COMPLETION:
    case MODEM_CONTROL_SET_UNPOWERED_POLICY:
    case MODEM_CONTROL_SET_CAPTURE_POLICY:
        return SetValue(Call, Code);
    case MODEM_CONTROL_INJECT_FAULT:
        return InjectFault(Call);
    case MODEM_CONTROL_UNPLUG:
        SimUnplug(Call->Modem);
        return STATUS_SUCCESS;
    case MODEM_CONTROL_REPLUG:
        SimReplug(Call->Modem);
        return STATUS_SUCCESS;
    case MODEM_CONTROL_SET_DEVICE_STATES:
        return SetDeviceStates(Call);
    case MODEM_CONTROL_FAIL_POWER:
        return FailPower(Call);
    case MODEM_CONTROL_GET_STATUS:
        return GetStatus(Call);
    case MODEM_CONTROL_RESET:
        SimResetModem(Call->Modem);
        return STATUS_SUCCESS;
    default:
        return STATUS_INVALID_PARAMETER;
    }
}

int32_t ModemControl(uint32_t Code, void *In, uint32_t InLength, void *Out, uint32_t OutLength, uint32_t *Returned)
{
    uint32_t ignored = 0;
    CONTROL_CALL call = {nullptr, In, InLength, Out, OutLength, Returned != nullptr ? Returned : &ignored};
    *call.Returned = 0;
    if (In == nullptr || InLength < sizeof(MODEM_SELECT) || (Out == nullptr && OutLength != 0)) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG index = ((MODEM_SELECT *)In)->Modem;
    if (SimBus == nullptr || index >= SIM_MAX_MODEMS) {
        return STATUS_NO_SUCH_DEVICE;
    }
    call.Modem = &SimBus->Modems[index];
    return Perform(Code, &call);
}

} // extern "C"
