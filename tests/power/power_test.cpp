// Power requests of the port on the simulated modem, as the power manager of
// Windows 2000/XP sends them: each path of the machine, failures below and
// of the device requests, sleep with the port open and closed, and a vetoed
// sleep.
#include "tests/support/modem_port_fixture.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// A device request the test asks for itself, and how it ended.
struct DeviceRequest {
    bool called = false;
    NTSTATUS status = STATUS_PENDING;
};

VOID NTAPI DeviceRequestDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK ioStatus)
{
    DeviceRequest *request = static_cast<DeviceRequest *>(context);
    request->called = true;
    request->status = ioStatus->Status;
}

using Log = std::vector<std::string>;

class PowerTest : public ModemPortFixture {
protected:
    void SetUp() override
    {
        observeBelowPort = [this](PIRP irp) { Note(irp); };
        ModemPortFixture::SetUp();
    }

    // What the port sends below itself, in order: power requests, pipe
    // resets and bulk-in transfers. For a device request, the state the port
    // had recorded when it sent it down.
    void Note(PIRP irp)
    {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        if (stack->MajorFunction == IRP_MJ_POWER) {
            NotePower(stack);
        } else if (stack->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL) {
            PURB urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
            if (urb->UrbHeader.Function == URB_FUNCTION_RESET_PIPE) {
                log.push_back("reset " + PipeName(urb->UrbPipeRequest.PipeHandle));
            } else if (urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER &&
                       urb->UrbBulkOrInterruptTransfer.PipeHandle == ext->BulkInPipe) {
                log.push_back("bulk-in");
            }
        }
    }

    void NotePower(PIO_STACK_LOCATION stack)
    {
        UCHAR minor = stack->MinorFunction;
        if (minor != IRP_MN_SET_POWER && minor != IRP_MN_QUERY_POWER) {
            log.push_back("power minor " + std::to_string(minor));
            return;
        }
        std::string what = minor == IRP_MN_SET_POWER ? " set " : " query ";
        if (stack->Parameters.Power.Type == SystemPowerState) {
            log.push_back("system" + what + "S" + std::to_string(stack->Parameters.Power.State.SystemState - 1));
        } else {
            log.push_back("device" + what + "D" + std::to_string(stack->Parameters.Power.State.DeviceState - 1));
            recordedAtSend.push_back(ext->DevicePowerState);
        }
    }

    std::string PipeName(USBD_PIPE_HANDLE pipe) const
    {
        return pipe == ext->BulkInPipe ? "in" : pipe == ext->BulkOutPipe ? "out" : pipe == ext->AuxPipe ? "aux" : "?";
    }

    NTSTATUS RequestDevicePower(UCHAR minor, DEVICE_POWER_STATE state, DeviceRequest *request)
    {
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        km::Run([&] {
            POWER_STATE power;
            power.DeviceState = state;
            status = PoRequestPowerIrp(pdo, minor, power, DeviceRequestDone, request, nullptr);
        });
        km::RunUntilIdle();
        return status;
    }

    void ExpectDeviceIn(DEVICE_POWER_STATE state)
    {
        EXPECT_EQ(state, ext->DevicePowerState);
        EXPECT_EQ(state, km::DevicePower(fdo)) << "as reported to the power manager";
    }

    ULONG Resets() const
    {
        return Pipe(MODEM_PIPE_BULK_IN).Resets + Pipe(MODEM_PIPE_BULK_OUT).Resets + Pipe(MODEM_PIPE_AUX).Resets;
    }

    // A filter above the port, as an upper filter would be, keeping the final
    // status of each system set-power request for the working state (what the
    // power manager hears). The test takes it away before the port goes.
    void AttachAbove()
    {
        PDEVICE_OBJECT port = fdo;
        auto forward = [this, port](PDEVICE_OBJECT, PIRP irp) -> NTSTATUS {
            PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
            if (stack->MajorFunction != IRP_MJ_POWER) {
                IoSkipCurrentIrpStackLocation(irp);
                return IoCallDriver(port, irp);
            }
            PoStartNextPowerIrp(irp);
            IoCopyCurrentIrpStackLocationToNext(irp);
            if (stack->MinorFunction == IRP_MN_SET_POWER && stack->Parameters.Power.Type == SystemPowerState &&
                stack->Parameters.Power.State.SystemState == PowerSystemWorking) {
                IoSetCompletionRoutine(irp, KeepWorkingStateStatus, this, TRUE, TRUE, TRUE);
            }
            return PoCallDriver(port, irp);
        };
        km::Run([&] {
            above = km::CreateFakeDevice(km::CreateFakeDriver(L"Above"), 0, forward);
            ASSERT_EQ(port, IoAttachDeviceToDeviceStack(above, port));
            above->Flags |= port->Flags & (DO_POWER_PAGABLE | DO_BUFFERED_IO);
        });
    }

