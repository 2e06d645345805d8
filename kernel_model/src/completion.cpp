// IofCompleteRequest: the completion walk up the stack locations, with
// SL_INVOKE_ON_* flags, PendingReturned propagation and
// STATUS_MORE_PROCESSING_REQUIRED, and the verifier's checks of who may
// complete an IRP and how.
#include "model.h"

#include <cstring>

namespace km::detail {
namespace {

bool Invoked(UCHAR control, NTSTATUS status, BOOLEAN cancel)
{
    if (NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS) != 0) {
        return true;
    }
    if (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR) != 0) {
        return true;
    }
    return cancel && (control & SL_INVOKE_ON_CANCEL) != 0;
}

// On Windows 2000 and XP the next power IRP of a device waits until
// PoStartNextPowerIrp was called for this one with the device's location
// current: every device whose dispatch routine got the IRP at this location
// (one that skipped its location shares it with the device below) must have.
void CheckPowerIrpStarted(IrpInfo *info, int index)
{
    for (const auto &holder : info->powerHolders) {
        PDEVICE_OBJECT device = holder.second;
        if (holder.first != index || info->powerStarted.count(device) != 0 || !IsAllocated(device)) {
            continue;
        }
        Violate("POWER_IRP_NOT_STARTED", km::Narrow(km::Wide(device->DriverObject->DriverName)) +
                                             " let a power IRP go from " + DeviceLabel(device) +
                                             " without calling PoStartNextPowerIrp while its location was current");
        return;
    }
}

// The walk has passed location `index`: settle what its dispatch routine returned.
void SettleLocation(PIRP irp, IrpInfo *info, int index, bool marked)
{
    info->locations.resize(static_cast<size_t>(irp->StackCount) + 2);
    LocationState &state = info->locations[static_cast<size_t>(index)];
    state.walked = true;
    state.markedAtWalk = marked;
    state.statusAtWalk = irp->IoStatus.Status;
    CheckPowerIrpStarted(info, index);
    if (!state.dispatched || !state.returned) {
        return;
    }
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    CheckPendingContract(location->DeviceObject, location->MajorFunction, state.result, marked);
    if (state.result != STATUS_PENDING) {
        CheckReturnedStatus(location->DeviceObject, location->MajorFunction, state.result, state.statusAtWalk);
    }
}

// As XP does once a location's part of the completion is over: the routine
// above gets a location with nothing left of the request but its major
// function, device, completion routine and context.
void ClearLocation(PIO_STACK_LOCATION location)
{
    location->MinorFunction = 0;
    location->Flags = 0;
    location->Control = 0;
    std::memset(&location->Parameters, 0, sizeof(location->Parameters));
    location->FileObject = nullptr;
}

// Whether `driver` owns a location in [first, last]: the driver of the device
// stored there.
bool DriverOwnsLocationIn(PIRP irp, PDRIVER_OBJECT driver, int first, int last)
{
    PIO_STACK_LOCATION base = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1);
    for (int index = first; index <= last && index <= irp->StackCount; ++index) {
        PDEVICE_OBJECT device = base[index - 1].DeviceObject;
        if (device != nullptr && IsAllocated(device) && device->DriverObject == driver) {
            return true;
        }
    }
    return false;
}

bool CheckCompleter(PIRP irp, IrpInfo *info)
{
    if (info == nullptr || info->freed) {
        Violate("DOUBLE_COMPLETE",
                "IofCompleteRequest of " + DescribeAddress(irp) +
                    (info == nullptr ? ", which is not an IRP" : ", an IRP already completed and freed"));
        return false;
    }
    if (irp->CurrentLocation > irp->StackCount + 1 || info->walkedToTop) {
        Violate("DOUBLE_COMPLETE", "IofCompleteRequest of " + DescribeAddress(irp) + ", which was already completed");
        return false;
    }
    PDRIVER_OBJECT completer = CurrentDriver();
    if (completer != nullptr && irp->CurrentLocation <= irp->StackCount) {
        PDEVICE_OBJECT owner = IoGetCurrentIrpStackLocation(irp)->DeviceObject;
        bool ownsCurrent = owner != nullptr && IsAllocated(owner) && owner->DriverObject == completer;
        if (!ownsCurrent && DriverOwnsLocationIn(irp, completer, irp->CurrentLocation + 1, irp->StackCount)) {
            Violate("COMPLETE_OWNED_BY_LOWER", km::Narrow(km::Wide(completer->DriverName)) + " completes " +
                                                   DescribeAddress(irp) + " that it passed down to " +
                                                   DeviceLabel(owner) + ", which still owns it");
            return false;
        }
        if (!ownsCurrent && DriverOwnsLocationIn(irp, completer, 1, irp->CurrentLocation - 1)) {
            Violate("DOUBLE_COMPLETE", km::Narrow(km::Wide(completer->DriverName)) + " completes " +
                                           DescribeAddress(irp) + " again after completing it to " +
                                           DeviceLabel(owner));
            return false;
        }
    }
    // Upper drivers' completion routines would run under the lock; the
    // cancel spin lock is the kernel's (CANCEL_LOCK_NOT_RELEASED covers a
    // cancel routine that completes without releasing it).
    if (HoldsDriverSpinLock(Current(), completer)) {
        Violate("COMPLETE_WITH_SPINLOCK", "IofCompleteRequest of " + DescribeAddress(irp) +
                                              " while the completing driver holds a spin lock of its own");
        return false;
    }
    if (irp->CancelRoutine != nullptr) {
        Violate("COMPLETE_WITH_CANCEL_ROUTINE",
                "IofCompleteRequest of " + DescribeAddress(irp) + " with its cancel routine still set");
        return false;
    }
    if (irp->IoStatus.Status == STATUS_PENDING) {
        Violate("COMPLETE_WITH_PENDING_STATUS",
                "IofCompleteRequest of " + DescribeAddress(irp) + " with IoStatus.Status STATUS_PENDING");
        return false;
    }
    return true;
}

