// Every verifier rule, broken on purpose by a small fake driver, is caught:
// no check can silently be a no-op. Each case runs on a fresh kernel and
// must be the first violation recorded. The registry's rules (REGISTRY_ACCESS,
// HANDLE_LEAK) are broken in test_registry.cpp, DEADLOCK in test_scheduler.cpp.
#include "tests/kernel_model/fake_stack.h"
#include "tests/support/kernel_test.h"

#include <alloca.h>

#include <regex>

namespace {

class VerifierTest : public KernelTest {
protected:
    // Runs `scenario` on a fresh kernel, shuts it down, and expects `rule` to
    // be the first violation (its message naming `about`, when given: rules
    // such as IRQL have many causes); the kernel is booted again afterwards.
    void ExpectRule(const char *rule, const std::function<void()> &scenario, const char *about = nullptr)
    {
        SCOPED_TRACE(rule);
        km::Shutdown();
        km::ClearViolations();
        km::Boot(BootOptions());
        scenario();
        km::Shutdown();
        ASSERT_FALSE(km::Violations().empty()) << rule << " was not caught";
        EXPECT_EQ(km::Violations().front().rule, rule) << km::Violations().front().message;
        if (about != nullptr) {
            EXPECT_NE(km::Violations().front().message.find(about), std::string::npos)
                << km::Violations().front().message;
        }
        EXPECT_FALSE(km::Violations().front().context.empty());
        ExpectNoAddresses();
        km::ClearViolations();
        km::Boot(BootOptions());
    }

    // Runs `scenario` on a fresh kernel and expects no violation at all.
    void ExpectClean(const std::function<void()> &scenario)
    {
        km::Shutdown();
        km::ClearViolations();
        km::Boot(BootOptions());
        scenario();
        ShutdownAndCheck();
        km::Boot(BootOptions());
    }

    // Messages and the trace name blocks, devices and routines, never an
    // address, so that a failing run prints the same in every process (an
    // x64 address is longer than any status or offset in an image).
    static void ExpectNoAddresses()
    {
        std::regex address("0x[0-9a-fA-F]{9,}");
        for (const km::Violation &v : km::Violations()) {
            EXPECT_FALSE(std::regex_search(v.message, address)) << v.message;
        }
        for (const std::string &line : km::Trace()) {
            EXPECT_FALSE(std::regex_search(line, address)) << line;
        }
    }

    // A bad access to special pool: a violation at the access, or at the
    // free for the bytes between a block and its page's ends; built with
    // AddressSanitizer, which poisons them all, the access stops the program.
    void ExpectPoolMisuse(const char *rule, const std::function<void()> &scenario, const char *about = nullptr)
    {
#if defined(__SANITIZE_ADDRESS__)
        (void)rule, (void)about;
        EXPECT_DEATH(scenario(), "use-after-poison");
#else
        ExpectRule(rule, scenario, about);
#endif
    }

    // Sends a read of 16 bytes to the top of the stack from a passive thread.
    static km::Request *SendRead(PDEVICE_OBJECT device)
    {
        km::Request *request = km::NewRequest(device, IRP_MJ_READ, 0, nullptr, 0, 16);
        km::Run([request] { km::Dispatch(request); });
        return request;
    }

    // A stack whose lower driver answers power requests properly and whose
    // upper driver skips its location, calls `afterSkip` and passes them down.
    static FakeStack PowerStack(std::function<void(PIRP)> afterSkip)
    {
        FakeStack s = MakeStack(
            [](PDEVICE_OBJECT, PIRP irp) {
                PoStartNextPowerIrp(irp);
                return CompleteWith(irp, STATUS_SUCCESS);
            },
            nullptr);
        km::SetHandler(s.upper, [s, afterSkip](PDEVICE_OBJECT, PIRP irp) {
            IoSkipCurrentIrpStackLocation(irp);
            afterSkip(irp);
            return PoCallDriver(s.lower, irp);
        });
        return s;
    }

    static void SendDevicePower(const FakeStack &s)
    {
        POWER_STATE d0;
        d0.DeviceState = PowerDeviceD0;
        km::Run([s, d0] { PoRequestPowerIrp(s.pdo, IRP_MN_SET_POWER, d0, nullptr, nullptr, nullptr); });
    }

