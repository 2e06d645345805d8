// The modem's behaviour, in one place for every face that drives it: bytes
// toward the host complete the pending bulk-in transfers, bytes from the host
// are captured (and echoed back when asked), and injected faults decide the
// fate of the next transfers on a pipe.
#include "modem_sim/sim.h"

extern "C" {

#define NO_BUDGET_LIMIT 0xFFFFFFFFUL

static ULONG Smaller(ULONG A, ULONG B)
{
    return A < B ? A : B;
}

static void ResetDeviceStates(PMODEM Modem)
{
    Modem->DeviceStates[PowerSystemUnspecified] = PowerDeviceUnspecified;
    Modem->DeviceStates[PowerSystemWorking] = PowerDeviceD0;
    for (ULONG s = PowerSystemSleeping1; s <= PowerSystemShutdown; s++) {
        Modem->DeviceStates[s] = PowerDeviceD3;
    }
}

void SimInitializeModem(PBUS_EXTENSION Bus, PMODEM Modem, ULONG Index)
{
    Modem->Index = Index;
    Modem->Bus = Bus;
    KeInitializeSpinLock(&Modem->Lock);
    Modem->Plugged = TRUE;
    Modem->DevicePowerState = PowerDeviceD3;
    ResetDeviceStates(Modem);
    for (ULONG i = 0; i < MODEM_PIPE_COUNT; i++) {
        InitializeListHead(&Modem->Pipes[i].Pending);
        Modem->Pipes[i].In = i != MODEM_PIPE_BULK_OUT;
    }
    KeInitializeTimer(&Modem->Timer);
    KeInitializeDpc(&Modem->Dpc, SimRateDpc, Modem);
    KeInitializeEvent(&Modem->TimerIdle, NotificationEvent, FALSE);
    InitializeListHead(&Modem->Completed);
    KeInitializeTimer(&Modem->CompletionTimer);
    KeInitializeDpc(&Modem->CompletionDpc, SimCompletionDpc, Modem);
    KeInitializeEvent(&Modem->CompletionIdle, NotificationEvent, TRUE);
}

// Forgets queued and captured bytes, echo, rate, faults and the completion
// and power modes; pending transfers stay pending.
void SimResetModem(PMODEM Modem)
{
    KIRQL irql = SimLock(Modem);
    Modem->CompleteInline = FALSE;
    Modem->UnpoweredPolicy = MODEM_UNPOWERED_FAIL;
    Modem->HostHead = Modem->HostCount = 0;
    Modem->GenerateRemaining = 0;
    Modem->GenerateNext = 0;
    Modem->CaptureHead = Modem->CaptureCount = 0;
    Modem->CapturedTotal = Modem->CaptureDropped = 0;
    Modem->Echo = FALSE;
    Modem->Rate = 0;
    Modem->Credit = 0;
    Modem->PowerFailCount = 0;
    ResetDeviceStates(Modem);
    for (ULONG i = 0; i < MODEM_PIPE_COUNT; i++) {
        PSIM_PIPE pipe = &Modem->Pipes[i];
        pipe->Stalled = FALSE;
        pipe->FailCount = 0;
        pipe->ShortCount = 0;
    }
    SimUnlock(Modem, irql);
    SimService(Modem);
}

ULONG SimHostAvailable(PMODEM Modem)
{
    return Modem->HostCount + Modem->GenerateRemaining;
}

// Appends what fits to the queue toward the host; returns the bytes taken.
// Lock held.
ULONG SimQueueHostBytes(PMODEM Modem, const UCHAR *Data, ULONG Length)
{
    ULONG taken = Smaller(Length, SIM_HOST_QUEUE_SIZE - Modem->HostCount);
    for (ULONG i = 0; i < taken; i++) {
        Modem->HostQueue[(Modem->HostHead + Modem->HostCount) % SIM_HOST_QUEUE_SIZE] = Data[i];
        Modem->HostCount++;
    }
    return taken;
}

static void TakeHostBytes(PMODEM Modem, PUCHAR Destination, ULONG Length)
{
    for (ULONG i = 0; i < Length; i++) {
        if (Modem->HostCount > 0) {
            Destination[i] = Modem->HostQueue[Modem->HostHead];
            Modem->HostHead = (Modem->HostHead + 1) % SIM_HOST_QUEUE_SIZE;
            Modem->HostCount--;
        } else {
            Destination[i] = Modem->GenerateNext++;
            Modem->GenerateRemaining--;
        }
    }
}

static void CaptureBytes(PMODEM Modem, const UCHAR *Source, ULONG Length)
{
    for (ULONG i = 0; i < Length; i++) {
        if (Modem->CaptureCount == SIM_CAPTURE_SIZE) {
            Modem->CaptureDropped++;
            continue;
        }
        Modem->Capture[(Modem->CaptureHead + Modem->CaptureCount) % SIM_CAPTURE_SIZE] = Source[i];
        Modem->CaptureCount++;
    }
    Modem->CapturedTotal += Length;
    if (Modem->Echo) {
        SimQueueHostBytes(Modem, Source, Length);
    }
}

// Whether the transfer at the head of the pipe can end now.
static BOOLEAN CanServe(PMODEM Modem, ULONG Index, ULONG Budget)
{
    PSIM_PIPE pipe = &Modem->Pipes[Index];
    if (pipe->Stalled || IsListEmpty(&pipe->Pending) || Modem->DevicePowerState != PowerDeviceD0) {
        return FALSE;
    }
    if (pipe->FailCount > 0 || !pipe->In || (pipe->ShortCount > 0 && pipe->ShortLength == 0)) {
        return TRUE;
    }
    return Index == MODEM_PIPE_BULK_IN && SimHostAvailable(Modem) > 0 && Budget > 0;
}

// Ends one owned transfer as the modem's state says; CanServe said it may.
static void Serve(PMODEM Modem, ULONG Index, PIRP Irp, PULONG Budget)
{
    PSIM_PIPE pipe = &Modem->Pipes[Index];
    struct _URB_BULK_OR_INTERRUPT_TRANSFER *transfer =
        &((PURB)IoGetCurrentIrpStackLocation(Irp)->Parameters.Others.Argument1)->UrbBulkOrInterruptTransfer;
    pipe->Counters.Transfers++;
    if (pipe->FailCount > 0) {
        pipe->FailCount--;
        pipe->Counters.Failed++;
        SimCompleteTransfer(Irp, pipe->FailStatus, pipe->FailUsbdStatus, 0);
        return;
    }
    ULONG length = transfer->TransferBufferLength;
    if (pipe->ShortCount > 0) {
        pipe->ShortCount--;
        length = Smaller(length, pipe->ShortLength);
    }
    if (!pipe->In) {
        CaptureBytes(Modem, (const UCHAR *)transfer->TransferBuffer, length);
    } else {
        length = Smaller(length, Smaller(SimHostAvailable(Modem), *Budget));
        TakeHostBytes(Modem, (PUCHAR)transfer->TransferBuffer, length);
        if (*Budget != NO_BUDGET_LIMIT) {
            *Budget -= length;
        }
    }
    pipe->Counters.Bytes += length;
    SimCompleteTransfer(Irp, STATUS_SUCCESS, USBD_STATUS_SUCCESS, length);
}

// Ends every transfer that can end, moving it to Done; with a rate, at most
// Budget bytes go to the host. Out before in, so echoed bytes go at once.
void SimServiceLocked(PMODEM Modem, ULONG Budget, PLIST_ENTRY Done)
{
    static const ULONG order[MODEM_PIPE_COUNT] = {MODEM_PIPE_BULK_OUT, MODEM_PIPE_BULK_IN, MODEM_PIPE_AUX};
    for (ULONG i = 0; i < MODEM_PIPE_COUNT; i++) {
        ULONG index = order[i];
        PLIST_ENTRY pending = &Modem->Pipes[index].Pending;
        while (CanServe(Modem, index, Budget)) {
            PIRP irp = CONTAINING_RECORD(pending->Flink, IRP, Tail.Overlay.ListEntry);
            if (!SimClaimTransfer(irp)) {
                continue;
            }
            Serve(Modem, index, irp, &Budget);
            InsertTailList(Done, &irp->Tail.Overlay.ListEntry);
        }
    }
    if (Modem->Rate != 0 && SimHostAvailable(Modem) > 0 && CanServe(Modem, MODEM_PIPE_BULK_IN, 1)) {
        SimArmTimerLocked(Modem);
    }
}

// Outside the rate timer, bytes toward the host move only when no rate is set.
void SimService(PMODEM Modem)
{
    LIST_ENTRY done;
    InitializeListHead(&done);
    KIRQL irql = SimLock(Modem);
    SimServiceLocked(Modem, Modem->Rate == 0 ? NO_BUDGET_LIMIT : 0, &done);
    SimUnlock(Modem, irql);
    SimCompleteList(Modem, &done);
}

} // extern "C"