    static NTSTATUS NTAPI KeepWorkingStateStatus(PDEVICE_OBJECT, PIRP irp, PVOID context)
    {
        static_cast<PowerTest *>(context)->workingState.push_back(irp->IoStatus.Status);
        if (irp->PendingReturned) {
            IoMarkIrpPending(irp);
        }
        return STATUS_SUCCESS;
    }

    Log log;
    PDEVICE_OBJECT above = nullptr;
    std::vector<NTSTATUS> workingState;
    std::vector<DEVICE_POWER_STATE> recordedAtSend;
};

// With the port open, every sleeping state and hibernation: the device is
// asked to D3 before the system request goes down, the reader's transfer
// fails without marking the device failed, and on the return the system
// request goes down first; once the device is back in D0 the three pipes are
// reset in order and the reader starts again. D3 whatever lighter state the
// capabilities offer.
TEST_F(PowerTest, SleepAndResumeRestartTheReaderOnceBackInD0)
{
    const ULONG states[7] = {PowerDeviceUnspecified, PowerDeviceD0, PowerDeviceD1, PowerDeviceD2,
                             PowerDeviceD2,          PowerDeviceD3, PowerDeviceD3};
    ASSERT_EQ(STATUS_SUCCESS, Modem().SetDeviceStates(states));
    ASSERT_EQ(STATUS_SUCCESS, km::SendPnp(pdo, IRP_MN_QUERY_CAPABILITIES));
    ASSERT_EQ(PowerDeviceD1, ext->DeviceCapabilities.DeviceState[PowerSystemSleeping1]);
    ASSERT_EQ(STATUS_SUCCESS, Open());
    km::RunUntilIdle();
    struct Case {
        SYSTEM_POWER_STATE state;
        std::string name;
    };
    for (const Case &c :
         {Case{PowerSystemSleeping1, "S1"}, Case{PowerSystemSleeping3, "S3"}, Case{PowerSystemHibernate, "S4"}}) {
        SCOPED_TRACE(c.name);
        log.clear();
        NTSTATUS slept = c.state == PowerSystemHibernate ? km::SystemHibernate() : km::SystemSleep(c.state);
        ASSERT_EQ(STATUS_SUCCESS, slept);
        EXPECT_EQ((Log{"device query D3", "system query " + c.name, "device set D3", "system set " + c.name}), log);
        EXPECT_EQ(c.state, ext->SystemPowerState);
        ExpectDeviceIn(PowerDeviceD3);
        EXPECT_TRUE(ext->ResumeResetPending);
        EXPECT_EQ(0u, Pipe(MODEM_PIPE_BULK_IN).Pending);
        EXPECT_FALSE(ext->ReaderActive);

        log.clear();
        ASSERT_EQ(STATUS_SUCCESS, km::SystemResume());
        km::RunUntilIdle(); // the restart runs from a work item
        EXPECT_EQ((Log{"system set S0", "device set D0", "reset in", "reset out", "reset aux", "bulk-in"}), log);
        EXPECT_EQ(PowerSystemWorking, ext->SystemPowerState);
        ExpectDeviceIn(PowerDeviceD0);
        EXPECT_FALSE(ext->ResumeResetPending);
        EXPECT_EQ(0, ext->FailureMarker);
        Send(c.name);
        EXPECT_EQ(c.name, Bytes(ReadAndWait(10)));
    }
}

