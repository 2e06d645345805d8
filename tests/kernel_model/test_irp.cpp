// IRPs as the kernel handles them: stack locations, the completion walk,
// cancellation, remove locks, and the I/O manager's finish of a request.
#include "tests/kernel_model/fake_stack.h"
#include "tests/support/kernel_test.h"

#include <cstring>
#include <string>
#include <vector>

namespace {

class IrpTest : public KernelTest {};

struct Seen {
    PDEVICE_OBJECT device = nullptr;
    BOOLEAN pendingReturned = FALSE;
    int calls = 0;
};

NTSTATUS NTAPI Record(PDEVICE_OBJECT device, PIRP irp, PVOID context)
{
    Seen *seen = static_cast<Seen *>(context);
    seen->device = device;
    seen->pendingReturned = irp->PendingReturned;
    seen->calls++;
    if (irp->PendingReturned) {
        IoMarkIrpPending(irp);
    }
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI Keep(PDEVICE_OBJECT, PIRP, PVOID context)
{
    ++static_cast<Seen *>(context)->calls;
    return STATUS_MORE_PROCESSING_REQUIRED;
}

PIRP held;

NTSTATUS Hold(PDEVICE_OBJECT, PIRP irp)
{
    IoMarkIrpPending(irp);
    held = irp;
    return STATUS_PENDING;
}

TEST_F(IrpTest, StackLocationsMoveAsTheDdkDescribes)
{
    FakeStack s = MakeStack(nullptr, nullptr);
    EXPECT_EQ(s.lower->StackSize, 2);
    EXPECT_EQ(s.upper->StackSize, 3);
    EXPECT_EQ(km::TopOfStack(s.pdo), s.upper);
    km::Run([&] {
        PIRP irp = IoAllocateIrp(3, FALSE);
        EXPECT_EQ(irp->CurrentLocation, 4);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        EXPECT_EQ(next, reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + 2);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.Others.Argument1 = irp;
        std::vector<int> locations;
        km::SetHandler(s.upper, [&](PDEVICE_OBJECT device, PIRP i) {
            EXPECT_EQ(IoGetCurrentIrpStackLocation(i)->DeviceObject, device);
            locations.push_back(i->CurrentLocation);
            IoCopyCurrentIrpStackLocationToNext(i);
            IoSetCompletionRoutine(i, Keep, nullptr, TRUE, TRUE, TRUE);
            IoCopyCurrentIrpStackLocationToNext(i); // clears Control and keeps the routine out
            EXPECT_EQ(IoGetNextIrpStackLocation(i)->Control, 0);
            EXPECT_EQ(IoGetNextIrpStackLocation(i)->Parameters.Others.Argument1, i);
            return IoCallDriver(s.lower, i);
        });
        km::SetHandler(s.lower, [&](PDEVICE_OBJECT, PIRP i) {
            locations.push_back(i->CurrentLocation);
            return PassDownTo(s.pdo, i);
        });
        km::SetHandler(s.pdo, [&](PDEVICE_OBJECT, PIRP i) {
            locations.push_back(i->CurrentLocation); // the skip reused the lower's location
            EXPECT_EQ(IoGetCurrentIrpStackLocation(i)->Parameters.Others.Argument1, i);
            i->IoStatus.Status = STATUS_SUCCESS;
            return STATUS_SUCCESS; // keeps it; the test frees it
        });
        IoCallDriver(s.upper, irp);
        EXPECT_EQ(locations, (std::vector<int>{3, 2, 2}));
        IoFreeIrp(irp);
    });
}

// Pending state travels up when no routine is invoked; a routine that is
// invoked sees PendingReturned and the device of its own location, and a
// routine on a location above the top gets no device object.
TEST_F(IrpTest, CompletionWalkPropagatesPendingAndHonoursInvokeFlags)
{
    static Seen upperSeen, topSeen, errorOnly;
    upperSeen = topSeen = errorOnly = Seen();
    FakeStack s = MakeStack(Hold, nullptr);
    km::SetHandler(s.upper, [s](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, Record, &upperSeen, TRUE, TRUE, TRUE);
        return IoCallDriver(s.lower, irp);
    });
    km::Request *read = nullptr;
    km::Run([&] {
        // An IRP of the test's own with a routine on its (only) location.
        PIRP irp = IoAllocateIrp(s.upper->StackSize, FALSE);
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
        IoSetCompletionRoutine(irp, Keep, &topSeen, TRUE, TRUE, TRUE);
        EXPECT_EQ(IoCallDriver(s.upper, irp), STATUS_PENDING);
        CompleteWith(held, STATUS_SUCCESS);
        EXPECT_EQ(upperSeen.device, s.upper);
        EXPECT_TRUE(upperSeen.pendingReturned);
        EXPECT_EQ(topSeen.calls, 1);
        IoFreeIrp(irp);

        // Error-only routines are skipped on success, and pending still propagates.
        km::SetHandler(s.upper, [s](PDEVICE_OBJECT, PIRP i) {
            IoCopyCurrentIrpStackLocationToNext(i);
            IoSetCompletionRoutine(i, Record, &errorOnly, FALSE, TRUE, FALSE);
            return IoCallDriver(s.lower, i);
        });
        read = km::NewRequest(s.upper, IRP_MJ_READ, 0, nullptr, 0, 8);
        EXPECT_EQ(km::Dispatch(read), STATUS_PENDING);
        CompleteWith(held, STATUS_SUCCESS, 0);
    });
    EXPECT_EQ(errorOnly.calls, 0);
    EXPECT_TRUE(read->completed);
    EXPECT_EQ(read->status, STATUS_SUCCESS);
}

NTSTATUS NTAPI SignalAndKeep(PDEVICE_OBJECT, PIRP, PVOID context)
{
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// STATUS_MORE_PROCESSING_REQUIRED stops the walk: the upper driver owns the
// IRP again and completes it itself (the synchronous-forward pattern), and
// the originator sees exactly one completion.
TEST_F(IrpTest, MoreProcessingRequiredHandsTheIrpBack)
{
    static KEVENT forwarded;
    held = nullptr;
    FakeStack s = MakeStack(Hold, nullptr);
    km::SetHandler(s.upper, [s](PDEVICE_OBJECT, PIRP irp) {
        KeInitializeEvent(&forwarded, NotificationEvent, FALSE);
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, SignalAndKeep, &forwarded, TRUE, TRUE, TRUE);
        if (IoCallDriver(s.lower, irp) == STATUS_PENDING) {
            KeWaitForSingleObject(&forwarded, Executive, KernelMode, FALSE, nullptr);
        }
        return CompleteWith(irp, STATUS_SUCCESS, 3);
    });
    km::Request *read = km::NewRequest(s.upper, IRP_MJ_READ, 0, nullptr, 0, 4);
    km::Spawn(
        [] {
            while (held == nullptr) {
                LARGE_INTEGER ms;
                ms.QuadPart = -10000;
                KeDelayExecutionThread(KernelMode, FALSE, &ms);
            }
            CompleteWith(held, STATUS_SUCCESS);
        },
        "lower completes");
    km::Run([&] { EXPECT_EQ(km::Dispatch(read), STATUS_SUCCESS); });
    EXPECT_EQ(read->completions, 1);
    EXPECT_EQ(read->information, 3u);
}

TEST_F(IrpTest, IoManagerCopiesBackAndFailsWhatNoDriverHandles)
{
    FakeStack s = MakeStack(
        [](PDEVICE_OBJECT, PIRP irp) {
            PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
            char *buffer = static_cast<char *>(irp->AssociatedIrp.SystemBuffer);
            if (location->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
                EXPECT_EQ(buffer[0], 'i'); // the input is in the one buffer
                EXPECT_EQ(location->Parameters.DeviceIoControl.OutputBufferLength, 6u);
            }
            buffer[0] = 'o';
            buffer[1] = 'k';
            return CompleteWith(irp, STATUS_SUCCESS, 2);
        },
        nullptr);
    ULONG code = CTL_CODE(FILE_DEVICE_UNKNOWN, 1, METHOD_BUFFERED, FILE_ANY_ACCESS);
    km::Request *read = km::NewRequest(s.lower, IRP_MJ_READ, 0, nullptr, 0, 10);
    km::Request *ioctl = km::NewRequest(s.lower, IRP_MJ_DEVICE_CONTROL, code, "in", 2, 6);
    km::Request *write = km::NewRequest(s.lower, IRP_MJ_WRITE, 0, "xyz", 3, 0);
    km::Run([&] {
        km::Dispatch(read);
        km::Dispatch(ioctl);
        km::Dispatch(write);
    });
    EXPECT_EQ(read->output, (std::vector<uint8_t>{'o', 'k'}));
    EXPECT_EQ(ioctl->output, (std::vector<uint8_t>{'o', 'k'}));
    EXPECT_TRUE(write->output.empty());

    // A warning status still carries the data back; an error status does not.
    static NTSTATUS finalStatus;
    km::SetHandler(s.lower, [](PDEVICE_OBJECT, PIRP irp) {
        static_cast<char *>(irp->AssociatedIrp.SystemBuffer)[0] = 'w';
        return CompleteWith(irp, finalStatus, 1);
    });
    for (NTSTATUS status : {STATUS_NO_MORE_ENTRIES, STATUS_CANCELLED}) {
        finalStatus = status;
        km::Request *r = km::NewRequest(s.lower, IRP_MJ_READ, 0, nullptr, 0, 4);
        km::Run([r] { km::Dispatch(r); });
        EXPECT_EQ(r->output.size(), status == STATUS_CANCELLED ? 0u : 1u) << std::hex << status;
    }

    // A driver object with no routine for a major function.
    PDRIVER_OBJECT bare = km::CreateFakeDriver(L"Bare");
    PDEVICE_OBJECT device = km::CreateFakeDevice(bare, 0, nullptr);
    bare->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = nullptr;
    km::Request *flush = km::NewRequest(device, IRP_MJ_FLUSH_BUFFERS);
    km::Run([&] { EXPECT_EQ(km::Dispatch(flush), STATUS_INVALID_DEVICE_REQUEST); });
    EXPECT_EQ(flush->status, STATUS_INVALID_DEVICE_REQUEST);
}

// IoCancelIrp calls the routine with the cancel spin lock held and
// CancelIrql saved; without a routine it only sets Cancel. The race between
// a driver taking its request back and a cancel is decided by the exchange.
TEST_F(IrpTest, CancelHandsTheRequestToWhoeverExchangesTheRoutine)
{
    static int cancelled;
    static KIRQL cancelIrql;
    cancelled = 0;
    FakeStack s = MakeStack(
        [](PDEVICE_OBJECT, PIRP irp) {
            IoMarkIrpPending(irp);
            held = irp;
            IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP c) NTAPI {
                ++cancelled;
                cancelIrql = c->CancelIrql;
                EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
                IoReleaseCancelSpinLock(c->CancelIrql);
                CompleteWith(c, STATUS_CANCELLED);
            });
            return STATUS_PENDING;
        },
        nullptr);
    km::Request *read = km::NewRequest(s.lower, IRP_MJ_READ, 0, nullptr, 0, 1);
    km::Run([&] {
        km::Dispatch(read);
        EXPECT_TRUE(km::Cancel(read));
    });
    EXPECT_EQ(cancelled, 1);
    EXPECT_EQ(cancelIrql, PASSIVE_LEVEL);
    EXPECT_EQ(read->status, STATUS_CANCELLED);

    // Across seeds: the driver takes its queued request back while the
    // application cancels it. The queue is guarded by a spin lock; whoever
    // gets the cancel routine from the exchange completes the request.
    static KSPIN_LOCK queueLock;
    int byCancel = 0, byDriver = 0;
    RunSeeds(30, [&](uint64_t) {
        cancelled = 0;
        KeInitializeSpinLock(&queueLock);
        FakeStack t = MakeStack(nullptr, nullptr);
        km::SetHandler(t.lower, [](PDEVICE_OBJECT, PIRP irp) {
            IoMarkIrpPending(irp);
            held = irp;
            IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP c) NTAPI {
                ++cancelled;
                IoReleaseCancelSpinLock(c->CancelIrql);
                KIRQL irql;
                KeAcquireSpinLock(&queueLock, &irql);
                if (held == c) {
                    held = nullptr;
                }
                KeReleaseSpinLock(&queueLock, irql);
                CompleteWith(c, STATUS_CANCELLED);
            });
            return STATUS_PENDING;
        });
        km::Request *r = km::NewRequest(t.lower, IRP_MJ_READ, 0, nullptr, 0, 1);
        km::Run([&] { km::Dispatch(r); });
        km::Spawn([r] { km::Cancel(r); }, "application");
        km::Spawn(
            [] {
                KIRQL irql;
                KeAcquireSpinLock(&queueLock, &irql);
                PIRP irp = held;
                held = nullptr;
                // The exchange under the queue lock: the cancel routine cannot
                // complete (and free) the request until the lock is released.
                bool mine = irp != nullptr && IoSetCancelRoutine(irp, nullptr) != nullptr;
                KeReleaseSpinLock(&queueLock, irql);
                if (mine) {
                    CompleteWith(irp, STATUS_SUCCESS);
                }
            },
            "driver");
        km::RunUntilIdle();
        EXPECT_EQ(r->completions, 1);
        (r->status == STATUS_CANCELLED ? byCancel : byDriver)++;
        EXPECT_EQ(cancelled, r->status == STATUS_CANCELLED ? 1 : 0);
    });
    EXPECT_GT(byCancel, 0);
    EXPECT_GT(byDriver, 0);
}

