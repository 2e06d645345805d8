// The Plug and Play state machine: queries, cancels, stops and removals, the
// usability the I/O paths see, capabilities, and requests outside the table.
#include "tests/pnp/pnp_fixture.h"
#include "driver/core/core.h"
#include "driver/pnp_power/pnp_power.h"

#include <cstring>

namespace pnp_test {
namespace {

const LONG Keep = -1;
const int NoFailure = -1;

// The application's handle on the port.
enum Handle { Closed, Open, CleanedUp };

// One request sent to a device put directly into a state.
struct Row {
    const char *what;
    UCHAR minor;
    LONG from; // Keep: the state the previous row left
    Handle handle;
    int lowerFails;  // the bus fails this minor with STATUS_UNSUCCESSFUL
    NTSTATUS status; // what the PnP manager sees
    LONG to;
    LONG previous; // PreviousPnpState afterwards (Keep: not checked)
    bool unusable;
};

TEST_F(PnpTest, TransitionTable)
{
    const UCHAR QS = IRP_MN_QUERY_STOP_DEVICE, CS = IRP_MN_CANCEL_STOP_DEVICE;
    const UCHAR QR = IRP_MN_QUERY_REMOVE_DEVICE, CR = IRP_MN_CANCEL_REMOVE_DEVICE;
    const NTSTATUS OK = STATUS_SUCCESS, BUSY = STATUS_DEVICE_BUSY, FAIL = STATUS_UNSUCCESSFUL;
    const Row rows[] = {
        {"query-stop while open", QS, Started, Open, NoFailure, BUSY, Started, Keep, false},
        {"query-stop between cleanup and close", QS, Started, CleanedUp, NoFailure, BUSY, Started, Keep, false},
        {"query-stop", QS, Started, Closed, NoFailure, OK, StopPending, Keep, false},
        {"cancel-stop refused below", CS, Keep, Closed, CS, FAIL, StopPending, Keep, false},
        {"cancel-stop", CS, Keep, Closed, NoFailure, OK, Started, Keep, false},
        {"query-stop when not started", QS, NotStarted, Closed, NoFailure, OK, NotStarted, Keep, false},
        {"cancel-stop when not pending", CS, Started, Closed, NoFailure, OK, Started, Keep, false},
        {"query-remove while open", QR, Started, Open, NoFailure, BUSY, Started, Removed, false},
        {"query-remove between cleanup and close", QR, Started, CleanedUp, NoFailure, OK, RemovePending, Started, true},
        {"cancel-remove", CR, Keep, Closed, NoFailure, OK, Started, Keep, false},
        {"query-remove while stop pending", QR, StopPending, Closed, NoFailure, OK, RemovePending, StopPending, true},
        {"cancel-remove refused below", CR, Keep, Closed, CR, FAIL, RemovePending, StopPending, true},
        {"cancel-remove to stop pending", CR, Keep, Closed, NoFailure, OK, StopPending, Keep, false},
        {"cancel-remove when not pending", CR, NotStarted, Closed, NoFailure, OK, NotStarted, Keep, false},
        {"query-remove when not started", QR, NotStarted, Closed, NoFailure, OK, RemovePending, NotStarted, true},
        {"start refused below", IRP_MN_START_DEVICE, NotStarted, Closed, IRP_MN_START_DEVICE, FAIL, NotStarted, Keep,
         false},
    };

    AddPort(u"COM7", true);
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        if (row.from != Keep) {
            ext->PnpState = row.from;
        }
        if (row.minor == QR) {
            // A sentinel that a refused query-remove must leave alone.
            ext->PreviousPnpState = Removed;
        }
        ext->PortOpen = row.handle == Open;
        ext->OpenCount = row.handle == Closed ? 0 : 1;
        failMinor_ = row.lowerFails;
        EXPECT_EQ(row.status, Send(row.minor));
        EXPECT_EQ(row.to, ext->PnpState);
        if (row.previous != Keep) {
            EXPECT_EQ(row.previous, ext->PreviousPnpState);
        }
        BOOLEAN unusable = FALSE;
        km::Run([&] { unusable = port.IsDeviceUnusable(ext); });
        EXPECT_EQ(row.unusable, unusable != FALSE);
    }