// The loop waits for room in a full ring as the system sleeps. A read before
// the reader's restart on the return (while asleep, or before the restart's
// work item) makes room but leaves the loop to that restart, which resets the
// pipes and then starts it; without room then, the restart only resets them,
// and the next read starts the loop.
TEST_F(PowerTest, ALoopWaitingForRoomStartsAfterTheResetsOfTheReturn)
{
    ASSERT_EQ(STATUS_SUCCESS, Open());
    km::RunUntilIdle();
    std::vector<uint8_t> got;
    auto read = [&] {
        km::Request *request = ReadAndWait(2 * TRANSFER_SIZE);
        got.insert(got.end(), request->output.begin(), request->output.end());
    };
    for (bool readFirst : {true, false}) {
        SCOPED_TRACE(readFirst ? "read before the restart" : "read after it");
        ASSERT_EQ(STATUS_SUCCESS, Modem().Generate(RING_CAPACITY));
        km::RunUntilIdle();
        ASSERT_TRUE(ext->ReaderThrottled);
        ASSERT_EQ(STATUS_SUCCESS, km::SystemSleep());
        if (readFirst) {
            read();
            EXPECT_TRUE(ext->ReaderThrottled) << "restarted while asleep";
        }
        log.clear();
        ASSERT_EQ(STATUS_SUCCESS, km::SystemResume());
        km::RunUntilIdle();
        Log resets = {"system set S0", "device set D0", "reset in", "reset out", "reset aux"};
        if (readFirst) {
            resets.push_back("bulk-in");
        }
        EXPECT_EQ(resets, log);
        EXPECT_EQ(readFirst ? 1u : 0u, Pipe(MODEM_PIPE_BULK_IN).Pending);
        if (!readFirst) {
            read();
            km::RunUntilIdle();
            EXPECT_EQ("bulk-in", log.back());
            EXPECT_EQ(1u, Pipe(MODEM_PIPE_BULK_IN).Pending);
        }
        while (ext->RingCount != 0 || Modem().Status().HostQueued != 0) {
            read();
        }
    }
    ASSERT_EQ(2u * RING_CAPACITY, got.size());
    size_t wrong = 0;
    for (size_t i = 0; i < got.size(); ++i) {
        wrong += got[i] != static_cast<uint8_t>(i);
    }
    EXPECT_EQ(0u, wrong);
}

// Lower drivers that complete power requests later, from another thread: the
// machine goes on in the completion routines and callbacks, with the same
// outcome as with lower drivers that complete at once.
TEST_F(PowerTest, LowerDriversThatCompleteLater)
{
    ASSERT_EQ(STATUS_SUCCESS, Open());
    km::RunUntilIdle();
    holdBelowPort = [](PIRP irp) { return IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_POWER; };
    auto inSteps = [&](const std::function<NTSTATUS()> &transition) {
        NTSTATUS status = STATUS_PENDING;
        km::Context *power = km::Spawn([&] { status = transition(); }, "power");
        km::RunUntilIdle();
        for (int step = 0; step < 10 && !km::Finished(power); ++step) {
            EXPECT_EQ(1u, held.size()) << "one request at a time";
            ReleaseHeld();
            km::RunUntilIdle();
        }
        EXPECT_TRUE(km::Finished(power));
        return status;
    };
    EXPECT_EQ(STATUS_SUCCESS, inSteps([] { return km::SystemSleep(); }));
    ExpectDeviceIn(PowerDeviceD3);
    EXPECT_EQ(PowerSystemSleeping3, ext->SystemPowerState);
    log.clear();
    EXPECT_EQ(STATUS_SUCCESS, inSteps([] { return km::SystemResume(); }));
    EXPECT_EQ((Log{"system set S0", "device set D0", "reset in", "reset out", "reset aux", "bulk-in"}), log);
    ExpectDeviceIn(PowerDeviceD0);
    EXPECT_EQ(PowerSystemWorking, ext->SystemPowerState);
    EXPECT_EQ(0, RemoveLockHolds());

    // A pipe reset of the open that fails later fails the open as one that
    // fails at once.
    ASSERT_EQ(STATUS_SUCCESS, Close());
    holdBelowPort = [](PIRP irp) { return IoGetCurrentIrpStackLocation(irp)->MajorFunction != IRP_MJ_POWER; };
    NTSTATUS opened = STATUS_PENDING;
    km::Spawn([&] { opened = Open(); }, "application");
    km::RunUntilIdle();
    ASSERT_EQ(1u, held.size());
    km::Run([&] {
        held[0]->IoStatus.Status = STATUS_UNSUCCESSFUL;
        IoCompleteRequest(held[0], IO_NO_INCREMENT);
    });
    held.clear();
    holdBelowPort = nullptr;
    km::RunUntilIdle();
    EXPECT_EQ(STATUS_UNSUCCESSFUL, opened);
    EXPECT_EQ(0u, Pipe(MODEM_PIPE_BULK_IN).Pending);
}