TEST_F(IrpTest, RemoveLockCountsHoldsAndRefusesAfterReleaseAndWait)
{
    static IO_REMOVE_LOCK lock;
    static int tagA, tagB;
    bool waited = false;
    km::Run([&] {
        IoInitializeRemoveLock(&lock, 0, 0, 0);
        EXPECT_EQ(lock.Common.IoCount, 1);
        EXPECT_EQ(IoAcquireRemoveLock(&lock, &tagA), STATUS_SUCCESS);
        EXPECT_EQ(IoAcquireRemoveLock(&lock, &tagB), STATUS_SUCCESS);
        km::Spawn(
            [] {
                LARGE_INTEGER ms;
                ms.QuadPart = -50 * 10000;
                KeDelayExecutionThread(KernelMode, FALSE, &ms);
                IoReleaseRemoveLock(&lock, &tagB);
            },
            "holder");
        IoReleaseRemoveLockAndWait(&lock, &tagA);
        waited = true;
        EXPECT_EQ(km::Now(), 50 * 10000) << "the wait lasted until the other hold was released";
        EXPECT_EQ(IoAcquireRemoveLock(&lock, &tagA), STATUS_DELETE_PENDING);
        EXPECT_EQ(lock.Common.IoCount, 0);
    });
    EXPECT_TRUE(waited);
}

