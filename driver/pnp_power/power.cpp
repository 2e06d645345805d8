// Power requests. Set-power and query-power requests run through a table-
// driven state machine, one PowerContext per request; every other power
// request goes straight down. The driver is the device's power policy owner:
// for each system request it asks the power manager for the matching device
// request (D0 for the working state, D3 for every other one). Going to more
// power the system request is passed down first and the device request asked
// for afterwards; going to the same or less power, the device request comes
// first and the system request goes down once it has finished.
//
// A context is worked on by one call of the machine at a time. A completion
// can run inside PoCallDriver or PoRequestPowerIrp, before they return, and
// free the context: the actions that make those calls end the call without
// touching the context again, and the call returns the result it holds. A
// request that completes before PoCallDriver or PoRequestPowerIrp returns
// leaves the machine to the call that sent it, which goes on once the call
// returns: with lower drivers that complete at once, the kernel stack holds
// one request at a time rather than the system and the device request nested.
#include "driver/core/core.h"
#include "driver/pnp_power/pnp_power.h"
#include "driver/serial/serial.h"
#include "driver/usb/usb.h"

// The machine's states: rows of PowerTransitionTable.
enum PowerMachineState {
    NewRequest = 0,
    SystemUpForwarded = 1,
    SystemUpDeviceRequested = 2,
    SystemDownDeviceRequested = 3,
    SystemDownForwarded = 4,
    DeviceUpForwarded = 5,
    DeviceDownForwarded = 6,
    Reserved7 = 7,
    Reserved8 = 8,
    DeviceQueryUpForwarded = 9,
    DeviceQueryDownForwarded = 10,
    DeviceRequestReceived = 11,
    Finished = 12,
    PowerStateCount = 13,
};

// The events that drive it: columns of the table.
enum PowerMachineEvent {
    Dispatched = 0,
    IrpCompleted = 1,
    DeviceRequestCompleted = 2,
    PowerEventCount = 3,
};

#define POWER_ACTION_COUNT 18
// The call's result before any action has set it.
#define RESULT_UNSET (static_cast<NTSTATUS>(-1))

struct PowerContext {
    PDEVICE_EXTENSION Extension;
    PIRP Irp;
    LONG State;
    NTSTATUS Status;
    DEVICE_POWER_STATE TargetDeviceState;
    UCHAR RequestMinor;
    // The hand-over between the action that sends a request (3 or 7) and the
    // routine that hears of its completion (HandoverValue), by interlocked
    // exchange.
    LONG Handover;
};

enum HandoverValue {
    HandoverAway = 0,     // nothing sent, or the call that sent it has returned
    HandoverSending = 1,  // PoCallDriver or PoRequestPowerIrp has not returned yet
    HandoverAnswered = 2, // the request completed meanwhile and left the machine to the sender
};

// The action to run for each state and event; 0: none.
static const LONG PowerTransitionTable[PowerStateCount][PowerEventCount] = {
    {1, 0, 0},  // NewRequest
    {0, 4, 0},  // SystemUpForwarded
    {0, 0, 10}, // SystemUpDeviceRequested
    {0, 0, 11}, // SystemDownDeviceRequested
    {0, 5, 0},  // SystemDownForwarded
    {0, 12, 0}, // DeviceUpForwarded
    {0, 8, 0},  // DeviceDownForwarded
    {0, 0, 14}, // Reserved7
    {0, 0, 15}, // Reserved8
    {0, 16, 0}, // DeviceQueryUpForwarded
    {0, 18, 0}, // DeviceQueryDownForwarded
    {0, 0, 2},  // DeviceRequestReceived
    {0, 0, 0},  // Finished
};

// One call of the machine: the context, the event and the call's result.
// InCompletion: the call runs inside the request's own completion routine.
struct PowerRun {
    PowerContext *Context;
    LONG Event;
    NTSTATUS Result;
    BOOLEAN InCompletion;
};