// Another driver refuses the sleep: the working state is reaffirmed (the same
// state, so the device request comes first), and the reader, whose transfer
// never ended, runs on without resets.
TEST_F(PowerTest, AVetoedSleepLeavesTheReaderRunning)
{
    ASSERT_EQ(STATUS_SUCCESS, Open());
    km::RunUntilIdle();
    ULONG transfers = Pipe(MODEM_PIPE_BULK_IN).Transfers;
    ULONG resets = Resets();
    km::VetoSystemQueries(root, 1);
    log.clear();
    EXPECT_NE(STATUS_SUCCESS, km::SystemSleep());
    km::RunUntilIdle();
    EXPECT_EQ((Log{"device query D3", "system query S3", "device set D0", "system set S0"}), log);
    EXPECT_FALSE(ext->ResumeResetPending);
    EXPECT_EQ(resets, Resets());
    EXPECT_EQ(1u, Pipe(MODEM_PIPE_BULK_IN).Pending);
    EXPECT_EQ(transfers, Pipe(MODEM_PIPE_BULK_IN).Transfers) << "the same transfer still pending";
    Send("still here");
    EXPECT_EQ("still here", Bytes(ReadAndWait(20)));
}

// An open's first pipe reset is held on the bus while the system sleeps and
// resumes (or a sleep is vetoed and the working state reaffirmed), and the
// power path starts the reader meanwhile: the open, going on, must not start
// a second transfer on the reader's one URB.
TEST_F(PowerTest, AnOpenOverlappingASleepStartsOneReader)
{
    for (bool vetoed : {false, true}) {
        SCOPED_TRACE(vetoed ? "a vetoed sleep" : "a sleep");
        int resets = 0;
        holdBelowPort = [&](PIRP irp) {
            PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
            return stack->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL &&
                   static_cast<PURB>(stack->Parameters.Others.Argument1)->UrbHeader.Function ==
                       URB_FUNCTION_RESET_PIPE &&
                   resets++ == 0;
        };
        NTSTATUS opened = STATUS_PENDING;
        km::Context *opening = km::Spawn([&] { opened = Open(); }, "application");
        km::RunUntilIdle();
        ASSERT_EQ(1u, held.size());
        if (vetoed) {
            km::VetoSystemQueries(root, 1);
            EXPECT_NE(STATUS_SUCCESS, km::SystemSleep());
        } else {
            ASSERT_EQ(STATUS_SUCCESS, km::SystemSleep());
            ASSERT_EQ(STATUS_SUCCESS, km::SystemResume());
        }
        km::RunUntilIdle();
        ASSERT_EQ(1u, Pipe(MODEM_PIPE_BULK_IN).Pending) << "the power path did not start the reader";
        holdBelowPort = nullptr;
        ReleaseHeld();
        km::RunUntilIdle();
        ASSERT_TRUE(km::Finished(opening));
        EXPECT_EQ(STATUS_SUCCESS, opened);
        EXPECT_EQ(1u, Pipe(MODEM_PIPE_BULK_IN).Pending) << "a second transfer on the reader's URB";
        Send("once");
        EXPECT_EQ("once", Bytes(ReadAndWait(10)));
        EXPECT_EQ(STATUS_SUCCESS, Close());
    }
}

