// Write requests, sent to the modem on the bulk-out pipe. They wait in
// WriteQueue and go to the bus one at a time (WriteActive), in pieces of at
// most 4096 bytes, each carried down by the request itself.
//
// One context at a time sends: the write pump (WriteSending). Whoever finds no
// pump running becomes it: the writer's thread that starts the first request,
// or a completion routine called after the piece's sender has returned. A
// completion that runs while a pump is sending (a bus that completes a piece
// inside the call that sent it, or on another processor) only leaves the pump
// its next step: the next piece, or the request that ended. The pump sends
// pieces, completes ended requests and starts the next queued one in a loop,
// so the kernel stack stays flat whatever the lengths and the number of
// queued requests, and requests complete in the order in which they came.
//
// A completion routine never completes its own request: when the request it
// was called for ends, the routine lets the I/O manager finish it, or, when
// another request waits behind it, hands both to a work item, which completes
// the ended request before it sends the next. No request is completed, and no
// request passed down, while Lock is held.
#include "driver/core/core.h"
#include "driver/pnp_power/pnp_power.h"
#include "driver/serial/serial.h"
#include "driver/usb/usb.h"

// One per request being sent; allocated when the request leaves the queue,
// freed when it ends.
struct WriteTransferContext {
    URB Urb;            // the current piece
    PUCHAR NextData;    // first byte not yet sent
    ULONG BytesLeft;    // bytes not yet sent
    ULONG BytesDone;    // bytes the bus reported sent
    ULONG PieceLength;  // bytes asked of the bus for the current piece
    PIO_WORKITEM Defer; // hands the ended request and the next one to a worker
};

// What the pump does after taking what a completion left it.
enum WritePumpStep {
    PumpSend,     // send the request it got
    PumpIdle,     // nothing to do: the pump ends
    PumpHostDone, // the request whose completion routine runs the pump ended, and completes as it returns
    PumpHandedOn, // that request ended and waits, with the pump, for a worker
};

static ULONG WriteLength(PIRP Irp)
{
    return IoGetCurrentIrpStackLocation(Irp)->Parameters.Write.Length;
}

// The piece that starts at NextData: its URB, and the request's next stack
// location for the lower driver, with BulkOutComplete on every outcome. The
// request goes down marked pending.
static VOID PreparePiece(PIRP Irp, WriteTransferContext *Context, USBD_PIPE_HANDLE Pipe)
{
    Context->PieceLength = Context->BytesLeft < TRANSFER_SIZE ? Context->BytesLeft : TRANSFER_SIZE;
    BuildBulkTransferUrb(&Context->Urb, Pipe, USBD_SHORT_TRANSFER_OK, Context->NextData, Context->PieceLength);
    PrepareUrbLocation(Irp, &Context->Urb);
    IoSetCompletionRoutine(Irp, BulkOutComplete, Context, TRUE, TRUE, TRUE);
    Irp->IoStatus.Status = STATUS_PENDING;
    IoMarkIrpPending(Irp);
}

NTSTATUS QueueWriteRequest(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    return LinkCancelableRequest(&Extension->WriteQueue, Irp, WriteCancelRoutine);
}

PIRP DequeueWriteRequest(PDEVICE_EXTENSION Extension)
{
    return TakeCancelableRequest(&Extension->WriteQueue);
}

// Lock held. A request that cannot be sent fails at once; its length leaves
// the output-queue count.
static VOID RefuseWrite(PDEVICE_EXTENSION Extension, PIRP Irp, NTSTATUS Status, PLIST_ENTRY Done)
{
    Extension->PendingWriteBytes -= WriteLength(Irp);
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = 0;
    InsertTailList(Done, RequestEntry(Irp));
}

// Lock held. Every queued write ends with Status, none of it sent. When no
// write is on its way either, the queue is idle.
VOID EndQueuedWrites(PDEVICE_EXTENSION Extension, NTSTATUS Status, PLIST_ENTRY Done)
{
    PIRP irp;
    while ((irp = DequeueWriteRequest(Extension)) != NULL) {
        RefuseWrite(Extension, irp, Status, Done);
    }
    if (Extension->WriteContext == NULL) {
        Extension->WriteActive = FALSE;
    }
}

