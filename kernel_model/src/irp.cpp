// IRPs: allocation with N stack locations, freeing, IofCallDriver (move to
// the next location, store the device, dispatch by major function) and the
// bookkeeping the verifier needs about who holds an IRP and what each
// dispatch routine returned.
#include "model.h"

#include <cstdio>
#include <cstring>

namespace km::detail {
namespace {

std::map<PIRP, IrpInfo> &Irps()
{
    static std::map<PIRP, IrpInfo> irps;
    return irps;
}

// Dispatch routines that the I/O manager and PnP manager call at PASSIVE_LEVEL.
bool PassiveMajor(UCHAR major, PDEVICE_OBJECT device)
{
    switch (major) {
    case IRP_MJ_CREATE:
    case IRP_MJ_CLOSE:
    case IRP_MJ_CLEANUP:
    case IRP_MJ_READ:
    case IRP_MJ_WRITE:
    case IRP_MJ_DEVICE_CONTROL:
    case IRP_MJ_PNP:
        return true;
    case IRP_MJ_POWER:
        return (device->Flags & DO_POWER_PAGABLE) != 0;
    default:
        return false;
    }
}

} // namespace

IrpInfo *FindIrp(PIRP irp)
{
    auto found = Irps().find(irp);
    return found == Irps().end() ? nullptr : &found->second;
}

void ForgetIrp(PIRP irp)
{
    Irps().erase(irp);
}

PIRP AllocateIrp(CCHAR stackSize, PDRIVER_OBJECT allocator, const char *routine, const void *caller)
{
    size_t bytes = IoSizeOfIrp(stackSize);
    PoolBlock block;
    block.kind = BlockKind::Irp;
    block.bytes = bytes;
    block.allocator = routine;
    block.allocatedFrom = caller;
    block.allocatedIn = Current()->name;
    block.driver = allocator;
    PIRP irp = static_cast<PIRP>(SpecialAllocate(std::move(block)));
    IrpInfo info;
    info.bytes = bytes;
    info.allocator = allocator;
    Irps()[irp] = info;
    IoInitializeIrp(irp, static_cast<USHORT>(bytes), stackSize);
    return irp;
}

// Freed by `routine` (called from `caller`; nullptr: the kernel itself).
void ReleaseIrp(PIRP irp, const char *routine, const void *caller)
{
    IrpInfo *info = FindIrp(irp);
    ReleaseBuffers(irp, info, true);
    info->freed = true;
    FreeBlock(irp, BlockKind::Irp, routine, caller);
}

NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT device, PIRP irp)
{
    (void)device;
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

// Messages are built in functions of their own: the frames of DispatchAt and
// CallDriver stay on the stack below every driver they call, and the
// driver's stack use is measured from above them.
__attribute__((noinline)) void CheckDispatchReturn(PDEVICE_OBJECT device, UCHAR major, KIRQL before, size_t locks)
{
    if (Current()->irql != before || Current()->held.size() != locks) {
        Violate("IRQL", "dispatch routine of " + DeviceLabel(device) + " for major " + std::to_string(major) +
                            " returned at IRQL " + std::to_string(Current()->irql) + " (called at " +
                            std::to_string(before) + ") or with a lock still held");
    }
}

// What a dispatch routine returned, against whether its location was marked
// pending and the status it completed the IRP with.
__attribute__((noinline)) void SettleReturn(PDEVICE_OBJECT device, PIRP irp, IrpInfo *info, int index, UCHAR major,
                                            NTSTATUS status, bool checkReturn)
{
    // Whether this location was marked pending: from the IRP while nobody has
    // completed past it, else as the completion walk saw it.
    LocationState &state = info->locations[static_cast<size_t>(index)];
    state.returned = true;
    state.result = status;
    PIO_STACK_LOCATION location = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + (index - 1);
    bool marked = state.walked ? state.markedAtWalk : (!info->freed && (location->Control & SL_PENDING_RETURNED) != 0);
    if (!checkReturn) {
        return;
    }
    // A pending return on an IRP still below this location is settled by the
    // completion walk: one of this driver's completion routines may still mark it.
    if (state.walked || status != STATUS_PENDING) {
        CheckPendingContract(device, major, status, marked);
    }
    if (state.walked && status != STATUS_PENDING) {
        CheckReturnedStatus(device, major, status, state.statusAtWalk);
    }
}

NTSTATUS DispatchAt(PDEVICE_OBJECT device, PIRP irp, bool checkReturn)
{
    IrpInfo *info = FindIrp(irp);
    int index = irp->CurrentLocation;
    info->locations.resize(static_cast<size_t>(irp->StackCount) + 2);
    info->locations[static_cast<size_t>(index)] = LocationState();
    info->locations[static_cast<size_t>(index)].dispatched = true;
    UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
    if (major == IRP_MJ_POWER) {
        info->powerHolders.push_back({index, device});
    }
    PDRIVER_DISPATCH routine = device->DriverObject->MajorFunction[major];
    NTSTATUS status;
    {
        DriverScope scope(device->DriverObject);
        KIRQL before = Current()->irql;
        size_t locks = Current()->held.size();
        // A driver object made by the test may have no routine at all.
        status = (routine != nullptr ? routine : InvalidDeviceRequest)(device, irp);
        CheckDispatchReturn(device, major, before, locks);
    }
    SettleReturn(device, irp, info, index, major, status, checkReturn);
    if (info->finishDeferred && index == irp->StackCount) {
        info->finishDeferred = false;
        FinishOriginator(irp, info);
    }
    return status;
}

void CheckReturnedStatus(PDEVICE_OBJECT device, UCHAR major, NTSTATUS returned, NTSTATUS completed)
{
    if (returned != completed) {
        char text[96];
        std::snprintf(text, sizeof text, " returned 0x%08x but completed the IRP with 0x%08x",
                      static_cast<unsigned>(returned), static_cast<unsigned>(completed));
        Violate("STATUS_MISMATCH", "dispatch routine of " + DeviceLabel(device) + " for major " +
                                       std::to_string(major) + text +
                                       " (the caller sees the returned value, not the final status)");
    }
}

void CheckPendingContract(PDEVICE_OBJECT device, UCHAR major, NTSTATUS returned, bool marked)
{
    if (returned == STATUS_PENDING && !marked) {
        Violate("PENDING_NOT_MARKED", "dispatch routine of " + DeviceLabel(device) + " for major " +
                                          std::to_string(major) + " returned STATUS_PENDING without IoMarkIrpPending");
    } else if (returned != STATUS_PENDING && marked) {
        Violate("MARKED_NOT_PENDING", "dispatch routine of " + DeviceLabel(device) + " for major " +
                                          std::to_string(major) + " marked the IRP pending but returned " +
                                          std::to_string(returned));
    }
}

// Whether the IRP may be sent to the device (a violation when not).
__attribute__((noinline)) bool MaySend(PDEVICE_OBJECT device, PIRP irp, const char *routine)
{
    if (HoldsDriverSpinLock(Current(), CurrentDriver())) {
        Violate("CALL_WITH_SPINLOCK",
                std::string(routine) + " to " + DeviceLabel(device) + " while holding a spin lock");
        return false;
    }
    IrpInfo *info = FindIrp(irp);
    if (info == nullptr || info->freed) {
        Violate("POOL_USE_AFTER_FREE", std::string(routine) + " with " + DescribeAddress(irp) +
                                           (info == nullptr ? ", which is not an IRP" : ", an IRP already freed"));
        return false;
    }
    // A deleted device object that is still referenced (an open handle) is
    // still called: its driver refuses the request itself.
    if (!IsAllocated(device)) {
        Violate("POOL_USE_AFTER_FREE",
                std::string(routine) + " to " + DescribeAddress(device) + ", which is not a device object any more");
        return false;
    }
    // The routine would run when the IRP is cancelled while the driver below
    // owns it, and complete it under that driver.
    if (irp->CancelRoutine != nullptr) {
        Violate("CALL_WITH_CANCEL_ROUTINE", std::string(routine) + " of " + DescribeAddress(irp) + " to " +
                                                DeviceLabel(device) + " with the caller's cancel routine " +
                                                CodeName(reinterpret_cast<const void *>(irp->CancelRoutine)) +
                                                " still set");
        return false;
    }
    if (irp->CurrentLocation <= 1) {
        Violate("NO_MORE_IRP_STACK_LOCATIONS", std::string(routine) + " to " + DeviceLabel(device) +
                                                   " with an IRP of " + std::to_string(irp->StackCount) +
                                                   " location(s) and none left");
        return false;
    }
    UCHAR major = IoGetNextIrpStackLocation(irp)->MajorFunction;
    if (major == IRP_MJ_POWER && std::strcmp(routine, "PoCallDriver") != 0) {
        Violate("POWER_IRP", std::string(routine) + " with a power IRP to " + DeviceLabel(device) +
                                 ": Windows 2000/XP need PoCallDriver");
        return false;
    }
    if (PassiveMajor(major, device) && Current()->irql != PASSIVE_LEVEL) {
        Violate("IRQL", std::string(routine) + " of major " + std::to_string(major) + " to " + DeviceLabel(device) +
                            " at IRQL " + std::to_string(Current()->irql) +
                            " (its dispatch routine runs at PASSIVE_LEVEL)");
        return false;
    }
    return true;
}

NTSTATUS CallDriver(PDEVICE_OBJECT device, PIRP irp, const char *routine, bool checkReturn)
{
    SwitchPoint(routine);
    if (!MaySend(device, irp, routine)) {
        return STATUS_UNSUCCESSFUL;
    }
    irp->CurrentLocation--;
    irp->Tail.Overlay.CurrentStackLocation--;
    IoGetCurrentIrpStackLocation(irp)->DeviceObject = device;
    FindIrp(irp)->walkedToTop = false;
    return DispatchAt(device, irp, checkReturn);
}

void CheckIrpsOfImage(PDRIVER_OBJECT driver)
{
    auto inImage = [driver](const void *routine) { return routine != nullptr && DriverOfAddress(routine) == driver; };
    for (auto &entry : Irps()) {
        PIRP irp = entry.first;
        IrpInfo &info = entry.second;
        if (info.freed) {
            continue;
        }
        const void *routine = reinterpret_cast<const void *>(irp->CancelRoutine);
        PIO_STACK_LOCATION base = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1);
        for (int index = irp->CurrentLocation; !inImage(routine) && index <= irp->StackCount; ++index) {
            routine = reinterpret_cast<const void *>(base[index - 1].CompletionRoutine);
        }
        if (!inImage(routine)) {
            routine = reinterpret_cast<const void *>(info.powerCallback);
        }
        if (inImage(routine)) {
            Violate("UNLOAD_PENDING_WORK", "the driver unloads while " + DescribeAddress(irp) +
                                               " is pending with its routine " + DescribeAddress(routine));
        }
    }
}