// A removal begins (the remove lock marked, as IoReleaseRemoveLockAndWait
// does first) between a sleep query's dispatch hold and the machine's, while
// the test holds Lock, which the dispatch takes in between. The request must
// not enter the machine, which would run on without a hold while the removal
// deletes the device: it ends with STATUS_DELETE_PENDING (after
// PoStartNextPowerIrp), as does the reaffirmed working state, refused at the
// dispatch's hold. So does a request without memory for its context.
TEST_F(PowerTest, RequestsRefusedDuringARemovalOrWithoutMemory)
{
    NTSTATUS slept = STATUS_PENDING;
    bool raced = false;
    int deviceRequests = km::CallCount("PoRequestPowerIrp");
    km::Run([&] {
        LONG holds = ext->RemoveLock.Common.IoCount;
        KIRQL irql;
        KeAcquireSpinLock(&ext->Lock, &irql);
        km::Spawn([&] { slept = km::SystemSleep(); }, "power manager");
        raced = SpinUntil([&] { return ext->RemoveLock.Common.IoCount != holds; });
        ext->RemoveLock.Common.Removed = TRUE;
        KeReleaseSpinLock(&ext->Lock, irql);
    });
    km::RunUntilIdle();
    ASSERT_TRUE(raced) << "the dispatch never took its hold";
    EXPECT_EQ(STATUS_DELETE_PENDING, slept);
    EXPECT_EQ(deviceRequests, km::CallCount("PoRequestPowerIrp")) << "a refused request entered the machine";
    EXPECT_EQ(Log{}, log);
    EXPECT_EQ(0, RemoveLockHolds());
    ext->RemoveLock.Common.Removed = FALSE;

    km::FailCall("ExAllocatePool", 1);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, km::SystemSleep());
    EXPECT_EQ((Log{"device set D0", "system set S0"}), log) << "only the reaffirmed working state";
    EXPECT_EQ(0, RemoveLockHolds());
}

// Device requests: going down the new state is recorded before the request
// goes down, going up only once the lower drivers have done it; a query
// changes nothing; other minor functions go straight down.
TEST_F(PowerTest, DeviceRequestsUpAndDown)
{
    struct Step {
        UCHAR minor;
        DEVICE_POWER_STATE state;
        bool failBelow;
        NTSTATUS status;
        DEVICE_POWER_STATE after;
    };
    const Step steps[] = {
        {IRP_MN_QUERY_POWER, PowerDeviceD3, false, STATUS_SUCCESS, PowerDeviceD0},
        {IRP_MN_SET_POWER, PowerDeviceD3, false, STATUS_SUCCESS, PowerDeviceD3},
        {IRP_MN_QUERY_POWER, PowerDeviceD0, false, STATUS_SUCCESS, PowerDeviceD3},
        {IRP_MN_SET_POWER, PowerDeviceD0, true, STATUS_UNSUCCESSFUL, PowerDeviceD3},
        {IRP_MN_SET_POWER, PowerDeviceD0, false, STATUS_SUCCESS, PowerDeviceD0},
    };
    for (const Step &step : steps) {
        SCOPED_TRACE(log.size());
        if (step.failBelow) {
            ASSERT_EQ(STATUS_SUCCESS, Modem().FailPower(1, STATUS_UNSUCCESSFUL, IRP_MN_SET_POWER));
        }
        DeviceRequest request;
        EXPECT_EQ(STATUS_PENDING, RequestDevicePower(step.minor, step.state, &request));
        EXPECT_EQ(step.status, request.status);
        ExpectDeviceIn(step.after);
    }
    EXPECT_EQ((Log{"device query D3", "device set D3", "device query D0", "device set D0", "device set D0"}), log);
    EXPECT_EQ(
        (std::vector<DEVICE_POWER_STATE>{PowerDeviceD0, PowerDeviceD3, PowerDeviceD3, PowerDeviceD3, PowerDeviceD3}),
        recordedAtSend);
    EXPECT_EQ(PowerSystemWorking, ext->SystemPowerState);

    log.clear();
    DeviceRequest wake;
    RequestDevicePower(IRP_MN_WAIT_WAKE, PowerDeviceD0, &wake);
    EXPECT_TRUE(wake.called);
    EXPECT_EQ((Log{"power minor 0"}), log);
    EXPECT_EQ(0, RemoveLockHolds());
}