static WriteTransferContext *AllocateWriteContext(PDEVICE_EXTENSION Extension)
{
    WriteTransferContext *context =
        static_cast<WriteTransferContext *>(ExAllocatePool(NonPagedPool, sizeof(WriteTransferContext)));
    if (context == NULL) {
        return NULL;
    }
    RtlZeroMemory(context, sizeof(WriteTransferContext));
    context->Defer = IoAllocateWorkItem(Extension->Self);
    if (context->Defer == NULL) {
        ExFreePool(context);
        return NULL;
    }
    return context;
}

// Lock held, WriteActive set. Takes the oldest queued request that can still
// be taken and prepares its first piece (*Next). A request whose context
// cannot be allocated fails with STATUS_INSUFFICIENT_RESOURCES (onto Done) and
// the next one is tried, so that the queue never stalls. When none is left,
// WriteActive is cleared and the transmit queue has run empty: an event a
// wait hears of now, or later from the history.
NTSTATUS StartNextWrite(PDEVICE_EXTENSION Extension, PIRP *Next, PLIST_ENTRY Done)
{
    PIRP irp;
    while ((irp = DequeueWriteRequest(Extension)) != NULL) {
        WriteTransferContext *context = AllocateWriteContext(Extension);
        if (context == NULL) {
            RefuseWrite(Extension, irp, STATUS_INSUFFICIENT_RESOURCES, Done);
            continue;
        }
        Extension->WriteContext = context;
        context->NextData = static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer);
        context->BytesLeft = WriteLength(irp);
        PreparePiece(irp, context, Extension->BulkOutPipe);
        *Next = irp;
        return STATUS_PENDING;
    }
    *Next = NULL;
    Extension->WriteActive = FALSE;
    NoteEvents(Extension, SERIAL_EV_TXEMPTY, Done);
    return STATUS_UNSUCCESSFUL;
}

// Lock held, after a request ended: the next one goes only while the port is
// open and the device usable. On a failed device the queue was emptied when
// it failed, and it is idle now; otherwise WriteActive stays set and the queue
// waits for cleanup or removal to cancel it.
static VOID StartFollowingWrite(PDEVICE_EXTENSION Extension, PIRP *Next, PLIST_ENTRY Done)
{
    *Next = NULL;
    if (Extension->PortOpen && !IsDeviceUnusable(Extension)) {
        StartNextWrite(Extension, Next, Done);
    } else if (IsDeviceFailed(Extension)) {
        Extension->WriteActive = FALSE;
    }
}

// ---------------------------------------------------------------- the pump

static VOID FreeWriteContext(WriteTransferContext *Context)
{
    IoFreeWorkItem(Context->Defer);
    ExFreePool(Context);
}

// Lock held. The context of the request that ended; the next one gets its own.
static WriteTransferContext *TakeEndedContext(PDEVICE_EXTENSION Extension)
{
    WriteTransferContext *context = static_cast<WriteTransferContext *>(Extension->WriteContext);
    Extension->WriteContext = NULL;
    return context;
}

// The request that ended was given back by its completion routine: it
// completes before the next one starts.
static WritePumpStep FinishAndStartNext(PDEVICE_EXTENSION Extension, PIRP Ended, WriteTransferContext *Context,
                                        PIRP *Send)
{
    FreeWriteContext(Context);
    LIST_ENTRY done;
    InitializeListHead(&done);
    InsertTailList(&done, RequestEntry(Ended));
    CompleteTakenRequests(Extension, &done);
    KIRQL irql;
    KeAcquireSpinLock(&Extension->Lock, &irql);
    StartFollowingWrite(Extension, Send, &done);
    if (*Send == NULL) {
        Extension->WriteSending = FALSE;
    }
    KeReleaseSpinLock(&Extension->Lock, irql);
    CompleteTakenRequests(Extension, &done);
    return *Send != NULL ? PumpSend : PumpIdle;
}

