// Remove locks with the free build's counting and the checked build's tag
// tracking: a release must match an acquisition with the same tag, and every
// hold must be released before the lock's memory goes.
#include "model.h"

#include <cstdio>

namespace km::detail {
namespace {

struct Holds {
    std::map<PVOID, int> tags;
};

std::map<PIO_REMOVE_LOCK, Holds> &Locks()
{
    static std::map<PIO_REMOVE_LOCK, Holds> locks;
    return locks;
}

std::string TagList(const Holds &holds)
{
    std::string out;
    for (auto &tag : holds.tags) {
        out += (out.empty() ? "" : ", ") + DescribeAddress(tag.first) + " x" + std::to_string(tag.second);
    }
    return out;
}

int HoldCount(const Holds &holds)
{
    int total = 0;
    for (auto &tag : holds.tags) {
        total += tag.second;
    }
    return total;
}

} // namespace

void CheckRemoveLocksIn(const void *begin, size_t bytes, const char *when)
{
    for (auto it = Locks().begin(); it != Locks().end();) {
        const void *p = it->first;
        if (!AddressIn(p, begin, bytes)) {
            ++it;
            continue;
        }
        if (HoldCount(it->second) != 0) {
            Violate("REMOVE_LOCK",
                    "remove lock " + DescribeAddress(p) + " still held " + when + ": " + TagList(it->second));
        }
        it = Locks().erase(it);
    }
}

void CheckRemoveLocksAtShutdown()
{
    for (auto &lock : Locks()) {
        if (HoldCount(lock.second) != 0) {
            Violate("REMOVE_LOCK",
                    "remove lock " + DescribeAddress(lock.first) + " still held at shutdown: " + TagList(lock.second));
        }
    }
}

std::string RemoveLockHolds(const void *event)
{
    for (auto &lock : Locks()) {
        if (&lock.first->Common.RemoveEvent == event && HoldCount(lock.second) != 0) {
            return TagList(lock.second);
        }
    }
    return std::string();
}

void ResetRemoveLocks()
{
    Locks().clear();
}

} // namespace km::detail

using namespace km::detail;

VOID NTAPI IoInitializeRemoveLockEx(PIO_REMOVE_LOCK Lock, ULONG AllocateTag, ULONG MaxLockedMinutes,
                                    ULONG HighWatermark, ULONG RemlockSize)
{
    (void)AllocateTag;
    (void)MaxLockedMinutes;
    (void)HighWatermark;
    (void)RemlockSize;
    auto known = Locks().find(Lock);
    if (known != Locks().end() && HoldCount(known->second) != 0) {
        Violate("REINITIALIZE_ACTIVE", "IoInitializeRemoveLock of remove lock " + DescribeAddress(Lock) +
                                           ", which is held: " + TagList(known->second));
        return;
    }
    Lock->Common.Removed = FALSE;
    Lock->Common.IoCount = 1;
    KeInitializeEvent(&Lock->Common.RemoveEvent, NotificationEvent, FALSE);
    Locks()[Lock] = Holds();
}

NTSTATUS NTAPI IoAcquireRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, PCSTR File, ULONG Line, ULONG RemlockSize)
{
    (void)File;
    (void)Line;
    (void)RemlockSize;
    RequireIrqlAtMost(DISPATCH_LEVEL, "IoAcquireRemoveLock");
    CheckResident(RemoveLock, "IoAcquireRemoveLock");
    SwitchPoint("IoAcquireRemoveLock");
    ++RemoveLock->Common.IoCount;
    if (RemoveLock->Common.Removed) {
        if (--RemoveLock->Common.IoCount == 0) {
            KeSetEvent(&RemoveLock->Common.RemoveEvent, IO_NO_INCREMENT, FALSE);
        }
        return STATUS_DELETE_PENDING;
    }
    ++Locks()[RemoveLock].tags[Tag];
    return STATUS_SUCCESS;
}

VOID NTAPI IoReleaseRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize)
{
    (void)RemlockSize;
    RequireIrqlAtMost(DISPATCH_LEVEL, "IoReleaseRemoveLock");
    Holds &holds = Locks()[RemoveLock];
    auto tag = holds.tags.find(Tag);
    if (tag == holds.tags.end()) {
        Violate("REMOVE_LOCK", "release of remove lock " + DescribeAddress(RemoveLock) + " with tag " +
                                   DescribeAddress(Tag) + ", which does not hold it");
        return;
    }
    if (--tag->second == 0) {
        holds.tags.erase(tag);
    }
    if (--RemoveLock->Common.IoCount == 0) {
        KeSetEvent(&RemoveLock->Common.RemoveEvent, IO_NO_INCREMENT, FALSE);
    }
    SwitchPoint("IoReleaseRemoveLock");
}

VOID NTAPI IoReleaseRemoveLockAndWaitEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "IoReleaseRemoveLockAndWait");
    RemoveLock->Common.Removed = TRUE;
    IoReleaseRemoveLockEx(RemoveLock, Tag, RemlockSize);
    // The initial count taken at initialisation.
    if (--RemoveLock->Common.IoCount == 0) {
        KeSetEvent(&RemoveLock->Common.RemoveEvent, IO_NO_INCREMENT, FALSE);
    }
    WaitObject(&RemoveLock->Common.RemoveEvent, nullptr,
               "remove lock " + DescribeAddress(RemoveLock) + " to be released by every holder");
}