// IoCancelIrp can set Cancel while a driver is between its test of
// Irp->Cancel and its IoSetCancelRoutine. A driver that tests first and sets
// after loses such a cancel for good; one that sets the routine and then
// tests Cancel (taking the routine back if it is still there) never does.
// Both hold a queue lock across their exchanges, and the cancel routine takes
// it before completing: without it the cancel routine could complete (and the
// I/O manager free) the request while the dispatch routine still touches it.
struct CancelRace {
    int window = 0; // Cancel was clear at the driver's test, set after its exchange
    int lost = 0;   // requests left pending with Cancel set
};

// One run of the race on a fresh kernel.
void RaceCancelAgainstQueueing(bool setThenTest, CancelRace *race)
{
    static bool testFirst;
    static CancelRace *counts;
    static KSPIN_LOCK queueLock;
    testFirst = !setThenTest;
    counts = race;
    held = nullptr;
    KeInitializeSpinLock(&queueLock);
    PDRIVER_CANCEL onCancel = [](PDEVICE_OBJECT, PIRP irp) NTAPI {
        IoReleaseCancelSpinLock(irp->CancelIrql);
        KIRQL irql;
        KeAcquireSpinLock(&queueLock, &irql);
        KeReleaseSpinLock(&queueLock, irql);
        CompleteWith(irp, STATUS_CANCELLED);
    };
    FakeStack s = MakeStack(nullptr, nullptr);
    km::SetHandler(s.lower, [onCancel](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        KIRQL irql;
        KeAcquireSpinLock(&queueLock, &irql);
        BOOLEAN seen = irp->Cancel;
        bool completeHere = false;
        if (testFirst && seen) {
            completeHere = true;
        } else {
            IoSetCancelRoutine(irp, onCancel);
            if (!seen && irp->Cancel) {
                ++counts->window;
            }
            completeHere = !testFirst && irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr;
            if (!completeHere) {
                held = irp;
            }
        }
        KeReleaseSpinLock(&queueLock, irql);
        if (completeHere) {
            CompleteWith(irp, STATUS_CANCELLED);
        }
        return STATUS_PENDING;
    });
    km::Request *r = km::NewRequest(s.lower, IRP_MJ_READ, 0, nullptr, 0, 1);
    km::Spawn([r] { km::Dispatch(r); }, "application");
    km::Spawn([r] { km::Cancel(r); }, "canceller");
    km::RunUntilIdle();
    if (!r->completed) {
        ++counts->lost;
        km::Run([] {
            if (IoSetCancelRoutine(held, nullptr) != nullptr) {
                CompleteWith(held, STATUS_CANCELLED);
            }
        });
    }
    EXPECT_EQ(r->completions, 1);
    EXPECT_EQ(r->status, STATUS_CANCELLED);
}