// Lock held. The request whose completion routine runs the pump ended; the
// routine must not complete it itself. With a request waiting behind it, both
// go to the work item the request brought, and the pump with them; otherwise
// the queue is found empty here and the routine lets the request complete.
static WritePumpStep HandOnAfterHost(PDEVICE_EXTENSION Extension, PIRP Host, PLIST_ENTRY Done)
{
    WriteTransferContext *context = static_cast<WriteTransferContext *>(Extension->WriteContext);
    if (Extension->PortOpen && !IsDeviceUnusable(Extension) && !IsListEmpty(&Extension->WriteQueue)) {
        Extension->WriteEnded = Host;
        IoQueueWorkItem(context->Defer, WriteStartWorker, DelayedWorkQueue, NULL);
        return PumpHandedOn;
    }
    FreeWriteContext(TakeEndedContext(Extension));
    PIRP next;
    StartFollowingWrite(Extension, &next, Done);
    Extension->WriteSending = FALSE;
    return PumpHostDone;
}

// Takes what the last completion left. Host is the request whose completion
// routine runs this pump, or none. Gives back the pump's share of
// OutstandingIo when the pump ends.
static WritePumpStep TakePumpStep(PDEVICE_EXTENSION Extension, PIRP Host, PIRP *Send)
{
    LIST_ENTRY done;
    InitializeListHead(&done);
    WritePumpStep step = PumpSend;
    WriteTransferContext *endedContext = NULL;
    KIRQL irql;
    KeAcquireSpinLock(&Extension->Lock, &irql);
    PIRP ended = Extension->WriteEnded;
    *Send = Extension->WriteNext;
    Extension->WriteEnded = NULL;
    Extension->WriteNext = NULL;
    if (ended != NULL && ended == Host) {
        step = HandOnAfterHost(Extension, Host, &done);
    } else if (ended != NULL) {
        endedContext = TakeEndedContext(Extension);
    } else if (*Send == NULL) {
        // The piece sent last is still with the bus; its completion takes over.
        Extension->WriteSending = FALSE;
        step = PumpIdle;
    }
    KeReleaseSpinLock(&Extension->Lock, irql);
    CompleteTakenRequests(Extension, &done);
    if (endedContext != NULL) {
        step = FinishAndStartNext(Extension, ended, endedContext, Send);
    }
    if (step == PumpIdle || step == PumpHostDone) {
        // Last: once the count is gone the device may be removed.
        DecrementIo(Extension);
    }
    return step;
}

// Whether a piece failed on a halted pipe since the last reset; the caller
// resets it.
static BOOLEAN TakePipeHalted(PDEVICE_EXTENSION Extension)
{
    KIRQL irql;
    KeAcquireSpinLock(&Extension->Lock, &irql);
    BOOLEAN halted = Extension->WritePipeHalted;
    Extension->WritePipeHalted = FALSE;
    KeReleaseSpinLock(&Extension->Lock, irql);
    return halted;
}

// Holds one count of OutstandingIo, taken by whoever set WriteSending. Host:
// the request whose completion routine runs the pump, or none. A failed piece
// ends its request, so a pump in a completion routine only sends further
// pieces of a request that is going well; the next request is started by a
// pump without a host (the writer's thread, or the work item a completion
// hands on to), at PASSIVE_LEVEL, which resets a halted pipe first: retried
// without the reset, every piece would fail at once.
static WritePumpStep RunWritePump(PDEVICE_EXTENSION Extension, PIRP Host)
{
    PIRP send;
    WritePumpStep step;
    while ((step = TakePumpStep(Extension, Host, &send)) == PumpSend) {
        if (Host == NULL && TakePipeHalted(Extension)) {
            ResetPipe(Extension->Self, Extension->BulkOutPipe);
        }
        IoCallDriver(Extension->LowerDevice, send);
    }
    return step;
}

// Runs the pump a completion routine handed on: it completes the request
// that ended there, then sends the next. The item goes with that request's
// context.
VOID NTAPI WriteStartWorker(PDEVICE_OBJECT DeviceObject, PVOID)
{
    RunWritePump(GetExtension(DeviceObject), NULL);
}

