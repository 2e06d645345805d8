// Passing requests down: DispatchForward under the remove lock, and the
// synchronous forwarding with its wait event.
#include "tests/support/port_fixture.h"

#include <gtest/gtest.h>

using CoreTest = PortFixture;

namespace {

const ULONG TestIoctl = 0x00220003;

// The removal handler's last step before it tears the device down: from now
// on every acquisition of the remove lock fails.
void CloseRemoveLock(PDEVICE_EXTENSION ext)
{
    static int removalTag;
    ASSERT_EQ(IoAcquireRemoveLockEx(&ext->RemoveLock, &removalTag, "", 1, REMOVE_LOCK_SIZE), STATUS_SUCCESS);
    IoReleaseRemoveLockAndWaitEx(&ext->RemoveLock, &removalTag, REMOVE_LOCK_SIZE);
}

// A lower driver that keeps every request pending until the test completes it.
struct PendingLower {
    PIRP irp = nullptr;
    int calls = 0;
    KEVENT arrived;

    explicit PendingLower(PDEVICE_OBJECT pdo)
    {
        KeInitializeEvent(&arrived, NotificationEvent, FALSE);
        km::SetHandler(pdo, [this](PDEVICE_OBJECT, PIRP request) {
            calls++;
            irp = request;
            IoMarkIrpPending(request);
            KeSetEvent(&arrived, IO_NO_INCREMENT, FALSE);
            return STATUS_PENDING;
        });
    }
    void Complete(NTSTATUS status, ULONG_PTR information = 0)
    {
        irp->IoStatus.Status = status;
        irp->IoStatus.Information = information;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
};

} // namespace

// The pass-through routines and the PnP dispatcher alike.
TEST_F(CoreTest, DispatchForwardRefusesOnceRemovalClosedTheRemoveLock)
{
    LoadPortDriver();
    PDEVICE_OBJECT fdo = AddPort();
    int lowerCalls = 0;
    km::SetHandler(GetExtension(fdo)->Pdo, [&](PDEVICE_OBJECT, PIRP irp) {
        lowerCalls++;
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    });
    km::Run([&] { CloseRemoveLock(GetExtension(fdo)); });

    for (UCHAR major : {IRP_MJ_INTERNAL_DEVICE_CONTROL, IRP_MJ_SYSTEM_CONTROL, IRP_MJ_PNP}) {
        km::Request *request = km::NewRequest(fdo, major, TestIoctl);
        request->irp->IoStatus.Information = 55;
        km::Run([&] { EXPECT_EQ(km::Dispatch(request), STATUS_DELETE_PENDING); });
        EXPECT_TRUE(request->completed);
        EXPECT_EQ(request->status, STATUS_DELETE_PENDING);
        EXPECT_EQ(request->information, 0u);
    }
    EXPECT_EQ(lowerCalls, 0);
}

TEST_F(CoreTest, DispatchForwardReleasesItsHoldWhenTheLowerCallReturns)
{
    LoadPortDriver();
    PDEVICE_OBJECT fdo = AddPort();
    PendingLower lower(GetExtension(fdo)->Pdo);
    km::Request *request = km::NewRequest(fdo, IRP_MJ_INTERNAL_DEVICE_CONTROL, TestIoctl);
    PIO_STACK_LOCATION ours = IoGetCurrentIrpStackLocation(request->irp);
    ours->Parameters.DeviceIoControl.Type3InputBuffer = &lower;

    bool removalWent = false;
    km::Run([&] {
        EXPECT_EQ(km::Dispatch(request), STATUS_PENDING);
        // Removal gets through although the request is still with the lower
        // driver: the forward did not keep its hold.
        CloseRemoveLock(GetExtension(fdo));
        removalWent = true;
    });
    EXPECT_TRUE(removalWent);
    ASSERT_EQ(lower.calls, 1);
    // The lower driver saw our parameters in its own location (the skip).
    PIO_STACK_LOCATION theirs = IoGetCurrentIrpStackLocation(lower.irp);
    EXPECT_EQ(theirs->MajorFunction, IRP_MJ_INTERNAL_DEVICE_CONTROL);
    EXPECT_EQ(theirs->Parameters.DeviceIoControl.IoControlCode, TestIoctl);
    EXPECT_EQ(theirs->Parameters.DeviceIoControl.Type3InputBuffer, &lower);
    EXPECT_FALSE(request->completed);

    km::Run([&] { lower.Complete(STATUS_DEVICE_DATA_ERROR, 9); });
    EXPECT_TRUE(request->completed);
    EXPECT_EQ(request->status, STATUS_DEVICE_DATA_ERROR);
}

// The lower driver holds the request with a cancel routine of its own and
// ends it when it is cancelled: the request ends once, and the forward's hold
// on the remove lock was given back long before.
TEST_F(CoreTest, ForwardedRequestCancelledBelowEndsOnce)
{
    LoadPortDriver();
    PDEVICE_OBJECT fdo = AddPort();
    static PIRP held;
    held = nullptr;
    km::SetHandler(GetExtension(fdo)->Pdo, [](PDEVICE_OBJECT, PIRP irp) {
        held = irp;
        IoMarkIrpPending(irp);
        IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP cancelled) NTAPI {
            IoReleaseCancelSpinLock(cancelled->CancelIrql);
            cancelled->IoStatus.Status = STATUS_CANCELLED;
            cancelled->IoStatus.Information = 0;
            IoCompleteRequest(cancelled, IO_NO_INCREMENT);
        });
        return STATUS_PENDING;
    });
    km::Request *request = km::NewRequest(fdo, IRP_MJ_INTERNAL_DEVICE_CONTROL, TestIoctl);
    km::Run([&] { EXPECT_EQ(km::Dispatch(request), STATUS_PENDING); });
    EXPECT_EQ(RemoveLockHolds(), 0);
    ASSERT_NE(held, nullptr);
    km::Run([&] { EXPECT_TRUE(km::Cancel(request)); });
    EXPECT_EQ(request->completions, 1);
    EXPECT_EQ(request->status, STATUS_CANCELLED);
    EXPECT_EQ(RemoveLockHolds(), 0);
}

