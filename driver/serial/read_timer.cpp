// The total timeout of a waiting read: what the serial timeouts ask for, and
// the timer that measures it.
//
// An armed timer counts in OutstandingIo, so that close and removal cannot
// delete the device while its DPC may still run: Windows 2000 has no way to
// flush a queued DPC. The count is held from the arming until the timer is
// cancelled in time or the DPC owed for its expiry has run. A DPC owed for an
// expiry that was overtaken (the read it timed has ended) serves nothing; a
// read that must be timed meanwhile has its timer set by that DPC, so that one
// DPC run always answers one expiry.
#include "driver/core/core.h"
#include "driver/serial/serial.h"

// A timeout field's value meaning "none" or "forever", depending on the field.
static const ULONG TimeoutMaximum = 0xFFFFFFFF;
// Timeouts longer than this (about 35 years) are armed at this length, so
// that nothing wraps into a time in the past.
static const ULONGLONG LongestTimeoutMs = 1ULL << 40;
static const LONGLONG HundredNsPerMs = 10000;

VOID PlanReadTimeout(const SERIAL_TIMEOUTS *Timeouts, READ_TIMEOUT_PLAN *Plan)
{
    ULONG multiplier = Timeouts->ReadTotalTimeoutMultiplier;
    ULONG constant = Timeouts->ReadTotalTimeoutConstant;
    Plan->Immediate = FALSE;
    Plan->Timed = FALSE;
    Plan->Multiplier = multiplier;
    Plan->Constant = constant;
    if (multiplier == 0 && constant == 0) {
        // With the interval at its maximum: return what is there, even
        // nothing. Otherwise the interval alone is never timed.
        Plan->Immediate = Timeouts->ReadIntervalTimeout == TimeoutMaximum;
        return;
    }
    if (Timeouts->ReadIntervalTimeout == TimeoutMaximum) {
        if (constant == TimeoutMaximum) {
            return;
        }
        if (multiplier == TimeoutMaximum) {
            Plan->Multiplier = 0;
        }
    }
    Plan->Timed = TRUE;
}

// Relative, in 100 ns units. The product of two 32-bit values plus a third
// fits in 64 bits unsigned; it is clamped before it is scaled.
LONGLONG ReadTimeoutDueTime(ULONG Length, ULONG Multiplier, ULONG Constant)
{
    ULONGLONG ms = static_cast<ULONGLONG>(Length) * Multiplier + Constant;
    if (ms > LongestTimeoutMs) {
        ms = LongestTimeoutMs;
    }
    return -static_cast<LONGLONG>(ms) * HundredNsPerMs;
}

// Lock held; any earlier timer has been cancelled.
VOID ArmReadTimer(PDEVICE_EXTENSION Extension, LONGLONG DueTime)
{
    LARGE_INTEGER due;
    due.QuadPart = DueTime;
    if (Extension->ReadTimerState == ReadTimerIdle) {
        Extension->ReadTimerState = ReadTimerSet;
        IncrementIo(Extension);
        KeSetTimer(&Extension->ReadTimer, due, &Extension->ReadTimerDpc);
        return;
    }
    // A DPC is still owed for an earlier expiry; setting the timer now could
    // fold the new expiry into that DPC run.
    Extension->ReadTimerDue = due;
    Extension->ReadTimerState = ReadTimerDeferred;
}

// Lock held. Idle or Stale, the timer is not set: nothing to cancel.
VOID CancelReadTimer(PDEVICE_EXTENSION Extension)
{
    if (Extension->ReadTimerState != ReadTimerSet && Extension->ReadTimerState != ReadTimerDeferred) {
        return;
    }
    BOOLEAN cancelled = KeCancelTimer(&Extension->ReadTimer);
    switch (Extension->ReadTimerState) {
    case ReadTimerSet:
        if (cancelled) {
            Extension->ReadTimerState = ReadTimerIdle;
            DecrementIo(Extension);
        } else {
            Extension->ReadTimerState = ReadTimerStale;
        }
        break;
    case ReadTimerDeferred:
        Extension->ReadTimerState = ReadTimerStale;
        break;
    default:
        break;
    }
}

// The waiting read finds the ring empty here (data would have served it) and
// ends with STATUS_TIMEOUT.
VOID NTAPI ReadTimeoutDpc(PKDPC, PVOID Context, PVOID, PVOID)
{
    PDEVICE_EXTENSION extension = static_cast<PDEVICE_EXTENSION>(Context);
    LIST_ENTRY done;
    InitializeListHead(&done);
    BOOLEAN release = TRUE;
    KIRQL irql;
    KeAcquireSpinLock(&extension->Lock, &irql);
    switch (extension->ReadTimerState) {
    case ReadTimerSet:
        extension->ReadTimerState = ReadTimerIdle;
        ServeQueuedReads(extension, &done);
        break;
    case ReadTimerStale:
        extension->ReadTimerState = ReadTimerIdle;
        break;
    case ReadTimerDeferred:
        // The count goes on with the timer set for the read now waiting.
        extension->ReadTimerState = ReadTimerSet;
        KeSetTimer(&extension->ReadTimer, extension->ReadTimerDue, &extension->ReadTimerDpc);
        release = FALSE;
        break;
    default:
        release = FALSE;
        break;
    }
    KeReleaseSpinLock(&extension->Lock, irql);
    CompleteTakenRequests(extension, &done);
    if (release) {
        DecrementIo(extension);
    }
}