// ---------------------------------------------------------------- completion

// Lock held: a piece failed. While the port is open the failure counts
// toward the device-failure rule and is judged, unless it was expected: the
// system on its way to sleep, or the piece cancelled (by the application, or
// by a pipe abort). A halted pipe is reset before the next piece goes. A
// pending wait-on-mask request hears of the failure as CTS, DSR and RLSD
// changes, whatever WaitMask holds. A waiting read keeps its timeout.
static VOID NoteFailedPiece(PDEVICE_EXTENSION Extension, PURB Urb, NTSTATUS Status, PLIST_ENTRY Done)
{
    if (FailedOnHaltedPipe(Urb)) {
        Extension->WritePipeHalted = TRUE;
    }
    if (Extension->PortOpen && !Extension->ResumeResetPending && Status != STATUS_CANCELLED) {
        InterlockedIncrement(&Extension->ReadErrorCount);
        NoteFatalReadError(Extension, Urb, Status, Done);
    }
    CompleteWaitRequest(Extension, SERIAL_EV_CTS | SERIAL_EV_DSR | SERIAL_EV_RLSD, Done);
}

// Lock held. Counts what the bus moved of the piece and, while the piece
// succeeded, bytes are left and the port is open, prepares the next piece from
// the first byte not yet sent, so that what a short piece did not carry goes
// in the next one. A piece that moved nothing ends the request, so that a bus
// that takes nothing cannot keep it going for ever; so does a device that
// failed meanwhile. A bus that refuses a piece may leave its length as it was
// sent: a failed piece that claims all of it is taken to have moved nothing.
static BOOLEAN PrepareNextPiece(PDEVICE_EXTENSION Extension, PIRP Irp, WriteTransferContext *Context)
{
    BOOLEAN good = NT_SUCCESS(Irp->IoStatus.Status) && Context->Urb.UrbHeader.Status == USBD_STATUS_SUCCESS;
    ULONG moved = Context->Urb.UrbBulkOrInterruptTransfer.TransferBufferLength;
    if (moved > Context->PieceLength || (!good && moved == Context->PieceLength)) {
        moved = good ? Context->PieceLength : 0;
    }
    Context->BytesDone += moved;
    Context->NextData += moved;
    Context->BytesLeft -= moved;
    if (!good || moved == 0 || Context->BytesLeft == 0 || !Extension->PortOpen || IsDeviceFailed(Extension)) {
        return FALSE;
    }
    PreparePiece(Irp, Context, Extension->BulkOutPipe);
    return TRUE;
}

// Lock held. The request ends with the lower driver's status, or, on a device
// that failed while its piece was on the bus, with STATUS_DELETE_PENDING. All
// of its length leaves the output-queue count, sent or not, and it reports the
// bytes sent, after an error too, so that the caller does not send them again.
static VOID EndWrite(PDEVICE_EXTENSION Extension, PIRP Irp, WriteTransferContext *Context, PLIST_ENTRY Done)
{
    NTSTATUS status = Irp->IoStatus.Status;
    Extension->PendingWriteBytes -= WriteLength(Irp);
    Extension->PerfStats.TransmittedCount += Context->BytesDone;
    Irp->IoStatus.Information = Context->BytesDone;
    if (!NT_SUCCESS(status)) {
        NoteFailedPiece(Extension, &Context->Urb, status, Done);
    } else if (IsDeviceFailed(Extension)) {
        Irp->IoStatus.Status = STATUS_DELETE_PENDING;
    }
}