TEST_F(IrpTest, CancelCanLandBetweenATestOfCancelAndSettingTheRoutine)
{
    CancelRace careless, careful;
    RunSeeds(100, [&](uint64_t) { RaceCancelAgainstQueueing(false, &careless); });
    EXPECT_GT(careless.window, 0) << "the window never opened";
    EXPECT_GT(careless.lost, 0) << "testing Cancel before setting the routine loses cancels";
    RunSeeds(100, [&](uint64_t) { RaceCancelAgainstQueueing(true, &careful); });
    EXPECT_GT(careful.window, 0);
    EXPECT_EQ(careful.lost, 0);
}

// As XP does, a location whose part of the completion is over is cleared: a
// driver that sends its IRP again having set only its completion routine
// gives the lower driver an empty location, not the request it sent before.
TEST_F(IrpTest, ACompletedLocationIsClearedForTheNextSend)
{
    static IO_STACK_LOCATION seen[2];
    static int sends;
    sends = 0;
    FakeStack s = MakeStack(
        [](PDEVICE_OBJECT, PIRP irp) {
            seen[sends++] = *IoGetCurrentIrpStackLocation(irp);
            return CompleteWith(irp, STATUS_SUCCESS);
        },
        nullptr);
    static int marker;
    km::Run([&] {
        PIRP irp = IoAllocateIrp(s.lower->StackSize, FALSE);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->MinorFunction = 7;
        next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
        next->Parameters.Others.Argument1 = &marker;
        Seen done;
        IoSetCompletionRoutine(irp, Keep, &done, TRUE, TRUE, TRUE);
        IoCallDriver(s.lower, irp);
        IoSetCompletionRoutine(irp, Keep, &done, TRUE, TRUE, TRUE);
        IoCallDriver(s.lower, irp);
        EXPECT_EQ(done.calls, 2);
        IoFreeIrp(irp);
    });
    ASSERT_EQ(sends, 2);
    EXPECT_EQ(seen[0].Parameters.Others.Argument1, &marker);
    EXPECT_EQ(seen[0].MinorFunction, 7);
    EXPECT_EQ(seen[1].MajorFunction, IRP_MJ_INTERNAL_DEVICE_CONTROL) << "the major function stays";
    EXPECT_EQ(seen[1].MinorFunction, 0);
    EXPECT_EQ(seen[1].Parameters.DeviceIoControl.IoControlCode, 0u);
    EXPECT_EQ(seen[1].Parameters.Others.Argument1, nullptr);
}

