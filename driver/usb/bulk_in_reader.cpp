// The continuous bulk-in reader: while the port is open, one 4096-byte
// transfer is always pending on the bulk-in pipe. Each completion puts what
// arrived into the receive ring, serves the waiting read, reports the receive
// events, and has the next transfer submitted from a system worker thread.
// Failures are counted; a fatal one, or too many since the open, marks the
// device failed and ends the loop.
#include "driver/core/core.h"
#include "driver/pnp_power/pnp_power.h"
#include "driver/serial/serial.h"
#include "driver/usb/usb.h"

// Failed transfers (reads and writes) since the open that the device survives.
#define FAILURES_TOLERATED 20
// Ring bytes from which SERIAL_EV_RX80FULL is reported.
#define RX80FULL_LEVEL 820000

static VOID SetReaderActive(PDEVICE_EXTENSION Extension, BOOLEAN Active)
{
    KIRQL irql;
    KeAcquireSpinLock(&Extension->Lock, &irql);
    Extension->ReaderActive = Active;
    KeReleaseSpinLock(&Extension->Lock, irql);
}

// The transfer counts as outstanding from here to the end of its completion
// routine, or not at all when it could not be sent. The loop is active from
// before the submission, since the completion may end it before the call
// returns.
NTSTATUS StartBulkInRead(PDEVICE_EXTENSION Extension, USBD_PIPE_HANDLE Pipe)
{
    IncrementIo(Extension);
    SetReaderActive(Extension, TRUE);
    PURB urb = &Extension->ReadUrb;
    BuildBulkTransferUrb(urb, Pipe, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, Extension->ReadBuffer,
                         TRANSFER_SIZE);
    BOOLEAN sent;
    NTSTATUS status = SubmitUrbAsync(Extension->LowerDevice, urb, BulkInComplete, Extension, &sent);
    if (!sent) {
        SetReaderActive(Extension, FALSE);
        DecrementIo(Extension);
    }
    return status;
}

// The next transfer, if the port is still open and the device usable. The
// test and the submission are one step under ReaderMutex, which the abort of
// the data pipes also holds: a transfer either reaches the bus before the
// abort that ends it, or is never sent. A halted pipe is reset first, in the
// same step: retried without the reset, every transfer fails at once.
static VOID ContinueBulkInRead(PDEVICE_EXTENSION Extension, BOOLEAN ResetFirst)
{
    ExAcquireFastMutex(&Extension->ReaderMutex);
    if (Extension->PortOpen && !IsDeviceUnusable(Extension)) {
        if (ResetFirst) {
            ResetPipe(Extension->Self, Extension->BulkInPipe);
        }
        StartBulkInRead(Extension, Extension->BulkInPipe);
    } else {
        SetReaderActive(Extension, FALSE);
    }
    ExReleaseFastMutex(&Extension->ReaderMutex);
}

VOID RestartBulkInRead(PDEVICE_EXTENSION Extension)
{
    ContinueBulkInRead(Extension, FALSE);
}

// After a transfer that failed on a halted endpoint.
VOID RecoverBulkInRead(PDEVICE_EXTENSION Extension)
{
    ContinueBulkInRead(Extension, TRUE);
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
        Extension->ReaderActive = TRUE;
    }
    KeReleaseSpinLock(&Extension->Lock, irql);
    if (start && !IsDeviceUnusable(Extension)) {
        StartBulkInRead(Extension, Extension->BulkInPipe);
    } else if (start) {
        SetReaderActive(Extension, FALSE);
    }
    ExReleaseFastMutex(&Extension->ReaderMutex);
}

// On the return to the working state, from a work item once the device is
// back in D0: a loop that ended while the system was going to sleep starts
// again on freshly reset pipes. A loop that survived the sleep (a sleep that
// was vetoed, or a bus that held the transfer) keeps running: its transfer
// still owns ReadUrb, and its pipes are busy rather than halted.
VOID ResumeBulkInRead(PDEVICE_EXTENSION Extension)
{
    ExAcquireFastMutex(&Extension->ReaderMutex);
    KIRQL irql;
    KeAcquireSpinLock(&Extension->Lock, &irql);
    BOOLEAN resume = Extension->PortOpen && Extension->ResumeResetPending;
    if (resume) {
        Extension->ResumeResetPending = FALSE;
        resume = !Extension->ReaderActive;
    }
    KeReleaseSpinLock(&Extension->Lock, irql);
    if (resume && !IsDeviceUnusable(Extension)) {
        // Each reset is tried whatever the one before it gave.
        ResetPipe(Extension->Self, Extension->BulkInPipe);
        ResetPipe(Extension->Self, Extension->BulkOutPipe);
        ResetPipe(Extension->Self, Extension->AuxPipe);
        StartBulkInRead(Extension, Extension->BulkInPipe);
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

// Lock held: a good transfer while the port is open. Bytes that do not fit
// into the ring are lost; a bus that reports more than the buffer holds is
// taken at the buffer's size.
static VOID TakeReceivedBytes(PDEVICE_EXTENSION Extension, PLIST_ENTRY Done)
{
    ULONG received = Extension->ReadUrb.UrbBulkOrInterruptTransfer.TransferBufferLength;
    if (received > TRANSFER_SIZE) {
        received = TRANSFER_SIZE;
    }
    if (received != 0) {
        // What does not fit is lost, but counted and reported as an overrun.
        ULONG taken = 0;
        RingPut(Extension, Extension->ReadBuffer, received, &taken);
        if (taken < received) {
            Extension->PerfStats.BufferOverrunErrorCount += received - taken;
            Extension->CommErrors |= SERIAL_ERROR_QUEUEOVERRUN;
        }
    }
    CancelReadTimer(Extension);
    ServeQueuedReads(Extension, Done);
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
// transfer queued, only after Lock is released. Without memory for the
// restart's work item the loop ends silently, until the next open or resume;
// the item counts until its worker has run, so the count never falls to zero
// between two transfers of a running loop.
NTSTATUS NTAPI BulkInComplete(PDEVICE_OBJECT, PIRP Irp, PVOID Context)
{
    PDEVICE_EXTENSION extension = static_cast<PDEVICE_EXTENSION>(Context);
    NTSTATUS status = Irp->IoStatus.Status;
    LIST_ENTRY done;
    InitializeListHead(&done);
    BOOLEAN restart;
    BOOLEAN halted = FailedOnHaltedPipe(&extension->ReadUrb);
    KIRQL irql;
    KeAcquireSpinLock(&extension->Lock, &irql);
    if (NT_SUCCESS(status) && extension->ReadUrb.UrbHeader.Status == USBD_STATUS_SUCCESS && extension->PortOpen) {
        TakeReceivedBytes(extension, &done);
        restart = TRUE;
    } else {
        restart = NoteFailedTransfer(extension, status, &done);
    }
    if (!restart) {
        extension->ReaderActive = FALSE;
    }
    KeReleaseSpinLock(&extension->Lock, irql);
    CompleteTakenRequests(extension, &done);
    if (restart && !NT_SUCCESS(QueueCountedWork(extension, halted ? RecoverBulkInRead : RestartBulkInRead))) {
        SetReaderActive(extension, FALSE);
    }
    IoFreeIrp(Irp);
    DecrementIo(extension);
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
