// Every verifier rule, broken on purpose by a small fake driver, is caught:
// no check can silently be a no-op. Each case runs on a fresh kernel and
// must be the first violation recorded. The registry's rules (REGISTRY_ACCESS,
// HANDLE_LEAK) are broken in test_registry.cpp, DEADLOCK in test_scheduler.cpp.
#include "tests/kernel_model/fake_stack.h"
#include "tests/support/kernel_test.h"

namespace {

class VerifierTest : public KernelTest {
protected:
    // Runs `scenario` on a fresh kernel, shuts it down, and expects `rule` to
    // be the first violation; the kernel is booted again afterwards.
    void ExpectRule(const char *rule, const std::function<void()> &scenario)
    {
        SCOPED_TRACE(rule);
        km::Shutdown();
        km::ClearViolations();
        km::Boot(BootOptions());
        scenario();
        km::Shutdown();
        ASSERT_FALSE(km::Violations().empty()) << rule << " was not caught";
        EXPECT_EQ(km::Violations().front().rule, rule) << km::Violations().front().message;
        EXPECT_FALSE(km::Violations().front().context.empty());
        km::ClearViolations();
        km::Boot(BootOptions());
    }

    // A write to freed pool or past a block's end: the model finds it when the
    // block is checked; built with AddressSanitizer, which poisons both, the
    // write itself stops the program.
    void ExpectPoolMisuse(const char *rule, const std::function<void()> &scenario)
    {
#if defined(__SANITIZE_ADDRESS__)
        (void)rule;
        EXPECT_DEATH(scenario(), "use-after-poison");
#else
        ExpectRule(rule, scenario);
#endif
    }

    // Sends a read of 16 bytes to the top of the stack from a passive thread.
    static km::Request *SendRead(PDEVICE_OBJECT device)
    {
        km::Request *request = km::NewRequest(device, IRP_MJ_READ, 0, nullptr, 0, 16);
        km::Run([request] { km::Dispatch(request); });
        return request;
    }
};

KSPIN_LOCK lockA, lockB;
KEVENT event;
PIRP held;

TEST_F(VerifierTest, IrqlRules)
{
    ExpectRule("IRQL", [] {
        static FAST_MUTEX mutex;
        ExInitializeFastMutex(&mutex);
        km::Run([] {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            ExAcquireFastMutex(&mutex);
        });
    });
    ExpectRule("IRQL", [] {
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        km::Run([] {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            LARGE_INTEGER timeout;
            timeout.QuadPart = -10000;
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
        });
    });
    // A poll (zero time-out) at DISPATCH_LEVEL is allowed.
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    NTSTATUS polled = STATUS_SUCCESS;
    km::Run([&] {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        LARGE_INTEGER zero;
        zero.QuadPart = 0;
        polled = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero);
        KeLowerIrql(old);
    });
    EXPECT_EQ(polled, STATUS_TIMEOUT);
    EXPECT_TRUE(km::Violations().empty());
}

TEST_F(VerifierTest, SpinLockRules)
{
    ExpectRule("WAIT_WITH_SPINLOCK", [] {
        KeInitializeSpinLock(&lockA);
        KeInitializeEvent(&event, NotificationEvent, TRUE);
        km::Run([] {
            KIRQL irql;
            KeAcquireSpinLock(&lockA, &irql);
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        });
    });
    ExpectRule("SPINLOCK_RECURSION", [] {
        KeInitializeSpinLock(&lockA);
        km::Run([] {
            KIRQL irql;
            KeAcquireSpinLock(&lockA, &irql);
            KeAcquireSpinLockAtDpcLevel(&lockA);
        });
    });
    ExpectRule("CALL_WITH_SPINLOCK", [] {
        FakeStack s = MakeStack([](PDEVICE_OBJECT, PIRP irp) { return CompleteWith(irp, STATUS_SUCCESS); }, nullptr);
        KeInitializeSpinLock(&lockA);
        km::Handler upper = [s](PDEVICE_OBJECT, PIRP irp) {
            KIRQL irql;
            KeAcquireSpinLock(&lockA, &irql);
            NTSTATUS status = PassDownTo(s.lower, irp);
            KeReleaseSpinLock(&lockA, irql);
            return status;
        };
        km::SetHandler(s.upper, upper);
        SendRead(s.upper);
    });
    // Two locks taken in both orders, at different times: no deadlock this
    // run, but another interleaving would.
    ExpectRule("LOCK_ORDER", [] {
        KeInitializeSpinLock(&lockA);
        KeInitializeSpinLock(&lockB);
        auto inOrder = [](PKSPIN_LOCK first, PKSPIN_LOCK second) {
            KIRQL irql;
            KeAcquireSpinLock(first, &irql);
            KeAcquireSpinLockAtDpcLevel(second);
            KeReleaseSpinLockFromDpcLevel(second);
            KeReleaseSpinLock(first, irql);
        };
        km::Run([&] { inOrder(&lockA, &lockB); });
        km::Run([&] { inOrder(&lockB, &lockA); });
    });
    ExpectRule("MUTEX_RECURSION", [] {
        static FAST_MUTEX mutex;
        ExInitializeFastMutex(&mutex);
        km::Run([] {
            ExAcquireFastMutex(&mutex);
            ExAcquireFastMutex(&mutex);
        });
    });
    ExpectRule("LOCK_NOT_OWNED", [] {
        KeInitializeSpinLock(&lockA);
        km::Run([] {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            KeReleaseSpinLock(&lockA, old); // never acquired
        });
    });
}