// The routine with the device object of the location now current (none past
// the top), at the IRQL it must return at. Messages are built in functions
// of their own, off the stack of the nested calls.
__attribute__((noinline)) void ReportCompletionIrql(PIO_COMPLETION_ROUTINE routine)
{
    Violate("IRQL", "completion routine " + DescribeAddress(reinterpret_cast<const void *>(routine)) +
                        " returned at IRQL " + std::to_string(Current()->irql));
}

__attribute__((noinline)) void ReportFreedInCompletion(PIO_COMPLETION_ROUTINE routine)
{
    Violate("POOL_USE_AFTER_FREE", "completion routine " + DescribeAddress(reinterpret_cast<const void *>(routine)) +
                                       " freed the IRP but did not return STATUS_MORE_PROCESSING_REQUIRED");
}

__attribute__((noinline)) void ReportCompletedToTop(PIRP irp)
{
    Violate("COMPLETED_TO_TOP", DescribeAddress(irp) +
                                    " allocated by a driver was completed past its top location: its completion "
                                    "routine must return STATUS_MORE_PROCESSING_REQUIRED");
}

NTSTATUS CallCompletionRoutine(PIRP irp, IrpInfo *info, PIO_COMPLETION_ROUTINE routine, PVOID context)
{
    bool pastTop = irp->CurrentLocation > irp->StackCount;
    PDEVICE_OBJECT device = pastTop ? nullptr : IoGetCurrentIrpStackLocation(irp)->DeviceObject;
    PDRIVER_OBJECT driver = device != nullptr ? device->DriverObject : info->allocator;
    DriverScope scope(driver);
    EnterCompletion(driver);
    KIRQL before = Current()->irql;
    NTSTATUS result = routine(device, irp, context);
    if (Current()->irql != before) {
        ReportCompletionIrql(routine);
    }
    LeaveCompletion();
    return result;
}

} // namespace

} // namespace km::detail

using namespace km::detail;

VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost)
{
    (void)PriorityBoost;
    ServiceCall call(__builtin_frame_address(0));
    RequireIrqlAtMost(DISPATCH_LEVEL, "IofCompleteRequest");
    SwitchPoint("IofCompleteRequest");
    IrpInfo *info = FindIrp(Irp);
    if (!CheckCompleter(Irp, info)) {
        return;
    }
    while (Irp->CurrentLocation <= Irp->StackCount) {
        PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
        int index = Irp->CurrentLocation;
        Irp->PendingReturned = (location->Control & SL_PENDING_RETURNED) != 0;
        SettleLocation(Irp, info, index, Irp->PendingReturned);
        Irp->CurrentLocation++;
        Irp->Tail.Overlay.CurrentStackLocation++;
        PIO_COMPLETION_ROUTINE routine = location->CompletionRoutine;
        PVOID context = location->Context;
        bool invoke = routine != nullptr && Invoked(location->Control, Irp->IoStatus.Status, Irp->Cancel);
        ClearLocation(location);
        if (invoke) {
            if (CallCompletionRoutine(Irp, info, routine, context) == STATUS_MORE_PROCESSING_REQUIRED) {
                return; // the IRP belongs to whoever holds it now
            }
            if (info->freed) {
                ReportFreedInCompletion(routine);
                return;
            }
        } else if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) {
            IoMarkIrpPending(Irp);
        }
    }
    info->walkedToTop = true;
    if (info->origin == Origin::None) {
        ReportCompletedToTop(Irp);
        return;
    }
    if (info->origin == Origin::Io) {
        info->completionOrder = NextCompletionOrder();
    }
    // A request from a handle that was not pended is finished by the I/O
    // manager once the dispatch routine it called returns (Windows defers its
    // completion): until then the IRP is still there. A pended one, or the
    // PnP and power managers' own, is finished and freed now.
    int top = Irp->StackCount;
    if (info->origin == Origin::Io && !Irp->PendingReturned && static_cast<int>(info->locations.size()) > top &&
        info->locations[static_cast<size_t>(top)].dispatched && !info->locations[static_cast<size_t>(top)].returned) {
        info->finishDeferred = true;
        return;
    }
    FinishOriginator(Irp, info);
}
