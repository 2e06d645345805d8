// The continuous bulk-in reader: while the port is open, one 4096-byte
// transfer is always pending on the bulk-in pipe, unless the receive ring has
// no room for another. Each completion moves what arrived into the waiting
// read or the ring, reports the receive events, and has the next transfer
// submitted from a system worker thread; with less than a transfer's room
// left in the ring, the loop waits instead (a device holds its bytes while
// the host sends no transfer), and the read or purge that makes room restarts
// it. Failures are counted; a fatal one, or too many since the open, marks
// the device failed and ends the loop.
#include "driver/core/core.h"
#include "driver/pnp_power/pnp_power.h"
#include "driver/serial/serial.h"
#include "driver/usb/usb.h"

// Failed transfers (reads and writes) since the open that the device survives.
#define FAILURES_TOLERATED 20
// Ring bytes from which SERIAL_EV_RX80FULL is reported.
#define RX80FULL_LEVEL 820000

// The loop holds one count of OutstandingIo while ReaderActive is set, from
// the start of its first transfer through its restarts to its end or its wait
// for room, so that close and removal wait for it whether a transfer or a
// restart is in flight.

// Lock held: the loop is alive from here.
static VOID BeginReader(PDEVICE_EXTENSION Extension)
{
    Extension->ReaderActive = TRUE;
    IncrementIo(Extension);
}

static VOID EndReader(PDEVICE_EXTENSION Extension)
{
    KIRQL irql;
    KeAcquireSpinLock(&Extension->Lock, &irql);
    Extension->ReaderActive = FALSE;
    KeReleaseSpinLock(&Extension->Lock, irql);
    DecrementIo(Extension);
}

// Lock held: whether a whole transfer would fit into the ring.
static BOOLEAN RingHasRoom(PDEVICE_EXTENSION Extension)
{
    return RING_CAPACITY - static_cast<ULONG>(GetRingCount(Extension)) >= TRANSFER_SIZE;
}

// ReaderActive is set. The transfer's IRP and URB are the loop's own.
VOID StartBulkInRead(PDEVICE_EXTENSION Extension)
{
    PURB urb = &Extension->ReadUrb;
    BuildBulkTransferUrb(urb, Extension->BulkInPipe, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK,
                         Extension->ReadBuffer, TRANSFER_SIZE);
    SubmitUrbWithIrp(Extension->LowerDevice, Extension->ReaderIrp, urb, BulkInComplete, Extension);
}

// The next transfer, if the port is still open and the device usable. The
// test and the submission are one step under ReaderMutex, which the abort of
// the data pipes also holds: a transfer either reaches the bus before the
// abort that ends it, or is never sent. A halted pipe is reset first, in the
// same step: retried without the reset, every transfer fails at once.
static VOID NTAPI ReaderStep(PDEVICE_OBJECT, PVOID Context)
{
    PDEVICE_EXTENSION extension = static_cast<PDEVICE_EXTENSION>(Context);
    ExAcquireFastMutex(&extension->ReaderMutex);
    if (extension->PortOpen && !IsDeviceUnusable(extension)) {
        if (extension->ReaderResetFirst) {
            ResetPipe(extension->Self, extension->BulkInPipe);
        }
        StartBulkInRead(extension);
    } else {
        EndReader(extension);
    }
    ExReleaseFastMutex(&extension->ReaderMutex);
}

// ReaderActive is set, and no other step is queued.
VOID QueueReaderStep(PDEVICE_EXTENSION Extension)
{
    IoQueueWorkItem(Extension->ReaderWorkItem, ReaderStep, DelayedWorkQueue, Extension);
}

// Lock held, after bytes have left the ring: whether the caller, once it has
// released Lock, restarts the loop that waits for room (QueueReaderStep). A
// loop caught by a sleep is left to the return to the working state, which
// resets the pipes first.
BOOLEAN TakeThrottledReader(PDEVICE_EXTENSION Extension)
{
    if (!Extension->ReaderThrottled || !Extension->PortOpen || Extension->ResumeResetPending ||
        !RingHasRoom(Extension)) {
        return FALSE;
    }
    Extension->ReaderThrottled = FALSE;
    BeginReader(Extension); // ReaderResetFirst as the last transfer left it
    return TRUE;
}