TEST_F(VerifierTest, PendingRules)
{
    ExpectRule("PENDING_NOT_MARKED", [] {
        FakeStack s = MakeStack(
            [](PDEVICE_OBJECT, PIRP irp) {
                held = irp;
                return STATUS_PENDING;
            },
            nullptr);
        km::SetHandler(s.upper, [s](PDEVICE_OBJECT, PIRP irp) { return PassDownTo(s.lower, irp); });
        SendRead(s.upper);
        km::Run([] { CompleteWith(held, STATUS_SUCCESS); });
    });
    ExpectRule("MARKED_NOT_PENDING", [] {
        FakeStack s = MakeStack(
            [](PDEVICE_OBJECT, PIRP irp) {
                IoMarkIrpPending(irp);
                return CompleteWith(irp, STATUS_SUCCESS);
            },
            nullptr);
        SendRead(s.lower);
    });
    // A lower driver pends; the upper returns something else: the pending
    // state propagated to the upper's location contradicts what it returned.
    ExpectRule("MARKED_NOT_PENDING", [] {
        FakeStack s = MakeStack(
            [](PDEVICE_OBJECT, PIRP irp) {
                IoMarkIrpPending(irp);
                held = irp;
                return STATUS_PENDING;
            },
            nullptr);
        km::SetHandler(s.upper, [s](PDEVICE_OBJECT, PIRP irp) {
            IoCopyCurrentIrpStackLocationToNext(irp);
            IoCallDriver(s.lower, irp);
            return STATUS_SUCCESS;
        });
        SendRead(s.upper);
        km::Run([] { CompleteWith(held, STATUS_SUCCESS); });
    });
}

TEST_F(VerifierTest, CompletionRules)
{
    ExpectRule("DOUBLE_COMPLETE", [] {
        FakeStack s = MakeStack(
            [](PDEVICE_OBJECT, PIRP irp) {
                CompleteWith(irp, STATUS_SUCCESS);
                return CompleteWith(irp, STATUS_SUCCESS);
            },
            nullptr);
        SendRead(s.lower);
    });
    ExpectRule("COMPLETE_OWNED_BY_LOWER", [] {
        FakeStack s = MakeStack(
            [](PDEVICE_OBJECT, PIRP irp) {
                IoMarkIrpPending(irp);
                held = irp;
                return STATUS_PENDING;
            },
            nullptr);
        km::SetHandler(s.upper, [s](PDEVICE_OBJECT, PIRP irp) {
            IoMarkIrpPending(irp);
            IoCopyCurrentIrpStackLocationToNext(irp);
            IoCallDriver(s.lower, irp);
            CompleteWith(irp, STATUS_CANCELLED); // the lower driver still has it
            return STATUS_PENDING;
        });
        SendRead(s.upper);
    });
    ExpectRule("COMPLETE_WITH_CANCEL_ROUTINE", [] {
        FakeStack s = MakeStack(
            [](PDEVICE_OBJECT, PIRP irp) {
                IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP) NTAPI {});
                return CompleteWith(irp, STATUS_SUCCESS);
            },
            nullptr);
        SendRead(s.lower);
    });
    ExpectRule("COMPLETE_WITH_PENDING_STATUS", [] {
        FakeStack s = MakeStack([](PDEVICE_OBJECT, PIRP irp) { return CompleteWith(irp, STATUS_PENDING); }, nullptr);
        SendRead(s.lower);
    });
    ExpectRule("CANCEL_LOCK_NOT_RELEASED", [] {
        FakeStack s = MakeStack(
            [](PDEVICE_OBJECT, PIRP irp) {
                IoMarkIrpPending(irp);
                IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP cancelled) NTAPI {
                    CompleteWith(cancelled, STATUS_CANCELLED); // forgets IoReleaseCancelSpinLock
                });
                return STATUS_PENDING;
            },
            nullptr);
        km::Request *read = SendRead(s.lower);
        km::Run([read] { km::Cancel(read); });
    });
    // A driver's own IRP whose completion routine lets the walk go on: the
    // I/O manager would finish a request nobody originated.
    ExpectRule("COMPLETED_TO_TOP", [] {
        FakeStack s = MakeStack([](PDEVICE_OBJECT, PIRP irp) { return CompleteWith(irp, STATUS_SUCCESS); }, nullptr);
        km::Run([s] {
            PIRP irp = IoAllocateIrp(s.lower->StackSize, FALSE);
            IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
            IoSetCompletionRoutine(
                irp, [](PDEVICE_OBJECT, PIRP, PVOID) NTAPI { return STATUS_SUCCESS; }, nullptr, TRUE, TRUE, TRUE);
            IoCallDriver(s.lower, irp);
        });
    });
    ExpectRule("NO_MORE_IRP_STACK_LOCATIONS", [] {
        FakeStack s = MakeStack([](PDEVICE_OBJECT, PIRP irp) { return CompleteWith(irp, STATUS_SUCCESS); }, nullptr);
        km::SetHandler(s.upper, [s](PDEVICE_OBJECT, PIRP irp) {
            IoCopyCurrentIrpStackLocationToNext(irp);
            return IoCallDriver(s.lower, irp);
        });
        // One location: enough for the upper device only.
        km::Run([s] {
            PIRP irp = IoAllocateIrp(1, FALSE);
            IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
            IoCallDriver(s.upper, irp);
        });
    });
    // More bytes reported than the caller's buffer holds.
    ExpectRule("BUFFER_OVERRUN", [] {
        FakeStack s =
            MakeStack([](PDEVICE_OBJECT, PIRP irp) { return CompleteWith(irp, STATUS_SUCCESS, 17); }, nullptr);
        SendRead(s.lower);
    });
    ExpectRule("FREE_FOREIGN_IRP", [] {
        FakeStack s = MakeStack(nullptr, nullptr);
        km::Request *request = km::NewRequest(s.lower, IRP_MJ_READ, 0, nullptr, 0, 16);
        km::Run([request] { IoFreeIrp(request->irp); });
    });
}