// An action does its steps and names the action to run next, or 0 to end the
// call.
typedef LONG (*POWER_MACHINE_ACTION)(PowerRun *Run);

static PIO_STACK_LOCATION PowerStack(PowerContext *Context)
{
    return IoGetCurrentIrpStackLocation(Context->Irp);
}

static BOOLEAN IsSystemRequest(PIO_STACK_LOCATION Stack)
{
    return Stack->Parameters.Power.Type == SystemPowerState;
}

static SYSTEM_POWER_STATE NewSystemState(PowerContext *Context)
{
    return PowerStack(Context)->Parameters.Power.State.SystemState;
}

static DEVICE_POWER_STATE NewDeviceState(PowerContext *Context)
{
    return PowerStack(Context)->Parameters.Power.State.DeviceState;
}

static BOOLEAN IsSetPower(PowerContext *Context)
{
    return PowerStack(Context)->MinorFunction == IRP_MN_SET_POWER;
}

// Records the device's new state and tells the power manager, as a power
// policy owner must.
static VOID RecordDevicePowerState(PDEVICE_EXTENSION Extension, DEVICE_POWER_STATE State)
{
    Extension->DevicePowerState = State;
    POWER_STATE state;
    state.DeviceState = State;
    PoSetPowerState(Extension->Self, DevicePowerState, state);
}

// After PoCallDriver or PoRequestPowerIrp has returned: whether the request
// completed inside it, so that this call goes on with the machine. If not, the
// completion will run the machine, and the context must not be touched again.
static BOOLEAN AnsweredMeanwhile(PowerContext *Context)
{
    return InterlockedExchange(&Context->Handover, HandoverAway) == HandoverAnswered;
}

// In a completion: whether the call that sent the request has not returned
// yet, and so goes on with the machine itself.
static BOOLEAN LeftToSender(PowerContext *Context)
{
    return InterlockedCompareExchange(&Context->Handover, HandoverAnswered, HandoverSending) == HandoverSending;
}

// ---------------------------------------------------------------- actions

static VOID DeviceNotPowered(PowerContext *Context);

// A new request: it is kept, and holds the remove lock until it is finished,
// so that a removal waits for every power request in the machine. A removal
// that began since the dispatch took its own hold refuses this one: the
// request then does not enter the machine, which would go on with no hold
// while the removal deletes the device. It ends here, while the dispatch's
// hold still keeps the device.
static LONG PowerAction1(PowerRun *Run)
{
    PowerContext *context = Run->Context;
    PIRP irp = context->Irp;
    if (!NT_SUCCESS(AcquireRemoveLock(context->Extension, irp))) {
        PoStartNextPowerIrp(irp);
        Run->Result = CompleteRequestWithInformation(irp, STATUS_DELETE_PENDING, 0);
        ExFreePool(context);
        return 0;
    }
    IoMarkIrpPending(irp);
    Run->Result = STATUS_PENDING;
    if (!IsSystemRequest(PowerStack(context))) {
        context->State = DeviceRequestReceived;
        return 2;
    }
    if (NewSystemState(context) < context->Extension->SystemPowerState) {
        context->State = SystemUpForwarded;
        return 3;
    }
    context->State = SystemDownDeviceRequested;
    return 6;
}

static LONG PowerAction2(PowerRun *Run)
{
    PowerContext *context = Run->Context;
    BOOLEAN up = NewDeviceState(context) < context->Extension->DevicePowerState;
    if (IsSetPower(context)) {
        if (!up) {
            return 13;
        }
        context->State = DeviceUpForwarded;
        return 3;
    }
    if (!up) {
        return 17;
    }
    context->State = DeviceQueryUpForwarded;
    return 3;
}

// Down the stack, with PowerIrpCompletion on every outcome. When the lower
// drivers complete it at once, this call goes on with their answer.
static LONG PowerAction3(PowerRun *Run)
{
    PowerContext *context = Run->Context;
    PIRP irp = context->Irp;
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, PowerIrpCompletion, context, TRUE, TRUE, TRUE);
    context->Handover = HandoverSending;
    PoCallDriver(context->Extension->LowerDevice, irp);
    if (!AnsweredMeanwhile(context)) {
        return 0;
    }
    Run->Event = IrpCompleted;
    return PowerTransitionTable[context->State][IrpCompleted];
}

