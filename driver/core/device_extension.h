// The per-device record: all state of one COM port, the receive ring and the
// bulk-in transfer buffer included. It is the device extension of the
// function device object, allocated zeroed from non-paged pool with it.
#pragma once

#include "platform/kernel.h"

// Receive ring capacity. Deliberately not a power of two.
#define RING_CAPACITY 1024000
// Bytes moved by one bulk-in transfer, and the largest bulk-out piece.
#define TRANSFER_SIZE 4096
// FailureMarker once the device has been judged failed.
#define FAILURE_MARKER_FAILED 9999
// Remove-lock record size handed to the remove-lock routines (free build).
#define REMOVE_LOCK_SIZE 24

// Plug and Play state of the device (PnpState, PreviousPnpState).
enum PnpStateValue {
    NotStarted = 0,
    Started = 1,
    StopPending = 2,
    RemovePending = 3,
    SurpriseRemoved = 4,
    Removed = 5,
};

struct DeviceExtension {
    PDEVICE_OBJECT Self;
    PDEVICE_OBJECT LowerDevice;
    PDEVICE_OBJECT Pdo;
    IO_REMOVE_LOCK RemoveLock;
    UNICODE_STRING InterfaceName;
    LONG PnpState;
    LONG PreviousPnpState;
    DEVICE_POWER_STATE DevicePowerState;
    SYSTEM_POWER_STATE SystemPowerState;
    DEVICE_CAPABILITIES DeviceCapabilities;
    LONG OpenCount;
    USBD_PIPE_HANDLE BulkInPipe;
    USBD_PIPE_HANDLE BulkOutPipe;
    USBD_PIPE_HANDLE AuxPipe;
    LONG FailureMarker;
    KSPIN_LOCK Lock;
    SERIAL_TIMEOUTS Timeouts;
    ULONG BaudRate;
    SERIAL_LINE_CONTROL LineControl;
    SERIAL_HANDFLOW HandFlow;
    SERIAL_CHARS Chars;
    ULONG WaitMask;
    SERIALPERF_STATS PerfStats;
    USHORT ModemStatus;
    LIST_ENTRY WaitQueue;
    LIST_ENTRY ReadQueue;
    ULONG PendingWriteBytes;
    UNICODE_STRING DeviceName;
    UNICODE_STRING SymbolicLinkName;
    ULONG HoldReasons;
    BOOLEAN WriteActive;
    LIST_ENTRY WriteQueue;
    KTIMER ReadTimer;
    KDPC ReadTimerDpc;
    URB ReadUrb;
    UCHAR ReadBuffer[TRANSFER_SIZE];
    LONG RingHead;
    LONG RingTail;
    LONG RingCount;
    UCHAR Ring[RING_CAPACITY];
    ULONG ReadRemaining;
    BOOLEAN PortOpen;
    KSPIN_LOCK StateLock;
    ULONG EventHistory;
    FAST_MUTEX OpenMutex;
    FAST_MUTEX CloseMutex;
    BOOLEAN PortNamesRemoved;
    LONG ReadErrorCount;
    KEVENT IdleEvent;
    LONG OutstandingIo;
    BOOLEAN ResumeResetPending;
    // Serialises the reader's restart (its test of PortOpen and the
    // submission) against the abort of the data pipes, so that no transfer
    // can reach the bus after the abort meant to end it.
    FAST_MUTEX ReaderMutex;
    // Serialises the waits for OutstandingIo to drain (close and removal).
    FAST_MUTEX DrainMutex;
    // The read timer's share of OutstandingIo (ReadTimerStateValue) and the
    // due time a deferred arming waits with; under Lock.
    LONG ReadTimerState;
    LARGE_INTEGER ReadTimerDue;
    // The bulk-in loop is alive: a transfer is in flight or its restart is
    // queued. Under Lock; the power path restarts only a loop that ended.
    BOOLEAN ReaderActive;
    // The write pump (write.cpp): WriteSending while one context sends the
    // pieces and starts the queued requests; what a completion leaves it to
    // do: the piece to send next, or the request that has ended. Under Lock.
    BOOLEAN WriteSending;
    PIRP WriteNext;
    PIRP WriteEnded;
    // The transfer context of the request being sent (write.cpp), until it
    // is completed. Under Lock.
    PVOID WriteContext;
    // A bulk-out piece failed on a halted pipe, which is to be reset before
    // the next piece goes. Under Lock.
    BOOLEAN WritePipeHalted;
    // What a pipe abort sends, made once with the device: an abort on the way
    // out (close, removal) must not fail for want of memory, or the transfer it
    // ends would be waited for for ever. Under ReaderMutex.
    PIRP AbortIrp;
    URB AbortUrb;
    KEVENT AbortDone;
    // Serial errors not yet reported by IOCTL_SERIAL_GET_COMMSTATUS
    // (SERIAL_ERROR_QUEUEOVERRUN when received bytes did not fit). Under Lock.
    ULONG CommErrors;
};

// What the read timer holds of OutstandingIo. The timer counts from its
// arming until it is cancelled in time or its DPC has run, since a queued DPC
// cannot be flushed on Windows 2000.
enum ReadTimerStateValue {
    ReadTimerIdle = 0,     // not set, no DPC owed, no count held
    ReadTimerSet = 1,      // set for the waiting read; its expiry serves it
    ReadTimerStale = 2,    // expired or cancelled too late: a DPC is owed and serves nothing
    ReadTimerDeferred = 3, // as Stale, and the owed DPC sets the timer again (ReadTimerDue)
};

typedef DeviceExtension *PDEVICE_EXTENSION;

inline PDEVICE_EXTENSION GetExtension(PDEVICE_OBJECT DeviceObject)
{
    return static_cast<PDEVICE_EXTENSION>(DeviceObject->DeviceExtension);
}

static_assert(sizeof(DeviceExtension) > RING_CAPACITY + TRANSFER_SIZE, "ring and buffer embedded");