    // Failed, or on its way out, whatever the state.
    const struct {
        LONG state;
        LONG marker;
    } unusableStates[] = {{Started, FAILURE_MARKER_FAILED}, {SurpriseRemoved, 0}, {Removed, 0}};
    for (const auto &u : unusableStates) {
        ext->PnpState = u.state;
        ext->FailureMarker = u.marker;
        BOOLEAN unusable = FALSE;
        km::Run([&] { unusable = port.IsDeviceUnusable(ext); });
        EXPECT_TRUE(unusable) << "state " << u.state;
    }
    ext->PnpState = Started;
    ext->FailureMarker = 0;
}

// A stop accepted by query-stop takes the names down from StopPending too.
TEST_F(PnpTest, StopFromStopPendingRemovesTheNames)
{
    AddPort(u"COM7");
    ASSERT_EQ(STATUS_SUCCESS, km::StartDevice(pdo));
    ASSERT_EQ(STATUS_SUCCESS, Send(IRP_MN_QUERY_STOP_DEVICE));
    ASSERT_EQ(STATUS_SUCCESS, Send(IRP_MN_STOP_DEVICE));
    EXPECT_EQ(NotStarted, ext->PnpState);
    EXPECT_EQ(u"", km::LinkTarget(L"\\DosDevices\\COM7"));
    EXPECT_TRUE(DeviceMapValue().empty());
}

// Surprise removal takes the names down from every state in which they
// exist; the removal that follows does not remove them again and deletes
// the device.
TEST_F(PnpTest, SurpriseRemovalTakesTheNamesOnce)
{
    const UCHAR pending[] = {0, IRP_MN_QUERY_STOP_DEVICE, IRP_MN_QUERY_REMOVE_DEVICE};
    for (UCHAR query : pending) {
        SCOPED_TRACE(static_cast<int>(query));
        AddPort(u"COM7");
        ASSERT_EQ(STATUS_SUCCESS, km::StartDevice(pdo));
        if (query != 0) {
            ASSERT_EQ(STATUS_SUCCESS, Send(query));
        }
        int deletes = km::CallCount("RtlDeleteRegistryValue");
        EXPECT_EQ(STATUS_SUCCESS, km::SurpriseRemoveDevice(pdo));
        EXPECT_FALSE(km::DeviceExists(fdo));
        EXPECT_EQ(u"", km::LinkTarget(L"\\DosDevices\\COM7"));
        EXPECT_TRUE(DeviceMapValue().empty());
        EXPECT_EQ(deletes + 1, km::CallCount("RtlDeleteRegistryValue"));
    }
}

// A surprise removal marks the device unusable at once, but takes the names
// away and lets the PnP manager go on only when the transfers in flight have
// ended; the removal that follows deletes the device.
TEST_F(PnpTest, SurpriseRemovalWaitsForTransfersInFlight)
{
    AddPort(u"COM7");
    ASSERT_EQ(STATUS_SUCCESS, km::StartDevice(pdo));
    // What an open leaves behind: the idle event, and here one transfer counted.
    km::Run([&] {
        KeInitializeEvent(&ext->IdleEvent, SynchronizationEvent, FALSE);
        port.IncrementIo(ext);
    });

    km::Request *surprise = km::NewRequest(fdo, IRP_MJ_PNP);
    IoGetCurrentIrpStackLocation(surprise->irp)->MinorFunction = IRP_MN_SURPRISE_REMOVAL;
    surprise->irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    km::Context *pnp = km::Spawn([&] { km::Dispatch(surprise); }, "surprise");
    km::RunUntilIdle();
    EXPECT_FALSE(km::Finished(pnp));
    EXPECT_EQ(SurpriseRemoved, ext->PnpState);
    BOOLEAN unusable = FALSE;
    km::Run([&] { unusable = port.IsDeviceUnusable(ext); });
    EXPECT_TRUE(unusable);
    EXPECT_EQ(deviceName, km::LinkTarget(L"\\DosDevices\\COM7"));

    km::Run([&] { port.DecrementIo(ext); });
    km::RunUntilIdle();
    EXPECT_TRUE(km::Finished(pnp));
    EXPECT_EQ(STATUS_SUCCESS, surprise->status);
    EXPECT_EQ(u"", km::LinkTarget(L"\\DosDevices\\COM7"));
    EXPECT_EQ(1, ext->OutstandingIo);
    EXPECT_EQ(nullptr, ext->DeviceName.Buffer);

    EXPECT_EQ(STATUS_SUCCESS, Send(IRP_MN_REMOVE_DEVICE));
    EXPECT_FALSE(km::DeviceExists(fdo));
}

// Version 0 records are not the driver's to change; from Version 1 on the port
// is removable without warning and has no unique ID, whatever the bus says,
// and keeps the whole record.
TEST_F(PnpTest, Capabilities)
{
    AddPort(u"COM7", true);
    // What the bus reports: a unique ID, not removable, a DeviceState table.
    DEVICE_CAPABILITIES reported;
    std::memset(&reported, 0, sizeof(reported));
    reported.UniqueID = TRUE;
    reported.LockSupported = TRUE;
    for (int i = 0; i < POWER_SYSTEM_MAXIMUM; i++) {
        reported.DeviceState[i] = static_cast<DEVICE_POWER_STATE>(1 + i % 4);
    }
    failMinor_ = IRP_MN_QUERY_CAPABILITIES;
    answer_ = [&reported](PIO_STACK_LOCATION stack) {
        PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities;
        USHORT version = caps->Version;
        *caps = reported;
        caps->Version = version;
        caps->Size = sizeof(*caps);
    };
    DEVICE_CAPABILITIES caps;
    auto setup = [&caps](PIO_STACK_LOCATION stack) { stack->Parameters.DeviceCapabilities.Capabilities = &caps; };
    DEVICE_CAPABILITIES zero;
    std::memset(&zero, 0, sizeof(zero));

    std::memset(&caps, 0, sizeof(caps));
    failMinorStatus_ = STATUS_SUCCESS;
    EXPECT_EQ(STATUS_SUCCESS, km::SendPnp(pdo, IRP_MN_QUERY_CAPABILITIES, setup));
    EXPECT_TRUE(caps.UniqueID);
    EXPECT_FALSE(caps.SurpriseRemovalOK);
    EXPECT_EQ(0, std::memcmp(&zero, &ext->DeviceCapabilities, sizeof(zero)));

    caps.Version = 1;
    failMinorStatus_ = STATUS_UNSUCCESSFUL;
    EXPECT_EQ(STATUS_UNSUCCESSFUL, km::SendPnp(pdo, IRP_MN_QUERY_CAPABILITIES, setup));
    EXPECT_EQ(0, std::memcmp(&zero, &ext->DeviceCapabilities, sizeof(zero)));

    failMinorStatus_ = STATUS_SUCCESS;
    EXPECT_EQ(STATUS_SUCCESS, km::SendPnp(pdo, IRP_MN_QUERY_CAPABILITIES, setup));
    EXPECT_FALSE(caps.UniqueID);
    EXPECT_TRUE(caps.Removable);
    EXPECT_TRUE(caps.SurpriseRemovalOK);
    EXPECT_TRUE(caps.LockSupported);
    EXPECT_EQ(0, std::memcmp(&caps, &ext->DeviceCapabilities, sizeof(caps)));
    EXPECT_EQ(reported.DeviceState[PowerSystemSleeping3], ext->DeviceCapabilities.DeviceState[PowerSystemSleeping3]);
}

// Minor codes past the table go down untouched; the remove lock they took is
// given back (the removal would wait for it forever otherwise).
TEST_F(PnpTest, UnknownMinorCodesArePassedDown)
{
    AddPort(u"COM7");
    EXPECT_EQ(STATUS_NOT_SUPPORTED, Send(IRP_MN_QUERY_LEGACY_BUS_INFORMATION));
    EXPECT_EQ(STATUS_NOT_SUPPORTED, Send(0x40));
    EXPECT_EQ(STATUS_NOT_SUPPORTED, Send(IRP_MN_QUERY_RESOURCES));
}

// The device-state query goes down in a location of its own, a copy of the
// port's, with no completion routine of the port's, under the remove lock
// the dispatcher gives back once the lower driver has answered.
TEST_F(PnpTest, DeviceStateQueryGoesDownInACopy)
{
    AddPort(u"COM7");
    int marker = 0;
    PIO_STACK_LOCATION ours = nullptr;
    int lowerCalls = 0;
    LONG holdsBelow = -1;
    km::SetHandler(pdo, [&](PDEVICE_OBJECT, PIRP irp) {
        lowerCalls++;
        holdsBelow = RemoveLockHolds();
        PIO_STACK_LOCATION theirs = IoGetCurrentIrpStackLocation(irp);
        EXPECT_NE(ours, theirs);
        EXPECT_EQ(IRP_MJ_PNP, theirs->MajorFunction);
        EXPECT_EQ(IRP_MN_QUERY_PNP_DEVICE_STATE, theirs->MinorFunction);
        EXPECT_EQ(&marker, theirs->Parameters.Others.Argument1);
        EXPECT_EQ(fdo, theirs->Parameters.Others.Argument4);
        EXPECT_EQ(nullptr, theirs->CompletionRoutine);
        EXPECT_EQ(0, theirs->Control & (SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_ERROR | SL_INVOKE_ON_CANCEL));
        irp->IoStatus.Status = STATUS_SUCCESS;
        irp->IoStatus.Information = PNP_DEVICE_DONT_DISPLAY_IN_UI;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    });
    ULONG_PTR information = 0;
    auto setup = [&](PIO_STACK_LOCATION stack) {
        ours = stack;
        stack->Parameters.Others.Argument1 = &marker;
        stack->Parameters.Others.Argument4 = fdo;
    };
    EXPECT_EQ(STATUS_SUCCESS, km::SendPnp(pdo, IRP_MN_QUERY_PNP_DEVICE_STATE, setup, &information));
    EXPECT_EQ(1, lowerCalls);
    EXPECT_EQ(static_cast<ULONG_PTR>(PNP_DEVICE_DONT_DISPLAY_IN_UI), information);
    EXPECT_EQ(1, holdsBelow);
    EXPECT_EQ(0, RemoveLockHolds());
    ControlBus(); // a plain bus again for the removal
}

} // namespace
} // namespace pnp_test