void CheckIrpsAtShutdown()
{
    for (auto &entry : Irps()) {
        IrpInfo &info = entry.second;
        if (!info.freed) {
            PIO_STACK_LOCATION top =
                reinterpret_cast<PIO_STACK_LOCATION>(entry.first + 1) + entry.first->StackCount - 1;
            Violate("IRP_LEAK", DescribeAddress(entry.first) + " (major " + std::to_string(top->MajorFunction) + ", " +
                                    (info.origin == Origin::None ? "allocated by a driver" : "of the I/O manager") +
                                    ") was never completed or freed");
        }
    }
}

void ResetIrps()
{
    for (auto &entry : Irps()) {
        ReleaseBuffers(entry.first, &entry.second, false);
    }
    Irps().clear();
}

} // namespace km::detail

using namespace km::detail;

PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota)
{
    (void)ChargeQuota;
    RequireIrqlAtMost(DISPATCH_LEVEL, "IoAllocateIrp");
    NTSTATUS status;
    if (ShouldFail("IoAllocateIrp", &status)) {
        return nullptr;
    }
    const void *caller = __builtin_return_address(0);
    PDRIVER_OBJECT allocator = CurrentDriver() != nullptr ? CurrentDriver() : DriverOfAddress(caller);
    PIRP irp = AllocateIrp(StackSize, allocator, "IoAllocateIrp", caller);
    return irp;
}

