// The scheduler: replay by seed, interleaving across seeds, the virtual clock,
// simulated processors, events, timers, DPCs, work items and deadlocks.
#include "tests/support/kernel_test.h"

#include <set>

namespace {

class SchedulerTest : public KernelTest {};

// Three threads append their names under a spin lock, with interlocked
// operations between; the order they got the lock in is the interleaving.
std::string RaceScenario()
{
    static KSPIN_LOCK lock;
    static LONG counter;
    KeInitializeSpinLock(&lock);
    counter = 0;
    std::string order;
    for (const char *name : {"a", "b", "c"}) {
        km::Spawn(
            [&order, name] {
                for (int i = 0; i < 4; ++i) {
                    InterlockedIncrement(&counter);
                    KIRQL irql;
                    KeAcquireSpinLock(&lock, &irql);
                    order += name;
                    KeReleaseSpinLock(&lock, irql);
                }
            },
            name);
    }
    km::RunUntilIdle();
    EXPECT_EQ(counter, 12);
    return order;
}

TEST_F(SchedulerTest, SameSeedReplaysTheSameTraceAndSeedsInterleaveDifferently)
{
    std::set<std::string> orders;
    std::string firstOrder;
    std::vector<std::string> firstTrace;
    RunSeeds(12, [&](uint64_t) {
        std::string order = RaceScenario();
        orders.insert(order);
        if (firstTrace.empty()) {
            firstOrder = order;
            firstTrace = km::Trace();
        }
    });
    // Boot again with the first seed: the same decisions, event for event.
    ShutdownAndCheck();
    km::Options options;
    options.seed = 0; // ZQ_SEED again, the first of RunSeeds
    km::Boot(options);
    EXPECT_EQ(RaceScenario(), firstOrder);
    EXPECT_EQ(km::Trace(), firstTrace);
    EXPECT_GT(orders.size(), 3u) << "twelve seeds should give several interleavings";
}

TEST_F(SchedulerTest, ClockJumpsToTheNextDeadlineWhenEverythingIsBlocked)
{
    static KEVENT never;
    static KTIMER timer;
    static KDPC dpc;
    static int64_t dpcTime;
    static KIRQL dpcIrql;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    KeInitializeTimer(&timer);
    KeInitializeDpc(
        &dpc,
        [](PKDPC, PVOID, PVOID, PVOID) NTAPI {
            dpcTime = km::Now();
            dpcIrql = KeGetCurrentIrql();
        },
        nullptr);
    dpcTime = -1;
    NTSTATUS waited = STATUS_SUCCESS;
    km::Run([&] {
        LARGE_INTEGER due;
        due.QuadPart = -3 * 10000; // 3 ms
        EXPECT_FALSE(KeSetTimer(&timer, due, &dpc));
        LARGE_INTEGER timeout;
        timeout.QuadPart = -500 * 10000; // 500 ms
        waited = KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &timeout);
    });
    EXPECT_EQ(waited, STATUS_TIMEOUT);
    EXPECT_EQ(km::Now(), 500 * 10000);
    EXPECT_EQ(dpcTime, 3 * 10000) << "the timer fired on the way, at its own due time";
    EXPECT_EQ(dpcIrql, DISPATCH_LEVEL);
    EXPECT_TRUE(KeReadStateTimer(&timer));

    // A timer cancelled before it expires never queues its DPC; AdvanceClock
    // fires a timer that falls within the step.
    dpcTime = -1;
    km::Run([&] {
        LARGE_INTEGER due;
        due.QuadPart = -10 * 10000;
        KeSetTimer(&timer, due, &dpc);
        EXPECT_TRUE(KeSetTimer(&timer, due, &dpc)) << "re-setting an armed timer reports it was set";
        EXPECT_TRUE(KeCancelTimer(&timer));
        EXPECT_FALSE(KeCancelTimer(&timer));
        KeSetTimer(&timer, due, &dpc);
    });
    km::AdvanceMs(9);
    EXPECT_EQ(dpcTime, -1);
    km::AdvanceMs(1);
    EXPECT_EQ(dpcTime, 510 * 10000);

    // Absolute times are system times as KeQuerySystemTime reports them: 10 ms
    // after "now" is 10 ms of virtual time away, for a timer, a wait and a delay.
    dpcTime = -1;
    int64_t start = km::Now();
    km::Run([&] {
        LARGE_INTEGER at;
        KeQuerySystemTime(&at);
        at.QuadPart += 10 * 10000;
        KeSetTimer(&timer, at, &dpc);
        waited = KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &at);
        EXPECT_EQ(km::Now(), start + 10 * 10000);
        at.QuadPart += 10 * 10000;
        KeDelayExecutionThread(KernelMode, FALSE, &at);
    });
    EXPECT_EQ(waited, STATUS_TIMEOUT);
    EXPECT_EQ(dpcTime, start + 10 * 10000);
    EXPECT_EQ(km::Now(), start + 20 * 10000);
}

