// Cancelling whole queues: write, read and wait queues in that order, newest
// first within a queue, each request through its own cancel routine as the I/O
// manager would call it. The read and write requests here stand in for the
// driver's own: the test queues them under a cancel routine of its own.
#include "tests/ring_wait/ring_wait_fixture.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct Cancelled {
    PIRP irp;
    bool cancelFlag;      // Irp->Cancel as the routine found it
    bool waitAlreadyDone; // the wait request had completed before this one
};

struct CancelLog {
    PDEVICE_EXTENSION ext = nullptr;
    km::Request *wait = nullptr;
    std::vector<Cancelled> entries;
};
CancelLog *activeLog = nullptr;

VOID NTAPI TestCancelRoutine(PDEVICE_OBJECT, PIRP Irp)
{
    KIRQL irql;
    KeAcquireSpinLock(&activeLog->ext->Lock, &irql);
    RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&activeLog->ext->Lock, irql);
    activeLog->entries.push_back({Irp, Irp->Cancel != FALSE, activeLog->wait != nullptr && activeLog->wait->completed});
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    Irp->IoStatus.Status = STATUS_CANCELLED;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
}

class CancelQueuesTest : public PortTest {
protected:
    void SetUp() override
    {
        PortTest::SetUp();
        cancelLog.ext = ext;
        activeLog = &cancelLog;
    }
    void TearDown() override
    {
        activeLog = nullptr;
        PortTest::TearDown();
    }

    // Queues a request as the read and write paths do: linked under Lock,
    // marked pending, its cancel routine set by exchange.
    km::Request *Queued(PLIST_ENTRY queue, UCHAR major, PDRIVER_CANCEL routine)
    {
        km::Request *request = km::NewRequest(fdo, major);
        UnderLock([&] {
            InsertTailList(queue, &request->irp->Tail.Overlay.ListEntry);
            IoMarkIrpPending(request->irp);
            IoSetCancelRoutine(request->irp, routine);
        });
        return request;
    }

    CancelLog cancelLog;
};

TEST_F(CancelQueuesTest, AllQueuesGoWritesThenReadsThenTheWaitNewestFirst)
{
    km::Request *olderWrite = Queued(&ext->WriteQueue, IRP_MJ_WRITE, TestCancelRoutine);
    km::Request *newerWrite = Queued(&ext->WriteQueue, IRP_MJ_WRITE, TestCancelRoutine);
    km::Request *read = Queued(&ext->ReadQueue, IRP_MJ_READ, TestCancelRoutine);
    ext->WaitMask = SERIAL_EV_RXCHAR;
    km::Request *wait = NewWaitOnMask();
    cancelLog.wait = wait;
    km::Run([&] {
        EXPECT_EQ(DispatchWaitOnMask(wait), STATUS_PENDING);
        // The waiting read's total timeout, 1 s, armed as the read path does.
        LARGE_INTEGER due;
        due.QuadPart = -10000000;
        port.IncrementIo(ext);
        ext->ReadTimerState = ReadTimerSet;
        KeSetTimer(&ext->ReadTimer, due, nullptr);
        port.CancelAllQueues(fdo);
        // The read queue's timer went with it.
        EXPECT_FALSE(KeCancelTimer(&ext->ReadTimer));
        EXPECT_EQ(ReadTimerIdle, ext->ReadTimerState);
    });

    ASSERT_EQ(cancelLog.entries.size(), 3u);
    EXPECT_EQ(cancelLog.entries[0].irp, newerWrite->irp);
    EXPECT_EQ(cancelLog.entries[1].irp, olderWrite->irp);
    EXPECT_EQ(cancelLog.entries[2].irp, read->irp);
    for (const Cancelled &entry : cancelLog.entries) {
        EXPECT_TRUE(entry.cancelFlag);
        EXPECT_FALSE(entry.waitAlreadyDone);
    }
    for (km::Request *request : {olderWrite, newerWrite, read, wait}) {
        EXPECT_EQ(request->completions, 1);
        EXPECT_EQ(request->status, STATUS_CANCELLED);
        EXPECT_EQ(request->information, 0u);
    }
    EXPECT_TRUE(IsListEmpty(&ext->WriteQueue));
    EXPECT_TRUE(IsListEmpty(&ext->ReadQueue));
    EXPECT_TRUE(IsListEmpty(&ext->WaitQueue));
    EXPECT_EQ(RemoveLockHolds(), 0);
}

// A queued request whose cancel routine someone else has already taken (its
// owner is about to complete it) is unlinked but neither cancelled nor
// completed; the others on the queue are.
TEST_F(CancelQueuesTest, RequestWithoutItsRoutineIsLeftToItsOwner)
{
    km::Request *owned = Queued(&ext->WriteQueue, IRP_MJ_WRITE, nullptr);
    km::Request *other = Queued(&ext->WriteQueue, IRP_MJ_WRITE, TestCancelRoutine);
    km::Run([&] { port.CancelQueue(fdo, &ext->WriteQueue); });

    EXPECT_EQ(other->status, STATUS_CANCELLED);
    EXPECT_FALSE(owned->completed);
    EXPECT_TRUE(IsListEmpty(&ext->WriteQueue));
    PLIST_ENTRY entry = &owned->irp->Tail.Overlay.ListEntry;
    EXPECT_EQ(entry->Flink, entry);
    EXPECT_EQ(entry->Blink, entry);

    // The owner's own unlinking must be harmless now.
    km::Run([&] {
        RemoveEntryList(entry);
        port.CompleteRequest(owned->irp, STATUS_SUCCESS);
    });
    EXPECT_EQ(owned->completions, 1);
}

} // namespace
