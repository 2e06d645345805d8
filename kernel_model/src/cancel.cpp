// IoCancelIrp with the cancel spin lock, and IoSetCancelRoutine as an atomic
// exchange that is also a switch point (so a racing cancel can run between a
// driver's check of Irp->Cancel and its exchange).
#include "model.h"

using namespace km::detail;

PDRIVER_CANCEL NTAPI IoSetCancelRoutineModel(PIRP Irp, PDRIVER_CANCEL CancelRoutine)
{
    SwitchPoint("IoSetCancelRoutine");
    PDRIVER_CANCEL old = Irp->CancelRoutine;
    Irp->CancelRoutine = CancelRoutine;
    return old;
}

BOOLEAN NTAPI IoCancelIrp(PIRP Irp)
{
    ServiceCall call(__builtin_frame_address(0));
    RequireIrqlAtMost(DISPATCH_LEVEL, "IoCancelIrp");
    IrpInfo *info = FindIrp(Irp);
    if (info == nullptr || info->freed) {
        Violate("POOL_USE_AFTER_FREE", "IoCancelIrp of " + DescribeAddress(Irp) + ", which is not a live IRP");
        return FALSE;
    }
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    if (info->freed) {
        // Completed and freed while we waited for the lock: the I/O manager's
        // own reference keeps this from happening on Windows; nothing to cancel.
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    Irp->Cancel = TRUE;
    // Another processor may see the flag before the routine is taken, e.g. a
    // driver between its test of Cancel and its own exchange.
    SwitchPoint("IoCancelIrp");
    if (info->freed) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    PDRIVER_CANCEL routine = Irp->CancelRoutine;
    Irp->CancelRoutine = nullptr;
    if (routine == nullptr) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    Irp->CancelIrql = irql;
    PDEVICE_OBJECT device =
        Irp->CurrentLocation <= Irp->StackCount ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject : nullptr;
    Trace("cancel " + DescribeAddress(Irp));
    {
        DriverScope scope(device != nullptr ? device->DriverObject
                                            : DriverOfAddress(reinterpret_cast<const void *>(routine)));
        routine(device, Irp);
    }
    for (const void *lock : Current()->held) {
        if (lock == &g_cancelSpinLock) {
            Violate("CANCEL_LOCK_NOT_RELEASED", "cancel routine " +
                                                    DescribeAddress(reinterpret_cast<const void *>(routine)) +
                                                    " returned without releasing the cancel spin lock");
            break;
        }
    }
    // The routine releases the cancel spin lock to Irp->CancelIrql, the
    // canceller's IRQL, and returns there.
    if (Current()->irql != irql) {
        Violate("IRQL", "cancel routine " + DescribeAddress(reinterpret_cast<const void *>(routine)) +
                            " returned at IRQL " + std::to_string(Current()->irql) + ", not at Irp->CancelIrql (" +
                            std::to_string(irql) + ")");
    }
    return TRUE;
}

namespace km {

BOOLEAN Cancel(Request *request)
{
    if (request->completed) {
        return FALSE;
    }
    return IoCancelIrp(request->irp);
}

} // namespace km