// Windows 2000/XP hold the next power IRP until every driver that saw this
// one called PoStartNextPowerIrp.
TEST_F(VerifierTest, PowerIrpRules)
{
    ExpectRule("POWER_IRP_NOT_STARTED", [] {
        FakeStack s = MakeStack(nullptr, nullptr);
        km::SetHandler(s.upper, [](PDEVICE_OBJECT, PIRP irp) { return CompleteWith(irp, STATUS_SUCCESS); });
        POWER_STATE d0;
        d0.DeviceState = PowerDeviceD0;
        km::Run([s, d0] { PoRequestPowerIrp(s.pdo, IRP_MN_SET_POWER, d0, nullptr, nullptr, nullptr); });
    });
    ExpectRule("POWER_IRP", [] {
        FakeStack s = MakeStack(nullptr, nullptr);
        km::Run([s] {
            PIRP irp = IoAllocateIrp(s.lower->StackSize, FALSE);
            IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
            PoCallDriver(s.lower, irp);
        });
    });
}

TEST_F(VerifierTest, RemoveLockRules)
{
    static IO_REMOVE_LOCK lock;
    ExpectRule("REMOVE_LOCK", [] {
        km::Run([] {
            IoInitializeRemoveLock(&lock, 0, 0, 0);
            IoAcquireRemoveLock(&lock, &lockA);
            IoReleaseRemoveLock(&lock, &lockB); // another tag
        });
    });
    ExpectRule("REMOVE_LOCK", [] {
        km::Run([] {
            IoInitializeRemoveLock(&lock, 0, 0, 0);
            IoAcquireRemoveLock(&lock, &lockA); // never released
        });
    });
    // Release-and-wait while another hold is outstanding that nobody will release.
    ExpectRule("REMOVE_LOCK", [] {
        km::Run([] {
            IoInitializeRemoveLock(&lock, 0, 0, 0);
            IoAcquireRemoveLock(&lock, &lockA);
            IoAcquireRemoveLock(&lock, &lockB);
            IoReleaseRemoveLockAndWait(&lock, &lockB);
        });
    });
}

