// IofCompleteRequest: the completion walk up the stack locations, with
// SL_INVOKE_ON_* flags, PendingReturned propagation and
// STATUS_MORE_PROCESSING_REQUIRED, and the verifier's checks of who may
// complete an IRP and how.
#include "model.h"

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

// On Windows 2000 and XP the next power IRP of a device waits until each
// driver that saw this one has called PoStartNextPowerIrp: the IRP is leaving
// the driver of `device` now.
void CheckPowerIrpStarted(PIRP irp, IrpInfo *info, PDEVICE_OBJECT device)
{
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    if (location->MajorFunction != IRP_MJ_POWER || device == nullptr || !IsLive(device)) {
        return;
    }
    PDRIVER_OBJECT driver = device->DriverObject;
    if (info->startedNextPower.count(driver) == 0 && info->startedNextPower.count(nullptr) == 0) {
        Violate("POWER_IRP_NOT_STARTED", km::Narrow(km::Wide(driver->DriverName)) + " let a power IRP (minor " +
                                             std::to_string(location->MinorFunction) +
                                             ") go without calling PoStartNextPowerIrp");
    }
}

// The walk has passed location `index`: settle what its dispatch routine returned.
void SettleLocation(PIRP irp, IrpInfo *info, int index, bool marked)
{
    info->locations.resize(static_cast<size_t>(irp->StackCount) + 2);
    LocationState &state = info->locations[static_cast<size_t>(index)];
    state.walked = true;
    state.markedAtWalk = marked;
    CheckPowerIrpStarted(irp, info, IoGetCurrentIrpStackLocation(irp)->DeviceObject);
    if (!state.dispatched || !state.returned) {
        return;
    }
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    CheckPendingContract(location->DeviceObject, location->MajorFunction, state.result, marked);
}

// Whether `driver` owns a location in [first, last]: the driver of the device
// stored there.
bool DriverOwnsLocationIn(PIRP irp, PDRIVER_OBJECT driver, int first, int last)
{
    PIO_STACK_LOCATION base = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1);
    for (int index = first; index <= last && index <= irp->StackCount; ++index) {
        PDEVICE_OBJECT device = base[index - 1].DeviceObject;
        if (device != nullptr && IsLive(device) && device->DriverObject == driver) {
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
        Violate("DOUBLE_COMPLETE",
                "IofCompleteRequest of IRP " + DescribeAddress(irp) + ", which was already completed");
        return false;
    }
    PDRIVER_OBJECT completer = CurrentDriver();
    if (completer != nullptr && irp->CurrentLocation <= irp->StackCount) {
        PDEVICE_OBJECT owner = IoGetCurrentIrpStackLocation(irp)->DeviceObject;
        bool ownsCurrent = owner != nullptr && IsLive(owner) && owner->DriverObject == completer;
        if (!ownsCurrent && DriverOwnsLocationIn(irp, completer, irp->CurrentLocation + 1, irp->StackCount)) {
            Violate("COMPLETE_OWNED_BY_LOWER", km::Narrow(km::Wide(completer->DriverName)) + " completes IRP " +
                                                   DescribeAddress(irp) + " that it passed down to " +
                                                   DeviceLabel(owner) + ", which still owns it");
            return false;
        }
        if (!ownsCurrent && DriverOwnsLocationIn(irp, completer, 1, irp->CurrentLocation - 1)) {
            Violate("DOUBLE_COMPLETE", km::Narrow(km::Wide(completer->DriverName)) + " completes IRP " +
                                           DescribeAddress(irp) + " again after completing it to " +
                                           DeviceLabel(owner));
            return false;
        }
    }
    if (irp->CancelRoutine != nullptr) {
        Violate("COMPLETE_WITH_CANCEL_ROUTINE",
                "IofCompleteRequest of IRP " + DescribeAddress(irp) + " with its cancel routine still set");
        return false;
    }
    if (irp->IoStatus.Status == STATUS_PENDING) {
        Violate("COMPLETE_WITH_PENDING_STATUS",
                "IofCompleteRequest of IRP " + DescribeAddress(irp) + " with IoStatus.Status STATUS_PENDING");
        return false;
    }
    return true;
}

} // namespace

} // namespace km::detail

using namespace km::detail;

VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost)
{
    (void)PriorityBoost;
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
        if (routine != nullptr && Invoked(location->Control, Irp->IoStatus.Status, Irp->Cancel)) {
            bool pastTop = Irp->CurrentLocation > Irp->StackCount;
            PDEVICE_OBJECT device = pastTop ? nullptr : IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
            PDRIVER_OBJECT driver = device != nullptr ? device->DriverObject : info->allocator;
            NTSTATUS result;
            {
                DriverScope scope(driver);
                KIRQL before = Current()->irql;
                result = routine(device, Irp, location->Context);
                if (Current()->irql != before) {
                    Violate("IRQL", "completion routine " + DescribeAddress(reinterpret_cast<const void *>(routine)) +
                                        " returned at IRQL " + std::to_string(Current()->irql));
                }
            }
            if (result == STATUS_MORE_PROCESSING_REQUIRED) {
                return; // the IRP belongs to whoever holds it now
            }
            if (info->freed) {
                Violate("POOL_USE_AFTER_FREE", "completion routine " +
                                                   DescribeAddress(reinterpret_cast<const void *>(routine)) +
                                                   " freed the IRP but did not return STATUS_MORE_PROCESSING_REQUIRED");
                return;
            }
        } else if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) {
            IoMarkIrpPending(Irp);
        }
    }
    info->walkedToTop = true;
    if (info->origin == Origin::None) {
        Violate("COMPLETED_TO_TOP", "IRP " + DescribeAddress(Irp) +
                                        " allocated by a driver was completed past its top location: its completion "
                                        "routine must return STATUS_MORE_PROCESSING_REQUIRED");
        return;
    }
    FinishOriginator(Irp, info);
}
