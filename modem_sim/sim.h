// Records and routines shared by the files of the simulated modem bus driver.
//
// The bus is a root-enumerated function device object (the "bus FDO"); each
// simulated modem that is plugged in appears as one child physical device
// object (the "child") carrying the diagnostic interface's three pipes. The
// modem's behaviour (bytes toward the host, captured bytes, echo, rate,
// faults, pending transfers) lives in a MODEM record inside the bus's
// extension, so that it outlives the child across an unplug and replug.
#pragma once

#include "platform/kernel.h"
#include "modem_sim/modem_control.h"

#include <stddef.h>

#define SIM_MAX_MODEMS 1
#define SIM_HOST_QUEUE_SIZE MODEM_HOST_QUEUE_CAPACITY
#define SIM_CAPTURE_SIZE MODEM_CAPTURE_CAPACITY
// The rate timer's period: 10 ms of virtual time.
#define SIM_TICK_100NS 100000
#define SIM_TICKS_PER_SECOND 100

#define SIM_BUS_SIGNATURE 0x53554242UL     // 'BBUS'
#define SIM_CHILD_SIGNATURE 0x444C4843UL   // 'CHLD'
#define SIM_CONTROL_SIGNATURE 0x4C525443UL // 'CTRL'

struct _MODEM;

// The first field of both extensions, so a dispatch routine can tell them apart.
typedef struct _SIM_COMMON {
    ULONG Signature;
} SIM_COMMON, *PSIM_COMMON;

// Extension of the child device object. The function driver above reads the
// three pipe handles at byte offsets 12, 16 and 20 (24, 32 and 40 on x64: the
// same fields, pointer-sized); nothing else of this record is visible to it.
typedef struct _CHILD_EXTENSION {
    SIM_COMMON Common;                              // 0
    PDEVICE_OBJECT Self;                            // 4 (x64: 8)
    struct _MODEM *Modem;                           // 8 (16)
    USBD_PIPE_HANDLE PipeHandles[MODEM_PIPE_COUNT]; // 12, 16, 20 (24, 32, 40)
    // Under the modem's lock. A child that is Gone was unplugged: it refuses
    // transfers, leaves the bus relations and is deleted at its removal.
    BOOLEAN Started;
    BOOLEAN Gone;
} CHILD_EXTENSION, *PCHILD_EXTENSION;

static_assert(offsetof(CHILD_EXTENSION, PipeHandles) + 0 * sizeof(USBD_PIPE_HANDLE) == (sizeof(PVOID) == 8 ? 24 : 12),
              "bulk-in handle");
static_assert(offsetof(CHILD_EXTENSION, PipeHandles) + 1 * sizeof(USBD_PIPE_HANDLE) == (sizeof(PVOID) == 8 ? 32 : 16),
              "bulk-out handle");
static_assert(offsetof(CHILD_EXTENSION, PipeHandles) + 2 * sizeof(USBD_PIPE_HANDLE) == (sizeof(PVOID) == 8 ? 40 : 20),
              "aux handle");

typedef struct _SIM_PIPE {
    BOOLEAN In;         // device to host
    BOOLEAN Nak;        // the device holds transfers
    BOOLEAN StallArmed; // the next transfer meets a stall
    BOOLEAN Halted;     // a stall halted the pipe; a reset clears it
    LIST_ENTRY Pending; // IRPs linked through Tail.Overlay.ListEntry
    ULONG FailCount;
    NTSTATUS FailStatus;
    USBD_STATUS FailUsbdStatus;
    ULONG ShortCount;
    ULONG ShortLength;
    ULONG OverCount;
    ULONG OverBytes;
    MODEM_PIPE_STATUS Counters;
} SIM_PIPE, *PSIM_PIPE;

// A ring of bytes: Count of them from Head on, wrapping at Size.
typedef struct _SIM_RING {
    PUCHAR Bytes;
    ULONG Size;
    ULONG Head;
    ULONG Count;
} SIM_RING, *PSIM_RING;