// A system request that the lower drivers failed on its way to the working
// state leaves the device unpowered, as a failed device request would: the
// device is treated as failed, so that nothing waits on a silent port.
static LONG PowerAction4(PowerRun *Run)
{
    PowerContext *context = Run->Context;
    if (!NT_SUCCESS(context->Status)) {
        if (NewSystemState(context) == PowerSystemWorking) {
            DeviceNotPowered(context);
        }
        return 8;
    }
    if (IsSetPower(context)) {
        context->Extension->SystemPowerState = NewSystemState(context);
    }
    context->State = SystemUpDeviceRequested;
    if (Run->InCompletion) {
        // The request waits for the device request.
        Run->Result = STATUS_MORE_PROCESSING_REQUIRED;
    }
    return 6;
}

static LONG PowerAction5(PowerRun *Run)
{
    PowerContext *context = Run->Context;
    if (IsSetPower(context)) {
        context->Extension->SystemPowerState = NewSystemState(context);
    }
    return 8;
}

// The device state for the system state: D0 for the working state. For any
// other, the capabilities' entry raised to D3, the deepest state there is:
// whatever the entry (none, or D0 to D3), the device sleeps in D3.
static LONG PowerAction6(PowerRun *Run)
{
    PowerContext *context = Run->Context;
    BOOLEAN working = NewSystemState(context) == PowerSystemWorking;
    context->TargetDeviceState = working ? PowerDeviceD0 : PowerDeviceD3;
    context->RequestMinor = PowerStack(context)->MinorFunction;
    return 7;
}

// A device that could not be brought to D0 is treated as failed, so that
// nothing waits on a port that will never be powered.
static VOID FailUnpoweredDevice(PDEVICE_EXTENSION Extension)
{
    LIST_ENTRY done;
    InitializeListHead(&done);
    KIRQL irql;
    KeAcquireSpinLock(&Extension->Lock, &irql);
    FailDevice(Extension, &done);
    KeReleaseSpinLock(&Extension->Lock, irql);
    CompleteTakenRequests(Extension, &done);
}

// Going up, the system request keeps the lower drivers' status whatever
// became of its device request: the system is working again, and the device
// that was not powered is failed.
static VOID DeviceNotPowered(PowerContext *Context)
{
    if (IsSetPower(Context)) {
        FailUnpoweredDevice(Context->Extension);
    }
    Context->Status = Context->Irp->IoStatus.Status;
}

// The device request. When it completes at once, this call goes on with its
// answer.
static LONG PowerAction7(PowerRun *Run)
{
    PowerContext *context = Run->Context;
    POWER_STATE state;
    state.DeviceState = context->TargetDeviceState;
    context->Handover = HandoverSending;
    NTSTATUS status =
        PoRequestPowerIrp(context->Extension->Pdo, context->RequestMinor, state, PowerRequestCompletion, context, NULL);
    if (!NT_SUCCESS(status)) {
        context->Handover = HandoverAway;
        if (context->State == SystemUpDeviceRequested) {
            DeviceNotPowered(context);
        } else {
            context->Status = status;
        }
        return 8;
    }
    if (!AnsweredMeanwhile(context)) {
        return 0;
    }
    Run->Event = DeviceRequestCompleted;
    return PowerTransitionTable[context->State][DeviceRequestCompleted];
}

// The request leaves the machine. Inside its completion routine it goes on
// completing, with Status: the lower drivers' own, or the device request's
// when that completed meanwhile. Otherwise it is completed here (a completion
// that left the machine to its sender stopped the completion for this).
static LONG PowerAction8(PowerRun *Run)
{
    PowerContext *context = Run->Context;
    PIRP irp = context->Irp;
    PoStartNextPowerIrp(irp);
    if (Run->InCompletion) {
        irp->IoStatus.Status = context->Status;
        Run->Result = context->Status;
    } else {
        CompleteRequest(irp, context->Status);
    }
    ReleaseRemoveLock(context->Extension, irp);
    return 9;
}