// From the open, once the pipes are reset: the loop starts unless it already
// runs. A sleep that overlaps the open (real, or vetoed and reaffirmed) may
// have had the power path start it meanwhile, and a second transfer on the
// one ReadUrb would duplicate, lose or garble bytes. The test and the setting
// of ReaderActive are one step under Lock, inside ReaderMutex, which the power
// path's start holds too.
VOID StartBulkInReadForOpen(PDEVICE_EXTENSION Extension)
{
    ExAcquireFastMutex(&Extension->ReaderMutex);
    KIRQL irql;
    KeAcquireSpinLock(&Extension->Lock, &irql);
    BOOLEAN start = Extension->PortOpen && !Extension->ReaderActive;
    if (start) {
        BeginReader(Extension);
    }
    KeReleaseSpinLock(&Extension->Lock, irql);
    if (start && !IsDeviceUnusable(Extension)) {
        StartBulkInRead(Extension);
    } else if (start) {
        EndReader(Extension);
    }
    ExReleaseFastMutex(&Extension->ReaderMutex);
}

// On the return to the working state, from a work item once the device is
// back in D0: a loop that ended while the system was going to sleep, or that
// waited for room, starts again on freshly reset pipes (the one waiting for
// room once there is room). A loop that survived the sleep (a sleep that was
// vetoed, or a bus that held the transfer) keeps running: its transfer still
// owns ReadUrb, and its pipes are busy rather than halted.
VOID ResumeBulkInRead(PDEVICE_EXTENSION Extension)
{
    ExAcquireFastMutex(&Extension->ReaderMutex);
    KIRQL irql;
    KeAcquireSpinLock(&Extension->Lock, &irql);
    BOOLEAN resume = Extension->PortOpen && Extension->ResumeResetPending;
    BOOLEAN start = FALSE;
    if (resume) {
        Extension->ResumeResetPending = FALSE;
        resume = !Extension->ReaderActive;
    }
    if (resume) {
        start = RingHasRoom(Extension);
        Extension->ReaderThrottled = !start;
        if (start) {
            BeginReader(Extension);
        }
    }
    KeReleaseSpinLock(&Extension->Lock, irql);
    if (resume && !IsDeviceUnusable(Extension)) {
        // Each reset is tried whatever the one before it gave.
        ResetPipe(Extension->Self, Extension->BulkInPipe);
        ResetPipe(Extension->Self, Extension->BulkOutPipe);
        ResetPipe(Extension->Self, Extension->AuxPipe);
        if (start) {
            StartBulkInRead(Extension);
        }
    } else if (start) {
        EndReader(Extension);
    }
    ExReleaseFastMutex(&Extension->ReaderMutex);
}

// Lock held, after the waiting read has been served: the receive events the
// application asked for, reported to a pending wait-on-mask request.
static VOID NoteReceiveEvents(PDEVICE_EXTENSION Extension, PLIST_ENTRY Done)
{
    ULONG count = static_cast<ULONG>(GetRingCount(Extension));
    if (count == 0) {
        return;
    }
    ULONG mask = Extension->WaitMask;
    if (mask & SERIAL_EV_RXFLAG) {
        // No event character is looked for, and what was noted before goes.
        Extension->EventHistory = SERIAL_EV_RXFLAG;
    }
    if (mask & SERIAL_EV_RXCHAR) {
        Extension->EventHistory |= SERIAL_EV_RXCHAR;
    }
    if (count >= RX80FULL_LEVEL && (mask & SERIAL_EV_RX80FULL)) {
        Extension->EventHistory |= SERIAL_EV_RX80FULL;
    }
    if (Extension->EventHistory != 0) {
        CompleteWaitRequest(Extension, Extension->EventHistory, Done);
    }
}