// A due time already past expires the timer inside KeSetTimer, so a
// KeCancelTimer right after finds nothing to cancel, yet the DPC that the
// expiry queued still runs afterwards (here once the thread leaves
// DISPATCH_LEVEL on the only processor).
TEST_F(SchedulerTest, ExpiredTimerFiresAtOnceAndItsDpcOutlivesCancel)
{
    ShutdownAndCheck();
    km::Options one = BootOptions();
    one.processors = 1;
    km::Boot(one);
    static KTIMER timer;
    static KDPC dpc;
    static int ran;
    ran = 0;
    KeInitializeTimer(&timer);
    KeInitializeDpc(
        &dpc, [](PKDPC, PVOID, PVOID, PVOID) NTAPI { ++ran; }, nullptr);
    km::Run([] {
        LARGE_INTEGER now;
        KeQuerySystemTime(&now);
        KIRQL irql;
        KeRaiseIrql(DISPATCH_LEVEL, &irql);
        EXPECT_FALSE(KeSetTimer(&timer, now, &dpc));
        EXPECT_TRUE(KeReadStateTimer(&timer)) << "signalled at once";
        EXPECT_FALSE(KeCancelTimer(&timer)) << "nothing left to cancel";
        EXPECT_EQ(ran, 0);
        KeLowerIrql(irql);
    });
    km::RunUntilIdle();
    EXPECT_EQ(ran, 1) << "the queued DPC ran after KeCancelTimer returned FALSE";
    EXPECT_EQ(km::Now(), 0);
}

TEST_F(SchedulerTest, NotificationEventsReleaseAllWaitersSynchronizationEventsOne)
{
    static KEVENT notification, synchronization;
    KeInitializeEvent(&notification, NotificationEvent, FALSE);
    KeInitializeEvent(&synchronization, SynchronizationEvent, FALSE);
    int woken = 0;
    for (int i = 0; i < 3; ++i) {
        km::Spawn(
            [&] {
                KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, nullptr);
                KeWaitForSingleObject(&synchronization, Executive, KernelMode, FALSE, nullptr);
                ++woken;
            },
            "waiter");
    }
    km::RunUntilIdle();
    km::Run([&] {
        EXPECT_EQ(KeSetEvent(&notification, 0, FALSE), 0);
        KeResetEvent(&notification); // the waiters were already released
        EXPECT_EQ(KeSetEvent(&synchronization, 0, FALSE), 0);
    });
    km::RunUntilIdle();
    EXPECT_EQ(woken, 1);
    EXPECT_EQ(KeReadStateEvent(&synchronization), 0) << "the released waiter consumed the signal";
    km::Run([&] { KeSetEvent(&synchronization, 0, FALSE); });
    km::RunUntilIdle();
    EXPECT_EQ(woken, 2);
    km::Run([&] { KeSetEvent(&synchronization, 0, FALSE); });
    km::RunUntilIdle();
    EXPECT_EQ(woken, 3);
    km::Run([&] { EXPECT_EQ(KeSetEvent(&synchronization, 0, FALSE), 0); });
    EXPECT_EQ(KeReadStateEvent(&synchronization), 1) << "no waiter left: the event stays signalled";
    km::Run([&] { EXPECT_EQ(KeSetEvent(&synchronization, 0, FALSE), 1) << "the previous state"; });
}

// A context at DISPATCH_LEVEL keeps its processor: with one processor a DPC
// cannot start while a thread holds a spin lock; with two it can.
class DispatchLevelTest : public KernelTest {
protected:
    km::Options BootOptions() const override
    {
        km::Options options = KernelTest::BootOptions();
        options.processors = processors;
        return options;
    }

    // Whether, over `seeds` seeds, a DPC ever ran while a thread held a spin lock.
    bool DpcRanWhileLockHeld(int seeds)
    {
        static KSPIN_LOCK lock;
        static KDPC dpc;
        static bool holding, ranDuringHold;
        bool ever = false;
        RunSeeds(seeds, [&](uint64_t) {
            holding = ranDuringHold = false;
            KeInitializeSpinLock(&lock);
            KeInitializeDpc(
                &dpc, [](PKDPC, PVOID, PVOID, PVOID) NTAPI { ranDuringHold |= holding; }, nullptr);
            km::Run([] {
                KIRQL irql;
                KeAcquireSpinLock(&lock, &irql);
                holding = true;
                KeInsertQueueDpc(&dpc, nullptr, nullptr);
                LONG dummy = 0;
                for (int i = 0; i < 4; ++i) {
                    InterlockedIncrement(&dummy);
                }
                holding = false;
                KeReleaseSpinLock(&lock, irql);
            });
            km::RunUntilIdle();
            ever |= ranDuringHold;
            EXPECT_TRUE(km::Violations().empty());
        });
        return ever;
    }