typedef struct _MODEM {
    ULONG Index;
    struct _BUS_EXTENSION *Bus;
    // Lock guards everything below except the timer objects. It is never
    // held while a request is completed or passed to another driver.
    KSPIN_LOCK Lock;
    BOOLEAN Plugged;
    BOOLEAN Echo;
    PDEVICE_OBJECT Child; // the child on the bus, NULL when none; set at PASSIVE_LEVEL
    DEVICE_POWER_STATE DevicePowerState;
    ULONG DeviceStates[7]; // DEVICE_POWER_STATE per SYSTEM_POWER_STATE
    ULONG PowerFailCount;
    NTSTATUS PowerFailStatus;
    ULONG PowerFailMinor;
    SIM_PIPE Pipes[MODEM_PIPE_COUNT];

    // Bytes toward the host: the queue first, then generated ones.
    SIM_RING Host;
    UCHAR HostQueue[SIM_HOST_QUEUE_SIZE];
    ULONG GenerateRemaining;
    UCHAR GenerateNext;

    // Bytes written by the host, oldest first.
    SIM_RING Capture;
    UCHAR CaptureBytes[SIM_CAPTURE_SIZE];
    ULONG CapturedTotal;
    ULONG CaptureDropped;

    // Rate limiting: with Rate bytes per second, each tick of the timer may
    // deliver Credit / SIM_TICKS_PER_SECOND bytes.
    ULONG Rate;
    ULONG Credit;
    BOOLEAN TimerArmed; // the timer is set or its DPC is due
    BOOLEAN TimerStopping;
    KTIMER Timer;
    KDPC Dpc;
    KEVENT TimerIdle; // set when the DPC has seen TimerStopping

    // Completion of served transfers: from the completion DPC (the default)
    // or inline. Completed holds what waits for the DPC.
    BOOLEAN CompleteInline;
    ULONG UnpoweredPolicy; // MODEM_UNPOWERED_*
    ULONG CapturePolicy;   // MODEM_CAPTURE_*
    LIST_ENTRY Completed;
    BOOLEAN CompletionArmed;   // the completion timer is set or its DPC queued
    BOOLEAN CompletionRunning; // the DPC is completing what it took
    KTIMER CompletionTimer;
    KDPC CompletionDpc;
    KEVENT CompletionIdle; // set while neither of the two above holds
} MODEM, *PMODEM;

typedef struct _BUS_EXTENSION {
    SIM_COMMON Common;
    PDEVICE_OBJECT Self;
    PDEVICE_OBJECT LowerDevice;
    PDEVICE_OBJECT Pdo;
    PDEVICE_OBJECT Control; // the named control device (control_device.cpp)
    MODEM Modems[SIM_MAX_MODEMS];
} BUS_EXTENSION, *PBUS_EXTENSION;

static inline KIRQL SimLock(PMODEM Modem)
{
    KIRQL irql;
    KeAcquireSpinLock(&Modem->Lock, &irql);
    return irql;
}

static inline void SimUnlock(PMODEM Modem, KIRQL Irql)
{
    KeReleaseSpinLock(&Modem->Lock, Irql);
}

