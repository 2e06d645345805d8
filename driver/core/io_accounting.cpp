// The outstanding-request counter: 1 plus the reads, writes, bulk-in
// transfers, restart work items and the armed read timer in flight. It drops
// below 1 only while WaitForIdle (alone or inside StopPipes) has taken the base
// count away, so IdleEvent is set only when someone waits for it.
#include "driver/core/core.h"

LONG IncrementIo(PDEVICE_EXTENSION Extension)
{
    return InterlockedIncrement(&Extension->OutstandingIo);
}

VOID DecrementIo(PDEVICE_EXTENSION Extension)
{
    if (InterlockedDecrement(&Extension->OutstandingIo) == 0) {
        KeSetEvent(&Extension->IdleEvent, IO_NO_INCREMENT, FALSE);
    }
}

// Called at PASSIVE_LEVEL once nothing new can be counted.
//
// Drains are serialised: two at once (a close and a surprise removal) would
// each drop a base count, so that neither reaches zero or only one of them is
// woken. The base count comes back by an interlocked increment, since a read
// refused during the drain still counts itself in and out; a zero crossing
// such a read made after the last item ended is cleared, so that the next
// drain does not find the event already set.
VOID WaitForIdle(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION Extension = GetExtension(DeviceObject);
    ExAcquireFastMutex(&Extension->DrainMutex);
    if (InterlockedDecrement(&Extension->OutstandingIo) != 0) {
        KeWaitForSingleObject(&Extension->IdleEvent, Executive, KernelMode, FALSE, NULL);
    }
    InterlockedIncrement(&Extension->OutstandingIo);
    KeClearEvent(&Extension->IdleEvent);
    ExReleaseFastMutex(&Extension->DrainMutex);
}
