// The outstanding-request counter: 1 plus the reads, writes, bulk-in transfers
// and restart work items in flight. It drops below 1 only while WaitForIdle
// (or StopPipes) has taken the base count away, so IdleEvent is set only when
// someone waits for it.
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

// Called at PASSIVE_LEVEL once nothing new can be counted. With nothing in
// flight IdleEvent is never touched, which matters for a device removed before
// its first open: the event has not been initialised then.
VOID WaitForIdle(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION Extension = GetExtension(DeviceObject);
    if (InterlockedDecrement(&Extension->OutstandingIo) != 0) {
        KeWaitForSingleObject(&Extension->IdleEvent, Executive, KernelMode, FALSE, NULL);
    }
    Extension->OutstandingIo = 1;
}