TEST_F(VerifierTest, PoolRules)
{
    ExpectRule("POOL_LEAK", [] { km::Run([] { ExAllocatePool(NonPagedPool, 24); }); });
    ExpectRule("POOL_DOUBLE_FREE", [] {
        km::Run([] {
            void *p = ExAllocatePool(NonPagedPool, 24);
            ExFreePool(p);
            ExFreePool(p);
        });
    });
    ExpectPoolMisuse("POOL_USE_AFTER_FREE", [] {
        km::Run([] {
            char *p = static_cast<char *>(ExAllocatePool(NonPagedPool, 24));
            ExFreePool(p);
            p[3] = 1;
        });
    });
    ExpectPoolMisuse("POOL_OVERRUN", [] {
        km::Run([] {
            char *p = static_cast<char *>(ExAllocatePool(NonPagedPool, 24));
            p[24] = 1;
            ExFreePool(p);
        });
    });
    ExpectRule("POOL_BAD_FREE", [] {
        km::Run([] {
            static char notPool[24];
            ExFreePool(notPool);
        });
    });
    ExpectRule("POOL_BAD_FREE", [] {
        km::Run([] {
            static char notAnIrp[256];
            IoFreeIrp(reinterpret_cast<PIRP>(notAnIrp));
        });
    });
}

TEST_F(VerifierTest, LeakRules)
{
    ExpectRule("IRP_LEAK", [] { km::Run([] { IoAllocateIrp(2, FALSE); }); });
    // An application's request that the driver queued and then forgot.
    ExpectRule("IRP_LEAK", [] {
        FakeStack s = MakeStack(
            [](PDEVICE_OBJECT, PIRP irp) {
                IoMarkIrpPending(irp);
                return STATUS_PENDING;
            },
            nullptr);
        SendRead(s.lower);
    });
    // Memory freed under an armed timer: the expiry would write freed pool.
    ExpectRule("TIMER_IN_FREED_MEMORY", [] {
        km::Run([] {
            PKTIMER timer = static_cast<PKTIMER>(ExAllocatePool(NonPagedPool, sizeof(KTIMER)));
            KeInitializeTimer(timer);
            LARGE_INTEGER due;
            due.QuadPart = -10000;
            KeSetTimer(timer, due, nullptr);
            ExFreePool(timer);
        });
    });
    // A function driver that does not delete its device at removal.
    ExpectRule("DEVICE_LEAK", [] {
        FakeStack s = MakeStack(nullptr, nullptr);
        km::SetHandler(s.lower, [s](PDEVICE_OBJECT, PIRP irp) { return PassDownTo(s.pdo, irp); });
        km::SetHandler(s.upper, [s](PDEVICE_OBJECT, PIRP irp) { return PassDownTo(s.lower, irp); });
        EXPECT_EQ(km::RemoveDevice(s.pdo), STATUS_SUCCESS);
    });
    // A driver image whose device is still there at shutdown.
    ExpectRule("DEVICE_LEAK", [] {
        km::Image *image = km::LoadDriver(KM_TEST_DRIVER, L"kmtest");
        km::AddDevice(image, km::CreatePdo());
    });
}

// Device objects, references, handles and work items used against their rules.
TEST_F(VerifierTest, ObjectRules)
{
    ExpectRule("DELETE_ATTACHED_DEVICE", [] {
        FakeStack s = MakeStack(nullptr, nullptr);
        km::Run([s] { IoDeleteDevice(s.upper); }); // without IoDetachDevice first
    });
    ExpectRule("DETACH_NOT_ATTACHED", [] {
        FakeStack s = MakeStack(nullptr, nullptr);
        km::Run([s] { IoDetachDevice(s.upper); }); // nothing is attached above the top
    });
    ExpectRule("DEVICE_DOUBLE_DELETE", [] {
        PDRIVER_OBJECT driver = km::CreateFakeDriver(L"Twice");
        km::Run([driver] {
            PDEVICE_OBJECT device = nullptr;
            ASSERT_EQ(IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
            IoDeleteDevice(device);
            IoDeleteDevice(device);
        });
    });
    ExpectRule("OBJECT_REFERENCE", [] {
        FakeStack s = MakeStack(nullptr, nullptr);
        km::Run([s] {
            PDEVICE_OBJECT top = IoGetAttachedDeviceReference(s.pdo);
            ObDereferenceObject(top);
            ObDereferenceObject(top); // one more than taken
        });
    });
    ExpectRule("INVALID_HANDLE", [] { km::Run([] { ZwClose(reinterpret_cast<HANDLE>(0x1234)); }); });
    // Queued twice before its worker ran: on one processor at DISPATCH_LEVEL
    // the worker cannot start in between.
    ExpectRule("WORK_ITEM_REQUEUED", [] {
        km::Shutdown();
        km::Options one;
        one.processors = 1;
        km::Boot(one);
        static WORK_QUEUE_ITEM item;
        ExInitializeWorkItem(
            &item, [](PVOID) NTAPI {}, nullptr);
        km::Run([] {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            ExQueueWorkItem(&item, DelayedWorkQueue);
            ExQueueWorkItem(&item, DelayedWorkQueue);
            KeLowerIrql(old);
        });
    });
}

} // namespace
