// The modem's behaviour, in one place for every face that drives it: bytes
// toward the host complete the pending bulk-in transfers, bytes from the host
// are captured (and echoed back when asked) as room allows, and injected
// faults decide the fate of the next transfers on a pipe. Its pipes behave as
// a host controller's do: a stall halts a pipe until it is reset, and a short
// packet fails an in transfer sent without USBD_SHORT_TRANSFER_OK. The modem
// ends every in transfer when it has no more bytes for it, as a device that
// sends a short or zero-length packet then; a transfer it fills is not short.
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
    SimInitializeRing(&Modem->Host, Modem->HostQueue, SIM_HOST_QUEUE_SIZE);
    SimInitializeRing(&Modem->Capture, Modem->CaptureBytes, SIM_CAPTURE_SIZE);
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

// Lock held. The pipe as new: no fault, no halt.
void SimForgetFaults(PSIM_PIPE Pipe)
{
    Pipe->Nak = Pipe->StallArmed = Pipe->Halted = FALSE;
    Pipe->FailCount = Pipe->ShortCount = Pipe->OverCount = 0;
}

// Forgets queued and captured bytes, echo, rate, faults, halts and the
// completion, power and capture modes; pending transfers stay pending.
void SimResetModem(PMODEM Modem)
{
    KIRQL irql = SimLock(Modem);
    Modem->CompleteInline = FALSE;
    Modem->UnpoweredPolicy = MODEM_UNPOWERED_FAIL;
    Modem->CapturePolicy = MODEM_CAPTURE_DROP;
    Modem->Host.Head = Modem->Host.Count = 0;
    Modem->GenerateRemaining = 0;
    Modem->GenerateNext = 0;
    Modem->Capture.Head = Modem->Capture.Count = 0;
    Modem->CapturedTotal = Modem->CaptureDropped = 0;
    Modem->Echo = FALSE;
    Modem->Rate = 0;
    Modem->Credit = 0;
    Modem->PowerFailCount = 0;
    ResetDeviceStates(Modem);
    for (ULONG i = 0; i < MODEM_PIPE_COUNT; i++) {
        SimForgetFaults(&Modem->Pipes[i]);
    }
    SimUnlock(Modem, irql);
    SimService(Modem);
}

static PIRP HeadOf(PSIM_PIPE Pipe)
{
    return CONTAINING_RECORD(Pipe->Pending.Flink, IRP, Tail.Overlay.ListEntry);
}

static struct _URB_BULK_OR_INTERRUPT_TRANSFER *TransferOf(PIRP Irp)
{
    return &((PURB)IoGetCurrentIrpStackLocation(Irp)->Parameters.Others.Argument1)->UrbBulkOrInterruptTransfer;
}

// The bytes a bulk-out transfer brings in all: its length, or less when a
// short transfer is injected (never less than the modem has already taken).
static ULONG OutLength(PSIM_PIPE Pipe, PIRP Irp)
{
    ULONG length = TransferOf(Irp)->TransferBufferLength;
    if (Pipe->ShortCount > 0) {
        length = Smaller(length, Pipe->ShortLength);
    }
    ULONG taken = SimBytesTaken(Irp);
    return length > taken ? length : taken;
}

// Whether the transfer at the head of the pipe can end, or give the modem
// bytes, now. The host controller fails transfers on a halted pipe whatever
// the device does.
static BOOLEAN CanServe(PMODEM Modem, ULONG Index, ULONG Budget)
{
    PSIM_PIPE pipe = &Modem->Pipes[Index];
    if (IsListEmpty(&pipe->Pending)) {
        return FALSE;
    }
    if (pipe->Halted) {
        return TRUE;
    }
    if (Modem->DevicePowerState != PowerDeviceD0 || pipe->Nak) {
        return FALSE;
    }
    if (pipe->StallArmed || pipe->FailCount > 0) {
        return TRUE;
    }
    if (!pipe->In) {
        PIRP irp = HeadOf(pipe);
        return SimBytesTaken(irp) == OutLength(pipe, irp) || SimReceiveRoom(Modem) > 0;
    }
    if (pipe->ShortCount > 0 && pipe->ShortLength == 0) {
        return TRUE;
    }
    return Index == MODEM_PIPE_BULK_IN && SimHostAvailable(Modem) > 0 && Budget > 0;
}

// Whether the pipe's next transfer ends the usual way: on bulk-out, with its
// bytes taken by the device.
static BOOLEAN TakesBytes(PSIM_PIPE Pipe)
{
    return !Pipe->In && !Pipe->Halted && !Pipe->StallArmed && Pipe->FailCount == 0;
}