TEST_F(CoreTest, ForwardAndWaitReturnsTheLowerOutcomeAndKeepsTheIrp)
{
    LoadPortDriver();
    PDEVICE_OBJECT fdo = AddPort();
    PDEVICE_OBJECT pdo = GetExtension(fdo)->Pdo;
    size_t pool = km::PoolBlocksInUse();

    // A lower driver that completes at once: no wait, the call's status.
    km::SetHandler(pdo, [](PDEVICE_OBJECT, PIRP irp) {
        irp->IoStatus.Status = STATUS_SUCCESS;
        irp->IoStatus.Information = 3;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    });
    km::Request *at_once = km::NewRequest(fdo, IRP_MJ_INTERNAL_DEVICE_CONTROL, TestIoctl);
    km::Run([&] {
        IoCopyCurrentIrpStackLocationToNext(at_once->irp);
        EXPECT_EQ(port.ForwardAndWait(pdo, at_once->irp), STATUS_SUCCESS);
        EXPECT_FALSE(at_once->completed);
        EXPECT_EQ(at_once->irp->IoStatus.Information, 3u);
        EXPECT_EQ(km::PoolBlocksInUse(), pool);
        port.CompleteRequest(at_once->irp, STATUS_SUCCESS);
    });
    EXPECT_EQ(at_once->completions, 1);

    // A lower driver that pends and fails later: the status comes from the
    // IRP after the wait, and the IRP is still ours.
    PendingLower lower(pdo);
    km::Request *later = km::NewRequest(fdo, IRP_MJ_INTERNAL_DEVICE_CONTROL, TestIoctl);
    km::Spawn(
        [&] {
            KeWaitForSingleObject(&lower.arrived, Executive, KernelMode, FALSE, nullptr);
            lower.Complete(STATUS_DEVICE_DATA_ERROR);
        },
        "lower driver");
    km::Run([&] {
        IoCopyCurrentIrpStackLocationToNext(later->irp);
        EXPECT_EQ(port.ForwardAndWait(pdo, later->irp), STATUS_DEVICE_DATA_ERROR);
        EXPECT_FALSE(later->completed);
        EXPECT_EQ(km::PoolBlocksInUse(), pool);
        port.CompleteRequest(later->irp, later->irp->IoStatus.Status);
    });
    EXPECT_EQ(later->completions, 1);
    EXPECT_EQ(later->status, STATUS_DEVICE_DATA_ERROR);
}

TEST_F(CoreTest, SyncForwardToLowerWithoutMemoryDoesNotSendTheIrp)
{
    LoadPortDriver();
    PDEVICE_OBJECT fdo = AddPort();
    int lowerCalls = 0;
    km::SetHandler(GetExtension(fdo)->Pdo, [&](PDEVICE_OBJECT, PIRP irp) {
        lowerCalls++;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return irp->IoStatus.Status;
    });
    km::Request *request = km::NewRequest(fdo, IRP_MJ_PNP);
    IoGetCurrentIrpStackLocation(request->irp)->MinorFunction = IRP_MN_START_DEVICE;
    km::Run([&] {
        // As the start handler leaves it: a success status already in place.
        request->irp->IoStatus.Status = STATUS_SUCCESS;
        km::FailCall("ExAllocatePool", 1);
        EXPECT_EQ(port.SyncForwardToLower(fdo, request->irp), STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(lowerCalls, 0);
        EXPECT_FALSE(request->completed);

        // With memory it goes down and the final status is the IRP's.
        request->irp->IoStatus.Status = STATUS_INVALID_DEVICE_STATE;
        EXPECT_EQ(port.SyncForwardToLower(fdo, request->irp), STATUS_INVALID_DEVICE_STATE);
        EXPECT_EQ(lowerCalls, 1);
        EXPECT_FALSE(request->completed);
        port.CompleteRequest(request->irp, STATUS_INVALID_DEVICE_STATE);
    });
    EXPECT_EQ(request->completions, 1);
}