extern "C" {

// entry.cpp
extern PBUS_EXTENSION SimBus;

// bus_pnp.cpp
NTSTATUS SimBusPnp(PBUS_EXTENSION Bus, PIRP Irp);
NTSTATUS SimBusPassDown(PBUS_EXTENSION Bus, PIRP Irp);
// Sends the request, its next stack location set up, to Lower and waits for
// it (PASSIVE_LEVEL); the request is the caller's again afterwards.
NTSTATUS SimCallAndWait(PDEVICE_OBJECT Lower, PIRP Irp);

// child_pnp.cpp, child_ids.cpp
PDEVICE_OBJECT SimCreateChild(PBUS_EXTENSION Bus, PMODEM Modem);
NTSTATUS SimChildPnp(PCHILD_EXTENSION Child, PIRP Irp);
NTSTATUS SimChildQueryId(PCHILD_EXTENSION Child, PIRP Irp);
NTSTATUS SimChildQueryText(PCHILD_EXTENSION Child, PIRP Irp);
NTSTATUS SimChildQueryCapabilities(PCHILD_EXTENSION Child, PIRP Irp);

// power.cpp
NTSTATUS SimBusPower(PBUS_EXTENSION Bus, PIRP Irp);
NTSTATUS SimChildPower(PCHILD_EXTENSION Child, PIRP Irp);

// urb.cpp
NTSTATUS SimChildInternalControl(PCHILD_EXTENSION Child, PIRP Irp);

// transfers.cpp: pending transfers and their completion
void SimQueueTransfer(PCHILD_EXTENSION Child, ULONG Pipe, PIRP Irp);
void SimFailPending(PMODEM Modem, ULONG Pipe, NTSTATUS Status, USBD_STATUS UsbdStatus);
void SimFailAllPending(PMODEM Modem, NTSTATUS Status, USBD_STATUS UsbdStatus);
void SimCompleteTransfer(PIRP Irp, NTSTATUS Status, USBD_STATUS UsbdStatus, ULONG Length);
BOOLEAN SimClaimTransfer(PIRP Irp);
// Bytes the modem has taken so far from a bulk-out transfer it holds; kept in
// the request's DriverContext while the bus owns it.
ULONG SimBytesTaken(PIRP Irp);
void SimSetBytesTaken(PIRP Irp, ULONG Taken);

// completion.cpp: the IRPs on the list (through Tail.Overlay.ListEntry,
// their status set) complete now or from the completion DPC, as the modem's
// mode says; the caller holds no lock. SimCompleteRequest does so for one
// request that its dispatch routine answers, and returns what that routine
// returns. SimDrainCompletions waits (PASSIVE_LEVEL) until the DPC has
// completed everything queued.
void SimCompleteList(PMODEM Modem, PLIST_ENTRY List);
NTSTATUS SimCompleteRequest(PMODEM Modem, PIRP Irp);
VOID NTAPI SimCompletionDpc(PKDPC Dpc, PVOID Context, PVOID Argument1, PVOID Argument2);
void SimDrainCompletions(PMODEM Modem);

// modem.cpp: the modem's behaviour; SimService moves what can move.
void SimInitializeModem(PBUS_EXTENSION Bus, PMODEM Modem, ULONG Index);
void SimService(PMODEM Modem);
void SimServiceLocked(PMODEM Modem, ULONG Budget, PLIST_ENTRY Done);
void SimResetModem(PMODEM Modem);
void SimForgetFaults(PSIM_PIPE Pipe);

// bytes.cpp: the rings and what moves through them; the lock held.
void SimInitializeRing(PSIM_RING Ring, PUCHAR Bytes, ULONG Size);
ULONG SimRingPut(PSIM_RING Ring, const UCHAR *Data, ULONG Length);
ULONG SimRingTake(PSIM_RING Ring, PUCHAR Destination, ULONG Length);
ULONG SimQueueHostBytes(PMODEM Modem, const UCHAR *Data, ULONG Length);
ULONG SimHostAvailable(PMODEM Modem);
void SimTakeHostBytes(PMODEM Modem, PUCHAR Destination, ULONG Length);
ULONG SimReceiveRoom(PMODEM Modem);
void SimReceiveBytes(PMODEM Modem, const UCHAR *Source, ULONG Length);

// rate.cpp
void SimArmTimerLocked(PMODEM Modem);
VOID NTAPI SimRateDpc(PKDPC Dpc, PVOID Context, PVOID Argument1, PVOID Argument2);
void SimStopTimer(PMODEM Modem);

// control_device.cpp
NTSTATUS SimCreateControlDevice(PBUS_EXTENSION Bus);
void SimDeleteControlDevice(PBUS_EXTENSION Bus);
NTSTATUS SimControlDispatch(PIRP Irp);

// plug.cpp
void SimUnplug(PMODEM Modem);
void SimReplug(PMODEM Modem);

} // extern "C"