// A device request that fails going down, or cannot be had, fails the system
// request, which is never passed down (a failed query vetoes the sleep); a
// system request that the lower drivers fail going up asks for no device
// request and changes no state. (The power manager goes on with a set-power
// transition either way: set-power requests cannot veto.)
TEST_F(PowerTest, FailuresBelowThePort)
{
    km::FailCall("PoRequestPowerIrp", 1, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, km::SystemSleep());
    EXPECT_EQ((Log{"device set D0", "system set S0"}), log) << "only the reaffirmed working state";
    log.clear();

    ASSERT_EQ(STATUS_SUCCESS, Modem().FailPower(1, STATUS_UNSUCCESSFUL, IRP_MN_SET_POWER));
    km::SystemSleep();
    EXPECT_EQ((Log{"device query D3", "system query S3", "device set D3"}), log);
    EXPECT_EQ(PowerSystemWorking, ext->SystemPowerState);
    ASSERT_EQ(STATUS_SUCCESS, km::SystemResume());
    ExpectDeviceIn(PowerDeviceD0);

    ASSERT_EQ(STATUS_SUCCESS, km::SystemSleep());
    ASSERT_EQ(STATUS_SUCCESS, Modem().FailPower(1, STATUS_UNSUCCESSFUL, IRP_MN_SET_POWER));
    log.clear();
    km::SystemResume();
    EXPECT_EQ((Log{"system set S0"}), log);
    EXPECT_EQ(PowerSystemSleeping3, ext->SystemPowerState);
    ExpectDeviceIn(PowerDeviceD3);
    ASSERT_EQ(STATUS_SUCCESS, km::SystemSleep());
    ASSERT_EQ(STATUS_SUCCESS, km::SystemResume());
    ExpectDeviceIn(PowerDeviceD0);
    EXPECT_EQ(0, RemoveLockHolds());
}

// Going up, the device cannot be brought back to D0: no device request can be
// had, or the device request fails. The system request still finishes with
// the lower drivers' status, since the system is working again; the device
// stays in D3 and is treated as failed, so that the read waiting on the open
// port ends rather than wait for a port that will never be powered, and the
// reader is not restarted.
TEST_F(PowerTest, ADeviceNotPoweredAgainIsFailed)
{
    AttachAbove();
    for (bool noRequest : {true, false}) {
        SCOPED_TRACE(noRequest ? "no device request" : "the device request fails");
        ASSERT_EQ(STATUS_SUCCESS, Open());
        km::Request *read = Read(10);
        ASSERT_EQ(STATUS_SUCCESS, km::SystemSleep());
        workingState.clear();
        log.clear();
        if (noRequest) {
            km::FailCall("PoRequestPowerIrp", 1, STATUS_INSUFFICIENT_RESOURCES);
        } else {
            holdBelowPort = [](PIRP irp) {
                PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
                return stack->MajorFunction == IRP_MJ_POWER && stack->Parameters.Power.Type == DevicePowerState;
            };
        }
        km::Context *resume = km::Spawn([] { km::SystemResume(); }, "power manager");
        km::RunUntilIdle();
        holdBelowPort = nullptr;
        for (PIRP irp : held) {
            km::Run([&] {
                PoStartNextPowerIrp(irp);
                irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
                IoCompleteRequest(irp, IO_NO_INCREMENT);
            });
        }
        held.clear();
        km::RunUntilIdle();
        ASSERT_TRUE(km::Finished(resume));
        EXPECT_EQ((std::vector<NTSTATUS>{STATUS_SUCCESS}), workingState);
        EXPECT_EQ(PowerSystemWorking, ext->SystemPowerState);
        ExpectDeviceIn(PowerDeviceD3);
        EXPECT_EQ(FAILURE_MARKER_FAILED, ext->FailureMarker);
        EXPECT_EQ(STATUS_DELETE_PENDING, read->status);
        EXPECT_EQ((noRequest ? Log{"system set S0"} : Log{"system set S0", "device set D0"}), log) << "a restart";
        EXPECT_EQ(STATUS_SUCCESS, Close());
        // As a device object made anew would be. With the port closed the
        // machine runs the same, and nothing else happens.
        ext->FailureMarker = 0;
        log.clear();
        ASSERT_EQ(STATUS_SUCCESS, km::SystemSleep());
        ASSERT_EQ(STATUS_SUCCESS, km::SystemResume());
        EXPECT_EQ((Log{"device query D3", "system query S3", "device set D3", "system set S3", "system set S0",
                       "device set D0"}),
                  log);
        ExpectDeviceIn(PowerDeviceD0);
    }
    km::Run([&] {
        IoDetachDevice(fdo);
        IoDeleteDevice(above);
    });
    EXPECT_EQ(0, RemoveLockHolds());
}

} // namespace