// The caller's buffers by transfer type, and what the caller gets back: a
// driver that reports more bytes than it wrote hands back uninitialised pool.
TEST_F(IrpTest, BuffersAreWhatTheIoManagerGivesEachTransferType)
{
    static const ULONG kNeither = CTL_CODE(FILE_DEVICE_UNKNOWN, 1, METHOD_NEITHER, FILE_ANY_ACCESS);
    static const ULONG kDirect = CTL_CODE(FILE_DEVICE_UNKNOWN, 2, METHOD_OUT_DIRECT, FILE_ANY_ACCESS);
    static const ULONG kBuffered = CTL_CODE(FILE_DEVICE_UNKNOWN, 3, METHOD_BUFFERED, FILE_ANY_ACCESS);
    PDRIVER_OBJECT driver = km::CreateFakeDriver(L"Buffers");
    PDEVICE_OBJECT device = km::CreateFakeDevice(
        driver, 0,
        [](PDEVICE_OBJECT, PIRP irp) {
            PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
            char *out = nullptr;
            if (location->MajorFunction == IRP_MJ_READ) {
                out = static_cast<char *>(irp->MdlAddress->MappedSystemVa);
                EXPECT_EQ(irp->MdlAddress->ByteCount, 8u);
                EXPECT_EQ(irp->AssociatedIrp.SystemBuffer, nullptr);
            } else if (location->MajorFunction != IRP_MJ_DEVICE_CONTROL) {
                return CompleteWith(irp, STATUS_SUCCESS);
            } else if (location->Parameters.DeviceIoControl.IoControlCode == kNeither) {
                EXPECT_EQ(irp->AssociatedIrp.SystemBuffer, nullptr) << "no system buffer";
                EXPECT_EQ(std::string(static_cast<char *>(location->Parameters.DeviceIoControl.Type3InputBuffer), 2),
                          "in");
                out = static_cast<char *>(irp->UserBuffer);
            } else if (location->Parameters.DeviceIoControl.IoControlCode == kDirect) {
                EXPECT_EQ(std::string(static_cast<char *>(irp->AssociatedIrp.SystemBuffer), 2), "in");
                EXPECT_EQ(irp->MdlAddress->ByteCount, 8u);
                out = static_cast<char *>(irp->MdlAddress->MappedSystemVa);
            } else {
                out = static_cast<char *>(irp->AssociatedIrp.SystemBuffer);
                EXPECT_EQ(std::string(out, 2), "in");
            }
            out[0] = 'o';
            out[1] = 'k';
            return CompleteWith(irp, STATUS_SUCCESS, 2);
        },
        L"\\Device\\KmBuffers0");
    device->Flags |= DO_DIRECT_IO;
    km::Handle *handle = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, km::Open(L"\\Device\\KmBuffers0", &handle));
    std::vector<km::Request *> requests;
    km::Run([&] {
        requests.push_back(km::ReadAsync(handle, 8));
        for (ULONG code : {kNeither, kDirect, kBuffered}) {
            requests.push_back(km::IoctlAsync(handle, code, "in", 2, 8));
        }
    });
    for (km::Request *request : requests) {
        EXPECT_EQ(request->Reported(), STATUS_SUCCESS);
        EXPECT_EQ(std::string(request->output.begin(), request->output.end()), "ok");
    }

    // Two bytes written, five reported: the caller sees three of the pool's.
    km::SetHandler(device, [](PDEVICE_OBJECT, PIRP irp) {
        if (IoGetCurrentIrpStackLocation(irp)->MajorFunction != IRP_MJ_DEVICE_CONTROL) {
            return CompleteWith(irp, STATUS_SUCCESS);
        }
        std::memcpy(irp->AssociatedIrp.SystemBuffer, "ok", 2);
        return CompleteWith(irp, STATUS_SUCCESS, 5);
    });
    km::Request *sloppy = nullptr;
    km::Run([&] { sloppy = km::IoctlAsync(handle, kBuffered, nullptr, 0, 8); });
    ASSERT_EQ(sloppy->output.size(), 5u);
    EXPECT_EQ(std::string(sloppy->output.begin(), sloppy->output.begin() + 2), "ok");
    EXPECT_EQ(sloppy->output[2], 0xCD) << "uninitialised pool, not zeroes";
    km::Close(handle);
}

} // namespace