// The completion routine of every piece, at up to DISPATCH_LEVEL. Returns
// STATUS_MORE_PROCESSING_REQUIRED while the request is still the driver's.
NTSTATUS NTAPI BulkOutComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    PDEVICE_EXTENSION extension = GetExtension(DeviceObject);
    WriteTransferContext *context = static_cast<WriteTransferContext *>(Context);
    LIST_ENTRY done;
    InitializeListHead(&done);
    KIRQL irql;
    KeAcquireSpinLock(&extension->Lock, &irql);
    if (PrepareNextPiece(extension, Irp, context)) {
        extension->WriteNext = Irp;
    } else {
        EndWrite(extension, Irp, context, &done);
        extension->WriteEnded = Irp;
    }
    BOOLEAN pump = !extension->WriteSending;
    if (pump) {
        extension->WriteSending = TRUE;
        IncrementIo(extension);
    }
    KeReleaseSpinLock(&extension->Lock, irql);
    CompleteTakenRequests(extension, &done);
    // With a pump running elsewhere, that pump sends the piece or completes
    // the request.
    if (!pump || RunWritePump(extension, Irp) != PumpHostDone) {
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    // Ended here: the I/O manager finishes it as this routine returns.
    NTSTATUS status = Irp->IoStatus.Status;
    ReleaseRemoveLock(extension, Irp);
    DecrementIo(extension);
    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }
    return status;
}

// ---------------------------------------------------------------- dispatch

// Entered with the cancel spin lock held; the request is on WriteQueue or its
// entry points to itself.
VOID NTAPI WriteCancelRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = GetExtension(DeviceObject);
    KIRQL irql;
    KeAcquireSpinLock(&extension->Lock, &irql);
    extension->PendingWriteBytes -= WriteLength(Irp);
    RemoveEntryList(RequestEntry(Irp));
    KeReleaseSpinLock(&extension->Lock, irql);
    CompleteCancelledRequest(extension, Irp);
}

// Lock held. Whether the write may be queued (STATUS_PENDING, holding the
// remove lock until its completion), ends at once with nothing to send, or is
// refused.
static NTSTATUS AdmitWrite(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    NTSTATUS status = CheckPortServes(Extension);
    if (!NT_SUCCESS(status) || WriteLength(Irp) == 0) {
        return status;
    }
    status = AcquireRemoveLock(Extension, Irp);
    return NT_SUCCESS(status) ? STATUS_PENDING : status;
}

// Lock and the remove lock held. Queues the request and, when no write is on
// its way, starts the queue: *Next is then the request to send, or none when
// this one could not even start (on Done). Returns STATUS_CANCELLED when the
// request was cancelled before it was queued.
static NTSTATUS QueueAndStart(PDEVICE_EXTENSION Extension, PIRP Irp, PIRP *Next, PLIST_ENTRY Done)
{
    *Next = NULL;
    Extension->PendingWriteBytes += WriteLength(Irp);
    if (QueueWriteRequest(Extension, Irp) == STATUS_CANCELLED) {
        RefuseWrite(Extension, Irp, STATUS_CANCELLED, Done);
        return STATUS_CANCELLED;
    }
    if (!Extension->WriteActive) {
        // Nothing is on its way, so no pump runs: this thread becomes it.
        Extension->WriteActive = TRUE;
        if (StartNextWrite(Extension, Next, Done) == STATUS_PENDING) {
            Extension->WriteNext = *Next;
            Extension->WriteSending = TRUE;
            IncrementIo(Extension);
        }
    }
    return STATUS_PENDING;
}

NTSTATUS NTAPI DispatchWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = GetExtension(DeviceObject);
    IncrementIo(extension);
    LIST_ENTRY done;
    InitializeListHead(&done);
    KIRQL irql;
    KeAcquireSpinLock(&extension->Lock, &irql);
    Irp->IoStatus.Information = 0;
    NTSTATUS status = AdmitWrite(extension, Irp);
    if (status != STATUS_PENDING) {
        KeReleaseSpinLock(&extension->Lock, irql);
        CompleteRequest(Irp, status);
        DecrementIo(extension);
        return status;
    }
    PIRP next;
    QueueAndStart(extension, Irp, &next, &done);
    KeReleaseSpinLock(&extension->Lock, irql);
    // A request refused after it was marked pending is completed with the
    // others taken off, and is answered STATUS_PENDING like them.
    CompleteTakenRequests(extension, &done);
    if (next != NULL) {
        RunWritePump(extension, NULL);
    }
    return STATUS_PENDING;
}