// Lock held: a good transfer while the port is open. A read that waits finds
// the ring empty: it takes what it wants straight from the transfer's buffer,
// and the rest goes into the ring after it. A bus that reports more than the
// buffer holds is taken at the buffer's size. The loop sends a transfer only
// when the ring has room for all of it, so nothing is lost here; bytes that
// did not fit would be counted and reported as an overrun.
static VOID TakeReceivedBytes(PDEVICE_EXTENSION Extension, PLIST_ENTRY Done)
{
    ULONG received = Extension->ReadUrb.UrbBulkOrInterruptTransfer.TransferBufferLength;
    if (received > TRANSFER_SIZE) {
        received = TRANSFER_SIZE;
    }
    // Only a waiting read has a timer set (or a setting deferred).
    BOOLEAN waiting = !IsListEmpty(&Extension->ReadQueue);
    ULONG served = 0;
    if (waiting) {
        CancelReadTimer(Extension);
        served = ServeWaitingReadFrom(Extension, Extension->ReadBuffer, received, Done);
    }
    if (received > served) {
        ULONG taken = 0;
        RingPut(Extension, Extension->ReadBuffer + served, received - served, &taken);
        if (taken < received - served) {
            Extension->PerfStats.BufferOverrunErrorCount += received - served - taken;
            Extension->CommErrors |= SERIAL_ERROR_QUEUEOVERRUN;
        }
    }
    if (waiting && served == 0) {
        ServeQueuedReads(Extension, Done); // from the ring; a zero-length transfer ends it
    }
    NoteReceiveEvents(Extension, Done);
}

// Lock held: a failed transfer, or any transfer after cleanup. Returns whether
// the loop goes on. The failures a working device has are counted toward the
// failure rule and judged; the expected ones are not: after cleanup or on the
// way to sleep (the loop ends there, for close or the power path), and a
// transfer cancelled by a pipe abort, which the restart's test of the port's
// state sorts out.
static BOOLEAN NoteFailedTransfer(PDEVICE_EXTENSION Extension, NTSTATUS Status, PLIST_ENTRY Done)
{
    if (Extension->ResumeResetPending || !Extension->PortOpen) {
        return FALSE;
    }
    if (Status == STATUS_CANCELLED) {
        return TRUE;
    }
    InterlockedIncrement(&Extension->ReadErrorCount);
    return !NoteFatalReadError(Extension, &Extension->ReadUrb, Status, Done);
}

// Runs at up to DISPATCH_LEVEL without a device object (the IRP has no
// location of this driver's). Requests it ends are completed, and the next
// transfer queued, only after Lock is released. The loop waits when the ring
// has no room for the next transfer.
NTSTATUS NTAPI BulkInComplete(PDEVICE_OBJECT, PIRP Irp, PVOID Context)
{
    PDEVICE_EXTENSION extension = static_cast<PDEVICE_EXTENSION>(Context);
    NTSTATUS status = Irp->IoStatus.Status;
    LIST_ENTRY done;
    InitializeListHead(&done);
    BOOLEAN restart;
    BOOLEAN halted = FALSE;
    KIRQL irql;
    KeAcquireSpinLock(&extension->Lock, &irql);
    if (NT_SUCCESS(status) && extension->ReadUrb.UrbHeader.Status == USBD_STATUS_SUCCESS && extension->PortOpen) {
        TakeReceivedBytes(extension, &done);
        restart = TRUE;
    } else {
        halted = FailedOnHaltedPipe(&extension->ReadUrb);
        restart = NoteFailedTransfer(extension, status, &done);
    }
    if (restart && !RingHasRoom(extension)) {
        extension->ReaderThrottled = TRUE;
        restart = FALSE;
    }
    extension->ReaderActive = restart;
    extension->ReaderResetFirst = halted;
    KeReleaseSpinLock(&extension->Lock, irql);
    if (!IsListEmpty(&done)) {
        CompleteTakenRequests(extension, &done);
    }
    if (restart) {
        QueueReaderStep(extension); // the loop's count goes on with it
    } else {
        DecrementIo(extension);
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Lock held. The count is cumulative since the open: successes between
// failures do not reset it. A fatal failure marks the device failed and ends
// what waits for it (onto Done).
BOOLEAN NoteFatalReadError(PDEVICE_EXTENSION Extension, PURB Urb, NTSTATUS Status, PLIST_ENTRY Done)
{
    BOOLEAN fatal = Urb->UrbHeader.Status == USBD_STATUS_DEV_NOT_RESPONDING || Status == STATUS_DEVICE_NOT_CONNECTED ||
                    Status == STATUS_DEVICE_DATA_ERROR || Extension->ReadErrorCount > FAILURES_TOLERATED;
    if (fatal) {
        FailDevice(Extension, Done);
    }
    return fatal;
}