VOID NTAPI IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize)
{
    std::memset(static_cast<void *>(Irp), 0, PacketSize);
    Irp->Type = IO_TYPE_IRP;
    Irp->Size = PacketSize;
    Irp->StackCount = StackSize;
    Irp->CurrentLocation = static_cast<CHAR>(StackSize + 1);
    Irp->ApcEnvironment = 0;
    InitializeListHead(&Irp->ThreadListEntry);
    Irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(Irp + 1) + StackSize;
    IrpInfo *info = FindIrp(Irp);
    if (info != nullptr) {
        info->walkedToTop = false;
        info->locations.clear();
    }
}

VOID NTAPI IoReuseIrp(PIRP Irp, NTSTATUS Status)
{
    IrpInfo *info = FindIrp(Irp);
    CCHAR stackSize = Irp->StackCount;
    IoInitializeIrp(Irp, static_cast<USHORT>(info != nullptr ? info->bytes : IoSizeOfIrp(stackSize)), stackSize);
    Irp->IoStatus.Status = Status;
}

VOID NTAPI IoFreeIrp(PIRP Irp)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, "IoFreeIrp");
    IrpInfo *info = FindIrp(Irp);
    if (info == nullptr) {
        Violate("POOL_BAD_FREE", "IoFreeIrp of " + DescribeAddress(Irp) + ", not an IRP");
        return;
    }
    if (info->freed) {
        Violate("POOL_DOUBLE_FREE", "IoFreeIrp of " + DescribeAddress(Irp) + ", already freed");
        return;
    }
    if (info->origin != Origin::None) {
        Violate("FREE_FOREIGN_IRP", "IoFreeIrp of an IRP that the I/O manager owns: " + DescribeAddress(Irp));
        return;
    }
    if (Irp->CancelRoutine != nullptr) {
        Violate("COMPLETE_WITH_CANCEL_ROUTINE", "IoFreeIrp of an IRP with a cancel routine still set");
        return;
    }
    ReleaseIrp(Irp, "IoFreeIrp", __builtin_return_address(0));
}

NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    ServiceCall call(__builtin_frame_address(0));
    return CallDriver(DeviceObject, Irp, "IofCallDriver");
}
