// Surprise removal and removal end every request the port still holds: a
// queued write, a queued read and a pending wait-on-mask request, each through
// its own cancel routine, before the device waits for idle and goes.
#include "tests/pnp/pnp_fixture.h"

#include <vector>

namespace pnp_test {
namespace {

// What the cancel routine of the test's reads and writes saw, in call order.
struct CancelLog {
    PDEVICE_EXTENSION ext = nullptr;
    PortRoutines *port = nullptr;
    km::Request *wait = nullptr;
    std::vector<PIRP> cancelled;
    bool waitEndedFirst = false;
};
CancelLog *activeLog = nullptr;

// Stands in for the driver's read and write cancel routines and does what
// they do: unlink under Lock, release the cancel spin lock, complete, then
// give back the remove lock and the outstanding count the request held.
VOID NTAPI QueuedIoCancelRoutine(PDEVICE_OBJECT, PIRP Irp)
{
    CancelLog *log = activeLog;
    KIRQL irql;
    KeAcquireSpinLock(&log->ext->Lock, &irql);
    RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&log->ext->Lock, irql);
    log->cancelled.push_back(Irp);
    log->waitEndedFirst = log->waitEndedFirst || log->wait->completed;
    Irp->IoStatus.Status = STATUS_CANCELLED;
    Irp->IoStatus.Information = 0;
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    log->port->ReleaseRemoveLock(log->ext, Irp);
    log->port->DecrementIo(log->ext);
}

class RemovalQueuesTest : public PnpTest {
protected:
    void SetUp() override
    {
        PnpTest::SetUp();
        activeLog = &log;
    }
    void TearDown() override
    {
        PnpTest::TearDown();
        activeLog = nullptr;
    }

    // A started port with what an open application leaves behind: a read
    // and a write waiting in their queues, each holding the remove lock and
    // counted as outstanding, and a pending wait-on-mask request.
    void StartWithQueuedRequests()
    {
        log = CancelLog();
        AddPort(u"COM7");
        ASSERT_EQ(STATUS_SUCCESS, km::StartDevice(pdo));
        log.ext = ext;
        log.port = &port;
        write = km::NewRequest(fdo, IRP_MJ_WRITE);
        read = km::NewRequest(fdo, IRP_MJ_READ);
        log.wait = km::NewRequest(fdo, IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, sizeof(ULONG));
        km::Run([&] {
            KeInitializeEvent(&ext->IdleEvent, SynchronizationEvent, FALSE);
            Queue(&ext->WriteQueue, write);
            Queue(&ext->ReadQueue, read);
            ASSERT_EQ(STATUS_SUCCESS, port.AcquireRemoveLock(ext, log.wait->irp));
            EXPECT_EQ(STATUS_PENDING, port.QueueWaitRequest(ext, log.wait->irp, FALSE));
        });
        ASSERT_EQ(3, RemoveLockHolds());
        ASSERT_EQ(3, ext->OutstandingIo);
    }

    void Queue(PLIST_ENTRY queue, km::Request *request)
    {
        ASSERT_EQ(STATUS_SUCCESS, port.AcquireRemoveLock(ext, request->irp));
        port.IncrementIo(ext);
        KIRQL irql;
        KeAcquireSpinLock(&ext->Lock, &irql);
        InsertTailList(queue, &request->irp->Tail.Overlay.ListEntry);
        IoMarkIrpPending(request->irp);
        IoSetCancelRoutine(request->irp, QueuedIoCancelRoutine);
        KeReleaseSpinLock(&ext->Lock, irql);
    }

    void ExpectCancelledInOrder()
    {
        ASSERT_EQ(2u, log.cancelled.size());
        EXPECT_EQ(write->irp, log.cancelled[0]);
        EXPECT_EQ(read->irp, log.cancelled[1]);
        EXPECT_FALSE(log.waitEndedFirst) << "the wait was cancelled before the read or the write";
        for (km::Request *request : {write, read, log.wait}) {
            EXPECT_EQ(1, request->completions);
            EXPECT_EQ(STATUS_CANCELLED, request->status);
            EXPECT_EQ(0u, request->information);
        }
    }

    CancelLog log;
    km::Request *write = nullptr;
    km::Request *read = nullptr;
};

TEST_F(RemovalQueuesTest, SurpriseRemovalCancelsWritesReadsThenTheWait)
{
    StartWithQueuedRequests();
    EXPECT_EQ(STATUS_SUCCESS, Send(IRP_MN_SURPRISE_REMOVAL));
    ExpectCancelledInOrder();
    EXPECT_TRUE(IsListEmpty(&ext->WriteQueue));
    EXPECT_TRUE(IsListEmpty(&ext->ReadQueue));
    EXPECT_TRUE(IsListEmpty(&ext->WaitQueue));
    EXPECT_EQ(0, RemoveLockHolds());
    EXPECT_EQ(1, ext->OutstandingIo);
    EXPECT_TRUE(km::DeviceExists(fdo));

    EXPECT_EQ(STATUS_SUCCESS, Send(IRP_MN_REMOVE_DEVICE));
    EXPECT_FALSE(km::DeviceExists(fdo));
}

// Without a surprise removal first, the removal itself cancels them; its wait
// for the remove lock would never end if a hold were left behind.
TEST_F(RemovalQueuesTest, RemovalCancelsWritesReadsThenTheWait)
{
    StartWithQueuedRequests();
    EXPECT_EQ(STATUS_SUCCESS, Send(IRP_MN_REMOVE_DEVICE));
    ExpectCancelledInOrder();
    EXPECT_FALSE(km::DeviceExists(fdo));
    EXPECT_FALSE(km::HasViolation("DEADLOCK"));
}

// A request still inside the driver (here, in the lower driver's dispatch
// routine under the forward's remove lock) when the removal arrives: the
// removal waits for it before the device goes.
TEST_F(PnpTest, RemovalWaitsForARequestStillInsideTheDriver)
{
    AddPort(u"COM7");
    ASSERT_EQ(STATUS_SUCCESS, km::StartDevice(pdo));
    static KEVENT release;
    KeInitializeEvent(&release, NotificationEvent, FALSE);
    km::SetHandler(pdo, [](PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        if (stack->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL) {
            KeWaitForSingleObject(&release, Executive, KernelMode, FALSE, nullptr);
        }
        NTSTATUS status = irp->IoStatus.Status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    });
    km::Request *inside = km::NewRequest(fdo, IRP_MJ_INTERNAL_DEVICE_CONTROL, IOCTL_INTERNAL_USB_SUBMIT_URB);
    km::Spawn([&] { km::Dispatch(inside); }, "forward");
    km::RunUntilIdle();
    ASSERT_EQ(1, RemoveLockHolds());
    km::Context *removal = km::Spawn([&] { km::SendPnp(pdo, IRP_MN_REMOVE_DEVICE); }, "removal");
    km::RunUntilIdle();
    EXPECT_FALSE(km::Finished(removal));
    EXPECT_TRUE(km::DeviceExists(fdo)) << "deleted under a request inside the driver";
    km::Run([] { KeSetEvent(&release, IO_NO_INCREMENT, FALSE); });
    km::RunUntilIdle();
    EXPECT_TRUE(km::Finished(removal));
    EXPECT_TRUE(inside->completed);
    EXPECT_FALSE(km::DeviceExists(fdo));
}

} // namespace
} // namespace pnp_test