// Bulk-out: the device takes what it has room for; the rest of the transfer
// waits, pending, until it has room again.
static void TakeOutBytes(PMODEM Modem, PSIM_PIPE Pipe, PIRP Irp)
{
    ULONG taken = SimBytesTaken(Irp);
    ULONG move = Smaller(OutLength(Pipe, Irp) - taken, SimReceiveRoom(Modem));
    SimReceiveBytes(Modem, (const UCHAR *)TransferOf(Irp)->TransferBuffer + taken, move);
    SimSetBytesTaken(Irp, taken + move);
    Pipe->Counters.Bytes += move;
}

// Ends an owned transfer as the pipe's state says; CanServe said it may. A
// failure reports the bytes taken before it.
static void Finish(PMODEM Modem, ULONG Index, PIRP Irp, PULONG Budget)
{
    PSIM_PIPE pipe = &Modem->Pipes[Index];
    struct _URB_BULK_OR_INTERRUPT_TRANSFER *transfer = TransferOf(Irp);
    NTSTATUS status = STATUS_SUCCESS;
    USBD_STATUS usbdStatus = USBD_STATUS_SUCCESS;
    ULONG length = SimBytesTaken(Irp);
    pipe->Counters.Transfers++;
    if (pipe->Halted) {
        status = STATUS_UNSUCCESSFUL;
        usbdStatus = USBD_STATUS_ENDPOINT_HALTED;
    } else if (pipe->StallArmed) {
        pipe->StallArmed = FALSE;
        pipe->Halted = TRUE;
        status = STATUS_UNSUCCESSFUL;
        usbdStatus = USBD_STATUS_STALL_PID;
    } else if (pipe->FailCount > 0) {
        pipe->FailCount--;
        status = pipe->FailStatus;
        usbdStatus = pipe->FailUsbdStatus;
    } else if (!pipe->In) {
        TakeOutBytes(Modem, pipe, Irp); // the rest fits: CanServe saw to it
        length = SimBytesTaken(Irp);
        if (pipe->ShortCount > 0) {
            pipe->ShortCount--;
        }
    } else {
        ULONG limit = transfer->TransferBufferLength;
        if (pipe->ShortCount > 0) {
            pipe->ShortCount--;
            limit = Smaller(limit, pipe->ShortLength);
        }
        length = Index == MODEM_PIPE_BULK_IN ? Smaller(limit, Smaller(SimHostAvailable(Modem), *Budget)) : 0;
        SimTakeHostBytes(Modem, (PUCHAR)transfer->TransferBuffer, length);
        if (*Budget != NO_BUDGET_LIMIT) {
            *Budget -= length;
        }
        pipe->Counters.Bytes += length;
        if (length < transfer->TransferBufferLength && !(transfer->TransferFlags & USBD_SHORT_TRANSFER_OK)) {
            status = STATUS_UNSUCCESSFUL;
            usbdStatus = USBD_STATUS_ERROR_SHORT_TRANSFER;
        }
    }
    if (!NT_SUCCESS(status) || !USBD_SUCCESS(usbdStatus)) {
        pipe->Counters.Failed++;
    } else if (pipe->OverCount > 0) {
        pipe->OverCount--;
        length = transfer->TransferBufferLength + pipe->OverBytes; // what a faulty bus reports
    }
    SimCompleteTransfer(Irp, status, usbdStatus, length);
}

// Ends every transfer that can end, moving it to Done; with a rate, at most
// Budget bytes go to the host. Out before in, so echoed bytes go at once.
void SimServiceLocked(PMODEM Modem, ULONG Budget, PLIST_ENTRY Done)
{
    static const ULONG order[MODEM_PIPE_COUNT] = {MODEM_PIPE_BULK_OUT, MODEM_PIPE_BULK_IN, MODEM_PIPE_AUX};
    BOOLEAN moved;
    do {
        moved = FALSE;
        for (ULONG i = 0; i < MODEM_PIPE_COUNT; i++) {
            ULONG index = order[i];
            PSIM_PIPE pipe = &Modem->Pipes[index];
            while (CanServe(Modem, index, Budget)) {
                moved = TRUE;
                PIRP irp = HeadOf(pipe);
                if (TakesBytes(pipe) && OutLength(pipe, irp) - SimBytesTaken(irp) > SimReceiveRoom(Modem)) {
                    TakeOutBytes(Modem, pipe, irp);
                    break; // the rest waits for room, the transfer stays pending
                }
                if (!SimClaimTransfer(irp)) {
                    continue; // its cancel routine completes it
                }
                Finish(Modem, index, irp, &Budget);
                InsertTailList(Done, &irp->Tail.Overlay.ListEntry);
            }
        }
        // Bulk-in may have made room for more of a held bulk-out transfer,
        // whose echo bulk-in then takes: round again until nothing moves.
    } while (moved);
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