    int processors = 2;
};

TEST_F(DispatchLevelTest, ContextsAtDispatchLevelKeepTheirProcessor)
{
    processors = 1;
    EXPECT_FALSE(DpcRanWhileLockHeld(20));
    processors = 2;
    EXPECT_TRUE(DpcRanWhileLockHeld(20));
}

TEST_F(SchedulerTest, WorkItemsRunOnceAtPassiveLevelOnAWorkerThread)
{
    static WORK_QUEUE_ITEM item;
    static int runs;
    static KIRQL irql;
    runs = 0;
    ExInitializeWorkItem(
        &item,
        [](PVOID context) NTAPI {
            ++runs;
            irql = KeGetCurrentIrql();
            EXPECT_EQ(context, &item);
        },
        &item);
    km::Run([] {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        ExQueueWorkItem(&item, DelayedWorkQueue);
        KeLowerIrql(old);
    });
    km::RunUntilIdle();
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(irql, PASSIVE_LEVEL);
}

// A wait that a periodic timer keeps alive is not a deadlock, however long
// it lasts: here its DPC ends the wait after two virtual hours of minutes.
TEST_F(SchedulerTest, AWaitThatATimerMayEndIsNoDeadlock)
{
    static KEVENT done;
    static KTIMER tick;
    static KDPC dpc;
    static int ticks;
    ticks = 0;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    KeInitializeTimer(&tick);
    KeInitializeDpc(
        &dpc,
        [](PKDPC, PVOID, PVOID, PVOID) NTAPI {
            if (++ticks == 120) {
                KeCancelTimer(&tick);
                KeSetEvent(&done, IO_NO_INCREMENT, FALSE);
            }
        },
        nullptr);
    km::Run([] {
        LARGE_INTEGER minute;
        minute.QuadPart = -600000000LL;
        KeSetTimerEx(&tick, minute, 60000, &dpc);
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    });
    EXPECT_FALSE(km::HasViolation("DEADLOCK"));
    EXPECT_EQ(ticks, 120);
    EXPECT_EQ(km::Now(), 120LL * 600000000LL);
}

// An I/O work item keeps its device object: deleted before the routine runs,
// the device's memory stays until the routine (which frees its own item) has
// returned.
TEST_F(SchedulerTest, IoWorkItemsHoldTheirDeviceUntilTheRoutineReturns)
{
    static PIO_WORKITEM item;
    static PDEVICE_OBJECT device;
    static ULONG seen;
    static KIRQL irql;
    seen = 0;
    PDRIVER_OBJECT driver = km::CreateFakeDriver(L"Worker");
    km::Run([driver] {
        ASSERT_EQ(IoCreateDevice(driver, sizeof(ULONG), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
                  STATUS_SUCCESS);
        *static_cast<PULONG>(device->DeviceExtension) = 0x5A5A1234;
        item = IoAllocateWorkItem(device);
        ASSERT_NE(item, nullptr);
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        IoQueueWorkItem(
            item,
            [](PDEVICE_OBJECT deviceObject, PVOID context) NTAPI {
                irql = KeGetCurrentIrql();
                EXPECT_EQ(deviceObject, device);
                EXPECT_EQ(context, &seen);
                seen = *static_cast<PULONG>(deviceObject->DeviceExtension);
                IoFreeWorkItem(item);
            },
            DelayedWorkQueue, &seen);
        KeLowerIrql(old);
        IoDeleteDevice(device);
    });
    km::RunUntilIdle();
    EXPECT_EQ(seen, 0x5A5A1234u) << "the device's memory went before the work item ran";
    EXPECT_EQ(irql, PASSIVE_LEVEL);

    km::FailCall("IoAllocateWorkItem", 1);
    km::Run([driver] {
        PDEVICE_OBJECT other = nullptr;
        ASSERT_EQ(IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &other), STATUS_SUCCESS);
        EXPECT_EQ(IoAllocateWorkItem(other), nullptr);
        IoDeleteDevice(other);
    });
}

TEST_F(SchedulerTest, AWaitThatCanNeverEndIsADeadlockNamingTheWaiter)
{
    static KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    km::Run([] { KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr); }, "stuck-thread");
    ASSERT_TRUE(km::HasViolation("DEADLOCK"));
    EXPECT_NE(km::Violations()[0].message.find("stuck-thread"), std::string::npos);
    km::ClearViolations();
}

} // namespace