static LONG PowerAction9(PowerRun *Run)
{
    Run->Context->State = Finished;
    ExFreePool(Run->Context);
    return 0;
}

static LONG PowerAction10(PowerRun *Run)
{
    if (Run->Result == RESULT_UNSET) {
        Run->Result = STATUS_SUCCESS;
    }
    // A failed device request has failed the device in its completion; the
    // system request keeps the lower drivers' status.
    if (!NT_SUCCESS(Run->Context->Status)) {
        Run->Context->Status = Run->Context->Irp->IoStatus.Status;
    }
    return 8;
}

static LONG PowerAction11(PowerRun *Run)
{
    PowerContext *context = Run->Context;
    if (Run->Result == RESULT_UNSET) {
        Run->Result = STATUS_SUCCESS;
    }
    if (!NT_SUCCESS(context->Status)) {
        return 8;
    }
    context->State = SystemDownForwarded;
    return 3;
}

static LONG PowerAction12(PowerRun *Run)
{
    PowerContext *context = Run->Context;
    if (!NT_SUCCESS(context->Status) || !IsSetPower(context)) {
        return 8;
    }
    RecordDevicePowerState(context->Extension, NewDeviceState(context));
    return 15;
}

static LONG PowerAction13(PowerRun *)
{
    return 14;
}

// Going down, the new state is recorded before the request goes down.
static LONG PowerAction14(PowerRun *Run)
{
    PowerContext *context = Run->Context;
    if (Run->Event == DeviceRequestCompleted) {
        Run->Result = STATUS_SUCCESS;
    }
    context->State = DeviceDownForwarded;
    if (NewDeviceState(context) > context->Extension->DevicePowerState) {
        RecordDevicePowerState(context->Extension, NewDeviceState(context));
    }
    return 3;
}

static LONG PowerAction15(PowerRun *Run)
{
    if (Run->Event == DeviceRequestCompleted) {
        Run->Result = STATUS_SUCCESS;
    }
    return 8;
}

static LONG PowerAction16(PowerRun *)
{
    return 8;
}

static LONG PowerAction17(PowerRun *Run)
{
    Run->Context->State = DeviceQueryDownForwarded;
    return 3;
}

static LONG PowerAction18(PowerRun *)
{
    return 8;
}

static const POWER_MACHINE_ACTION PowerActions[POWER_ACTION_COUNT + 1] = {
    NULL,          PowerAction1,  PowerAction2,  PowerAction3,  PowerAction4,  PowerAction5,  PowerAction6,
    PowerAction7,  PowerAction8,  PowerAction9,  PowerAction10, PowerAction11, PowerAction12, PowerAction13,
    PowerAction14, PowerAction15, PowerAction16, PowerAction17, PowerAction18,
};

// ---------------------------------------------------------------- the machine

// The table is read once, at the start of the call; the actions then chain.
NTSTATUS PowerStateMachine(PowerContext *Context, LONG Event)
{
    PowerRun run;
    run.Context = Context;
    run.Event = Event;
    run.Result = RESULT_UNSET;
    run.InCompletion = Event == IrpCompleted;
    LONG action = PowerTransitionTable[Context->State][Event];
    if (action < 1 || action > POWER_ACTION_COUNT) {
        return STATUS_UNSUCCESSFUL;
    }
    while (action != 0) {
        action = PowerActions[action](&run);
    }
    return run.Result;
}