    // Loads the test image and unloads it leaving behind what `leave` asks
    // for (its LeaveAtUnload bits).
    static void UnloadLeaving(LONG leave)
    {
        km::Image *image = km::LoadDriver(KM_TEST_DRIVER, L"kmtest");
        *km::SymbolAs<LONG>(image, "LeaveAtUnload") = leave;
        km::UnloadDriver(image);
    }
};

KSPIN_LOCK lockA, lockB;
KEVENT event;
PIRP held;
volatile char sink; // what a read of pool goes to

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

// A thread, a DPC or a work item that ends above the IRQL it started at, or
// holding a spin lock, is reported where it ends, with the same message on
// every architecture. The report's call stack is the context's own: it stops
// at the context's first frame, the model's entry, instead of running on into
// whatever lies beyond it (walking that crashed the i386 build).
TEST_F(VerifierTest, AContextEndingAtTheWrongIrqlIsReported)
{
    static KDPC dpc;
    static WORK_QUEUE_ITEM item;
    static LARGE_INTEGER oneMs;
    oneMs.QuadPart = -10000;
    KeInitializeSpinLock(&lockA);
    KeInitializeDpc(
        &dpc, [](PKDPC, PVOID, PVOID, PVOID) NTAPI { KeLowerIrql(PASSIVE_LEVEL); }, nullptr);
    ExInitializeWorkItem(
        &item,
        [](PVOID) NTAPI {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
        },
        nullptr);
    // Each starts in a thread of its own, which lives on while the DPC or
    // the work item it queued runs.
    void (*const starts[])() = {
        [] {
            KIRQL irql;
            KeAcquireSpinLock(&lockA, &irql);
        },
        [] {
            KeInsertQueueDpc(&dpc, nullptr, nullptr);
            KeDelayExecutionThread(KernelMode, FALSE, &oneMs);
        },
        [] {
            ExQueueWorkItem(&item, DelayedWorkQueue);
            KeDelayExecutionThread(KernelMode, FALSE, &oneMs);
        },
    };
    const char *messages[] = {"returned at IRQL 2 holding 1 lock(s)", "returned at IRQL 0 holding 0 lock(s)",
                              "returned at IRQL 2 holding 0 lock(s)"};
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(messages[i]);
        km::Run(starts[i]);
        ASSERT_EQ(km::Violations().size(), 1u);
        const km::Violation &v = km::Violations().front();
        EXPECT_EQ(v.rule, "IRQL");
        EXPECT_NE(v.message.find(messages[i]), std::string::npos) << v.message;
        std::string firstFrame = v.context.substr(v.context.rfind('\n') + 1);
        EXPECT_NE(firstFrame.find("km_fiber_entry"), std::string::npos) << v.context;
        km::ClearViolations();
    }
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
    // Completed under the driver's own lock, upper completion routines would
    // run under it; released first, it is sound.
    for (bool releaseFirst : {false, true}) {
        auto scenario = [releaseFirst] {
            FakeStack s = MakeStack(nullptr, nullptr);
            KeInitializeSpinLock(&lockA);
            km::SetHandler(s.lower, [releaseFirst](PDEVICE_OBJECT, PIRP irp) {
                KIRQL irql;
                KeAcquireSpinLock(&lockA, &irql);
                if (releaseFirst) {
                    KeReleaseSpinLock(&lockA, irql);
                }
                CompleteWith(irp, STATUS_SUCCESS);
                if (!releaseFirst) {
                    KeReleaseSpinLock(&lockA, irql);
                }
                return STATUS_SUCCESS;
            });
            SendRead(s.lower);
        };
        releaseFirst ? ExpectClean(scenario) : ExpectRule("COMPLETE_WITH_SPINLOCK", scenario);
    }
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
    // Down to PASSIVE_LEVEL while the other lock is still held.
    ExpectRule(
        "IRQL",
        [] {
            KeInitializeSpinLock(&lockA);
            KeInitializeSpinLock(&lockB);
            km::Run([] {
                KIRQL first;
                KeAcquireSpinLock(&lockA, &first);
                KeAcquireSpinLockAtDpcLevel(&lockB);
                KeReleaseSpinLock(&lockA, first);
                KeReleaseSpinLockFromDpcLevel(&lockB);
            });
        },
        "while another spin lock is held");
    ExpectRule(
        "IRQL",
        [] {
            KeInitializeSpinLock(&lockA);
            km::Run([] {
                KIRQL irql;
                KeAcquireSpinLock(&lockA, &irql);
                KeReleaseSpinLock(&lockA, HIGH_LEVEL);
                KeLowerIrql(irql);
            });
        },
        "above the current IRQL");
    // A cancel routine must return at Irp->CancelIrql, the canceller's IRQL.
    ExpectRule(
        "IRQL",
        [] {
            FakeStack s = MakeStack(
                [](PDEVICE_OBJECT, PIRP irp) {
                    IoMarkIrpPending(irp);
                    IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP cancelled) NTAPI {
                        IoReleaseCancelSpinLock(DISPATCH_LEVEL);
                        CompleteWith(cancelled, STATUS_CANCELLED);
                    });
                    return STATUS_PENDING;
                },
                nullptr);
            km::Request *read = SendRead(s.lower);
            km::Run([read] {
                km::Cancel(read);
                KeLowerIrql(PASSIVE_LEVEL);
            });
        },
        "Irp->CancelIrql");
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
    // Completed twice while the upper driver's completion routine holds it.
    ExpectRule("DOUBLE_COMPLETE", [] {
        FakeStack s = MakeStack(
            [](PDEVICE_OBJECT, PIRP irp) {
                CompleteWith(irp, STATUS_SUCCESS);
                return CompleteWith(irp, STATUS_SUCCESS);
            },
            nullptr);
        km::SetHandler(s.upper, [s](PDEVICE_OBJECT, PIRP irp) {
            IoMarkIrpPending(irp);
            IoCopyCurrentIrpStackLocationToNext(irp);
            IoSetCompletionRoutine(
                irp, [](PDEVICE_OBJECT, PIRP, PVOID) NTAPI { return STATUS_MORE_PROCESSING_REQUIRED; }, nullptr, TRUE,
                TRUE, TRUE);
            IoCallDriver(s.lower, irp);
            return STATUS_PENDING;
        });
        SendRead(s.upper);
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
    // Sent down with its cancel routine set: a cancel would run it while the
    // driver below owns the IRP. Cleared first, it is sound; PoCallDriver
    // checks the same.
    for (int send : {0, 1, 2}) {
        auto scenario = [send] {
            FakeStack s = PowerStack([](PIRP) {});
            km::SetHandler(s.upper, [s, send](PDEVICE_OBJECT, PIRP irp) {
                IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP) NTAPI {});
                if (send == 0) {
                    IoSetCancelRoutine(irp, nullptr);
                }
                PoStartNextPowerIrp(irp);
                IoSkipCurrentIrpStackLocation(irp);
                return send == 2 ? PoCallDriver(s.lower, irp) : IoCallDriver(s.lower, irp);
            });
            send == 2 ? SendDevicePower(s) : (void)SendRead(s.upper);
        };
        send == 0 ? ExpectClean(scenario) : ExpectRule("CALL_WITH_CANCEL_ROUTINE", scenario);
    }
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
    // The caller sees what the dispatch routine returns, not the status.
    ExpectRule("STATUS_MISMATCH", [] {
        FakeStack s = MakeStack(
            [](PDEVICE_OBJECT, PIRP irp) {
                CompleteWith(irp, STATUS_SUCCESS);
                return STATUS_UNSUCCESSFUL;
            },
            nullptr);
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
    // The upper driver passes the request down with its location skipped: the
    // lower driver's PoStartNextPowerIrp starts only the lower device.
    ExpectRule("POWER_IRP_NOT_STARTED", [] { SendDevicePower(PowerStack([](PIRP) {})); });
    // Called after the skip, PoStartNextPowerIrp starts the device above.
    ExpectRule("POWER_IRP_NOT_STARTED",
               [] { SendDevicePower(PowerStack([](PIRP irp) { PoStartNextPowerIrp(irp); })); });
    ExpectRule("POWER_IRP", [] {
        FakeStack s = PowerStack([](PIRP) {});
        km::SetHandler(s.upper, [s](PDEVICE_OBJECT, PIRP irp) {
            PoStartNextPowerIrp(irp);
            IoSkipCurrentIrpStackLocation(irp);
            return IoCallDriver(s.lower, irp);
        });
        SendDevicePower(s);
    });
    // A policy owner powers its device down while the system only asks
    // whether it may sleep.
    ExpectRule("POWER_POLICY", [] {
        FakeStack s = PowerStack([](PIRP) {});
        km::SetHandler(s.upper, [s](PDEVICE_OBJECT, PIRP irp) {
            PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
            if (location->MinorFunction == IRP_MN_QUERY_POWER && location->Parameters.Power.Type == SystemPowerState) {
                POWER_STATE d3;
                d3.DeviceState = PowerDeviceD3;
                PoRequestPowerIrp(s.pdo, IRP_MN_SET_POWER, d3, nullptr, nullptr, nullptr);
            }
            PoStartNextPowerIrp(irp);
            IoSkipCurrentIrpStackLocation(irp);
            return PoCallDriver(s.lower, irp);
        });
        km::SystemSleep();
    });
}

// What Windows 2000/XP reject once the image is gone: anything the kernel
// would still call in it, and pool the driver never gave back.
TEST_F(VerifierTest, UnloadRules)
{
    ExpectRule("UNLOAD_PENDING_WORK", [] { UnloadLeaving(1); }); // an armed timer
    ExpectRule("POOL_LEAK", [] {
        UnloadLeaving(8);
        EXPECT_TRUE(km::HasViolation("POOL_LEAK")) << "reported at the unload, not only at shutdown";
    });
    // An IRP of the driver's own, still pending below with its completion routine.
    ExpectRule("UNLOAD_PENDING_WORK", [] {
        FakeStack s = MakeStack(
            [](PDEVICE_OBJECT, PIRP irp) {
                IoMarkIrpPending(irp);
                return STATUS_PENDING;
            },
            nullptr);
        km::Image *image = km::LoadDriver(KM_TEST_DRIVER, L"kmtest");
        auto send = km::SymbolAs<VOID NTAPI(PDEVICE_OBJECT)>(image, "SendOwnIrp");
        km::Run([&] { send(s.lower); });
        km::UnloadDriver(image);
    });
    // A work item of the image that has started and not returned; once it
    // has returned, the unload is sound.
    for (bool open : {false, true}) {
        auto scenario = [open] {
            km::Image *image = km::LoadDriver(KM_TEST_DRIVER, L"kmtest");
            km::Run(km::SymbolAs<VOID NTAPI()>(image, "StartGatedWork"));
            km::RunUntilIdle();
            if (open) {
                km::Run(km::SymbolAs<VOID NTAPI()>(image, "OpenWorkGate"));
                km::RunUntilIdle(); // the routine has returned
            }
            km::UnloadDriver(image);
        };
        open ? ExpectClean(scenario) : ExpectRule("UNLOAD_PENDING_WORK", scenario, "is running");
    }
}

// A DPC or work item queued as the unload's last act may run before the image
// goes, or not; whenever it is still queued, the unload is caught.
TEST_F(VerifierTest, WorkQueuedByTheUnloadIsCaughtWhenStillQueued)
{
    for (LONG leave : {2, 4}) { // a DPC, a work item
        int caught = 0;
        // Until one is caught, whatever the first seed.
        RunSeeds(
            200,
            [&](uint64_t) {
                UnloadLeaving(leave);
                if (km::HasViolation("UNLOAD_PENDING_WORK")) {
                    caught++;
                    EXPECT_EQ(km::Violations().front().rule, "UNLOAD_PENDING_WORK");
                }
                km::ClearViolations();
            },
            [&] { return caught > 0; });
        EXPECT_GT(caught, 0) << "left behind: " << leave;
    }
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
    ExpectRule("POOL_BAD_FREE", [] {
        km::Run([] {
            static char notPool[24];
            ExFreePool(notPool);
        });
    });
    // Paged pool is freed, or used for a spin lock, at DISPATCH_LEVEL.
    ExpectRule(
        "IRQL",
        [] {
            km::Run([] {
                void *p = ExAllocatePool(PagedPool, 24);
                KIRQL old;
                KeRaiseIrql(DISPATCH_LEVEL, &old);
                ExFreePool(p);
                KeLowerIrql(old);
            });
        },
        "paged pool block");
    ExpectRule(
        "IRQL",
        [] {
            km::Run([] {
                PKSPIN_LOCK lock = static_cast<PKSPIN_LOCK>(ExAllocatePool(PagedPool, sizeof(KSPIN_LOCK)));
                KeInitializeSpinLock(lock);
                KIRQL irql;
                KeAcquireSpinLock(lock, &irql);
                KeReleaseSpinLock(lock, irql);
                ExFreePool(lock);
            });
        },
        "lies in paged pool");
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

// Special pool: each block at the end of its page, the next page and a freed
// block's pages inaccessible; the access itself is the violation, naming the
// block and the code that made it.
TEST_F(VerifierTest, SpecialPoolStopsTheAccess)
{
    struct Case {
        const char *rule;
        const char *about;
        void (*access)();
    } cases[] = {
        {"POOL_USE_AFTER_FREE", "read freed memory: offset 3 of pool block #1 'Zq01'",
         [] {
             char *p = static_cast<char *>(ExAllocatePoolWithTag(NonPagedPool, 24, 0x3130715A));
             ExFreePool(p);
             sink = p[3];
         }},
        // 32 bytes end at the page's end on every architecture: the next byte is the guard page.
        {"POOL_OVERRUN", "wrote past the end: offset 32 of pool block #1",
         [] {
             char *p = static_cast<char *>(ExAllocatePool(NonPagedPool, 32));
             p[32] = 1;
         }},
        // Short of the page's end, or before the block: seen at the free.
        {"POOL_OVERRUN", "was written past its end",
         [] {
             char *p = static_cast<char *>(ExAllocatePool(NonPagedPool, 20));
             p[20] = 1;
             ExFreePool(p);
         }},
        {"POOL_OVERRUN", "was written before its start",
         [] {
             char *p = static_cast<char *>(ExAllocatePool(NonPagedPool, 20));
             p[-1] = 1;
             ExFreePool(p);
         }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.about);
        ExpectPoolMisuse(
            c.rule, [&c] { km::Run(c.access); }, c.about);
    }
    // A request pended and completed is freed by the I/O manager at once: its
    // byte count read afterwards (for statistics) is a read of freed pool. Not
    // pended, the I/O manager finishes it when the dispatch routine returns.
    for (bool pended : {true, false}) {
        auto scenario = [pended] {
            FakeStack s = MakeStack(
                [pended](PDEVICE_OBJECT, PIRP irp) {
                    if (pended) {
                        IoMarkIrpPending(irp);
                    }
                    CompleteWith(irp, STATUS_SUCCESS, 16);
                    sink = static_cast<char>(irp->IoStatus.Information);
                    return pended ? STATUS_PENDING : STATUS_SUCCESS;
                },
                nullptr);
            SendRead(s.lower);
        };
        pended ? ExpectPoolMisuse("POOL_USE_AFTER_FREE", scenario, "read freed memory") : ExpectClean(scenario);
    }
    ExpectPoolMisuse("POOL_OVERRUN", [] {
        FakeStack s = MakeStack(
            [](PDEVICE_OBJECT, PIRP irp) {
                static_cast<char *>(irp->AssociatedIrp.SystemBuffer)[16] = 0; // a read of 16 bytes
                return CompleteWith(irp, STATUS_SUCCESS, 16);
            },
            nullptr);
        SendRead(s.lower);
    });
#if !defined(__SANITIZE_ADDRESS__)
    // No context to kill on the test thread itself: reported, then the end.
    EXPECT_DEATH(
        {
            char *p = static_cast<char *>(ExAllocatePool(NonPagedPool, 24));
            ExFreePool(p);
            sink = p[3];
        },
        "POOL_USE_AFTER_FREE on the test thread itself: .* read freed memory");
#endif
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
    ExpectRule("WORK_ITEM_FREED_QUEUED", [] {
        km::Shutdown();
        km::Options one;
        one.processors = 1;
        km::Boot(one);
        FakeStack s = MakeStack(nullptr, nullptr);
        km::Run([s] {
            PIO_WORKITEM item = IoAllocateWorkItem(s.upper);
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            IoQueueWorkItem(
                item, [](PDEVICE_OBJECT, PVOID) NTAPI {}, DelayedWorkQueue, nullptr);
            IoFreeWorkItem(item); // before its routine ran
            KeLowerIrql(old);
        });
    });
    ExpectRule("HANDLE_LEAK", [] {
        km::CreateLink(L"\\DosDevices\\COM7", L"\\Device\\X");
        km::Run([] {
            UNICODE_STRING name;
            RtlInitUnicodeString(&name, L"\\DosDevices\\COM7");
            OBJECT_ATTRIBUTES attributes;
            InitializeObjectAttributes(&attributes, &name, OBJ_KERNEL_HANDLE, nullptr, nullptr);
            HANDLE link;
            ZwOpenSymbolicLinkObject(&link, SYMBOLIC_LINK_QUERY, &attributes); // never closed
        });
    });
    // A device that does not copy DO_POWER_PAGABLE from the pageable device
    // below it, and one that does.
    for (LONG copy : {0, 1}) {
        auto scenario = [copy] {
            km::Image *image = km::LoadDriver(KM_TEST_DRIVER, L"kmtest");
            *km::SymbolAs<LONG>(image, "CopyPowerPagable") = copy;
            PDEVICE_OBJECT pdo = km::CreatePdo();
            EXPECT_EQ(km::AddDevice(image, pdo), STATUS_SUCCESS);
            km::RemoveDevice(pdo);
        };
        copy ? ExpectClean(scenario) : ExpectRule("POWER_PAGABLE", scenario);
    }
}

// Initialising again what the kernel still has in a list corrupts the list;
// an event never initialised has no list at all.
TEST_F(VerifierTest, ReinitialisingWhatIsInUse)
{
    static KEVENT zeroed;
    ExpectRule("UNINITIALIZED_OBJECT", [] { km::Run([] { KeSetEvent(&zeroed, IO_NO_INCREMENT, FALSE); }); });
    static KTIMER timer;
    static KDPC dpc;
    static IO_REMOVE_LOCK lock;
    ExpectRule("REINITIALIZE_ACTIVE", [] {
        km::Run([] {
            KeInitializeTimer(&timer);
            LARGE_INTEGER due;
            due.QuadPart = -10000000;
            KeSetTimer(&timer, due, nullptr);
            KeInitializeTimer(&timer);
        });
    });
    // On one processor held at DISPATCH_LEVEL the queued DPC cannot run.
    ExpectRule("REINITIALIZE_ACTIVE", [] {
        km::Shutdown();
        km::Options one;
        one.processors = 1;
        km::Boot(one);
        km::Run([] {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            KeInitializeDpc(
                &dpc, [](PKDPC, PVOID, PVOID, PVOID) NTAPI {}, nullptr);
            KeInsertQueueDpc(&dpc, nullptr, nullptr);
            KeInitializeDpc(
                &dpc, [](PKDPC, PVOID, PVOID, PVOID) NTAPI {}, nullptr);
        });
    });
    // An event initialised under a waiter orphans it; once the wait has
    // ended, initialising it again is sound.
    for (bool ended : {false, true}) {
        auto scenario = [ended] {
            KeInitializeEvent(&event, NotificationEvent, FALSE);
            km::Spawn([] { KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr); }, "waiter");
            km::RunUntilIdle();
            km::Run([ended] {
                if (ended) {
                    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
                    km::RunUntilIdle();
                }
                KeInitializeEvent(&event, NotificationEvent, FALSE);
            });
        };
        ended ? ExpectClean(scenario) : ExpectRule("REINITIALIZE_ACTIVE", scenario, "waiter");
    }
    ExpectRule("REINITIALIZE_ACTIVE", [] {
        km::Run([] {
            IoInitializeRemoveLock(&lock, 0, 0, 0);
            IoAcquireRemoveLock(&lock, &lockA);
            IoInitializeRemoveLock(&lock, 0, 0, 0);
        });
    });
}

// Kernel stacks are 12 KB on i386: a completion that sends the next request
// to a driver completing it at once recurses on one stack, and deep frames
// run out. Only the drivers' own frames count, summed over the levels.
TEST_F(VerifierTest, KernelStackRules)
{
    if (km::StackBudget() == 0) {
        return; // the sanitizer build's frames carry red zones
    }
    static int levels;
    static PDEVICE_OBJECT lower;
    // The upper driver's own IRP, sent again from its completion routine
    // until `levels` runs out, with small frames.
    static PIO_COMPLETION_ROUTINE again;
    again = [](PDEVICE_OBJECT, PIRP irp, PVOID) NTAPI -> NTSTATUS {
        if (levels-- == 0) {
            IoFreeIrp(irp);
            return STATUS_MORE_PROCESSING_REQUIRED;
        }
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        IoSetCompletionRoutine(irp, again, nullptr, TRUE, TRUE, TRUE);
        IoCallDriver(lower, irp);
        return STATUS_MORE_PROCESSING_REQUIRED;
    };
    auto nest = [] {
        FakeStack s = MakeStack([](PDEVICE_OBJECT, PIRP irp) { return CompleteWith(irp, STATUS_SUCCESS); }, nullptr);
        lower = s.lower;
        km::SetHandler(s.upper, [](PDEVICE_OBJECT, PIRP irp) {
            again(nullptr, IoAllocateIrp(lower->StackSize, FALSE), nullptr);
            return CompleteWith(irp, STATUS_SUCCESS);
        });
        SendRead(s.upper);
    };
    levels = 12;
    ExpectClean(nest);
    levels = 1 << 20;
    ExpectRule("STACK_NESTING", nest);
    ExpectRule("STACK_DEPTH", [] {
        FakeStack s = MakeStack(
            [](PDEVICE_OBJECT, PIRP irp) {
                size_t bytes = km::StackBudget() + 1024;
                volatile char *frame = static_cast<volatile char *>(alloca(bytes));
                for (size_t i = 0; i < bytes; i += 64) {
                    frame[i] = 1;
                }
                return CompleteWith(irp, STATUS_SUCCESS);
            },
            nullptr);
        SendRead(s.lower);
    });
}

// Routines that act on a device node refuse any device but its PDO.
TEST_F(VerifierTest, PdoOnlyRoutines)
{
    ExpectRule("INVALID_PDO", [] {
        FakeStack s = MakeStack(nullptr, nullptr);
        km::Run([s] {
            UNICODE_STRING link{};
            IoRegisterDeviceInterface(s.lower, &GUID_DEVINTERFACE_COMPORT, nullptr, &link);
        });
    });
    ExpectRule("INVALID_PDO", [] {
        FakeStack s = MakeStack(nullptr, nullptr);
        km::Run([s] {
            HANDLE key = nullptr;
            IoOpenDeviceRegistryKey(s.upper, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key);
        });
    });
    ExpectRule("INVALID_PDO", [] {
        FakeStack s = MakeStack(nullptr, nullptr);
        km::Run([s] { IoInvalidateDeviceRelations(s.upper, BusRelations); });
    });
}

TEST_F(VerifierTest, LowRules)
{
    // After KeSetEvent(..., TRUE) only a wait may come.
    ExpectRule("SET_EVENT_WAIT", [] {
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        km::Run([] {
            KeSetEvent(&event, IO_NO_INCREMENT, TRUE);
            ExFreePool(ExAllocatePool(NonPagedPool, 8));
        });
    });
    // A call that an injected fault fails still checks its IRQL first.
    ExpectRule(
        "IRQL",
        [] {
            PDEVICE_OBJECT pdo = km::CreatePdo();
            km::FailCall("IoOpenDeviceRegistryKey", 1);
            km::Run([pdo] {
                KIRQL old;
                KeRaiseIrql(DISPATCH_LEVEL, &old);
                HANDLE key = nullptr;
                IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key);
                KeLowerIrql(old);
            });
        },
        "IoOpenDeviceRegistryKey called at IRQL");
    // Followed by its wait, KeSetEvent(..., TRUE) is sound and the IRQL comes back.
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    KIRQL after = HIGH_LEVEL;
    km::Run([&] {
        KeSetEvent(&event, IO_NO_INCREMENT, TRUE);
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        after = KeGetCurrentIrql();
    });
    EXPECT_EQ(after, PASSIVE_LEVEL);
    EXPECT_TRUE(km::Violations().empty());
}

} // namespace