NTSTATUS NTAPI PowerIrpCompletion(PDEVICE_OBJECT, PIRP Irp, PVOID Context)
{
    PowerContext *context = static_cast<PowerContext *>(Context);
    context->Status = Irp->IoStatus.Status;
    if (LeftToSender(context)) {
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    return PowerStateMachine(context, IrpCompleted);
}

// The device request has completed: the machine goes on here, or in the call
// that asked for it while PoRequestPowerIrp has not returned.
// Once the device is back in D0 for the working state, a reader that ended
// as the system went to sleep is started again, from a work item: the pipe
// resets wait for the bus, and a parent may refuse transfers for a child
// that is not yet in D0. A device the request could not bring to D0 (on the
// way up, or reaffirming the working state after a vetoed sleep) is failed.
VOID NTAPI PowerRequestCompletion(PDEVICE_OBJECT, UCHAR MinorFunction, POWER_STATE PowerState, PVOID Context,
                                  PIO_STATUS_BLOCK IoStatus)
{
    PowerContext *context = static_cast<PowerContext *>(Context);
    PDEVICE_EXTENSION extension = context->Extension;
    if (MinorFunction == IRP_MN_SET_POWER && PowerState.DeviceState == PowerDeviceD0 && !NT_SUCCESS(IoStatus->Status)) {
        FailUnpoweredDevice(extension);
    } else if (MinorFunction == IRP_MN_SET_POWER && PowerState.DeviceState == PowerDeviceD0) {
        KIRQL irql;
        KeAcquireSpinLock(&extension->Lock, &irql);
        BOOLEAN resume = extension->PortOpen && extension->ResumeResetPending;
        KeReleaseSpinLock(&extension->Lock, irql);
        if (resume) {
            QueueCountedWork(extension, ResumeBulkInRead);
        }
    }
    context->Status = IoStatus->Status;
    if (!LeftToSender(context)) {
        PowerStateMachine(context, DeviceRequestCompleted);
    }
}

NTSTATUS PassDownPower(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    return PoCallDriver(Extension->LowerDevice, Irp);
}

// While the port is open, a system request for a sleeping state or
// hibernation notes that the reader will need a restart on the return to the
// working state (queries alike: a vetoed sleep is told apart later, by a
// reader still running). The device sleeps in D3 in every sleeping state, S1
// and S2 included, so its transfers fail there as in S3; the note keeps those
// failures from being judged and the reader from retrying a sleeping device.
static VOID NoteSystemSleep(PDEVICE_EXTENSION Extension, PIO_STACK_LOCATION Stack)
{
    SYSTEM_POWER_STATE state = Stack->Parameters.Power.State.SystemState;
    if (state < PowerSystemSleeping1 || state > PowerSystemHibernate) {
        return;
    }
    KIRQL irql;
    KeAcquireSpinLock(&Extension->Lock, &irql);
    if (Extension->PortOpen) {
        Extension->ResumeResetPending = TRUE;
    }
    KeReleaseSpinLock(&Extension->Lock, irql);
}

static NTSTATUS RunNewRequest(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    PowerContext *context = static_cast<PowerContext *>(ExAllocatePool(NonPagedPool, sizeof(PowerContext)));
    if (context == NULL) {
        PoStartNextPowerIrp(Irp);
        return CompleteRequestWithInformation(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    }
    RtlZeroMemory(context, sizeof(PowerContext));
    context->Extension = Extension;
    context->Irp = Irp;
    context->State = NewRequest;
    return PowerStateMachine(context, Dispatched);
}

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = GetExtension(DeviceObject);
    NTSTATUS status = AcquireRemoveLock(extension, Irp);
    if (!NT_SUCCESS(status)) {
        PoStartNextPowerIrp(Irp);
        return CompleteRequestWithInformation(Irp, status, 0);
    }
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->MinorFunction != IRP_MN_SET_POWER && stack->MinorFunction != IRP_MN_QUERY_POWER) {
        status = PassDownPower(extension, Irp);
    } else {
        if (IsSystemRequest(stack)) {
            NoteSystemSleep(extension, stack);
        }
        status = RunNewRequest(extension, Irp);
    }
    ReleaseRemoveLock(extension, Irp);
    return status;
}
