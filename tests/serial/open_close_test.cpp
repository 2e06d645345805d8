// Open, close, cleanup and flush of the port on the simulated modem, as an
// application and the PnP manager see them.
#include "tests/support/modem_port_fixture.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

class OpenCloseTest : public ModemPortCompletionTest {
protected:
    // A create that reaches the driver without the I/O manager's exclusive
    // check, as a second opener racing the first one would.
    NTSTATUS CreateDirectly()
    {
        km::Request *create = km::NewRequest(fdo, IRP_MJ_CREATE);
        km::Run([&] { km::Dispatch(create); });
        EXPECT_TRUE(create->completed);
        return create->status;
    }

    NTSTATUS OpenByDeviceName(km::Handle **handle)
    {
        std::u16string name = km::Wide(ext->DeviceName);
        return km::Open(W(name), handle);
    }
};

TEST_P(OpenCloseTest, OneOpenerOnAStartedUsableDevice)
{
    // Stopped: the names are gone, and the device itself refuses.
    ASSERT_EQ(STATUS_SUCCESS, km::StopDevice(pdo));
    km::Handle *early = nullptr;
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, OpenByDeviceName(&early));
    ASSERT_EQ(STATUS_SUCCESS, km::StartDevice(pdo));

    ASSERT_EQ(STATUS_SUCCESS, Open());
    EXPECT_EQ(1, ext->OpenCount);
    EXPECT_TRUE(ext->PortOpen);
    EXPECT_EQ(1u, Pipe(MODEM_PIPE_BULK_IN).Pending) << "the reader keeps a transfer pending";
    km::Handle *second = nullptr;
    EXPECT_EQ(STATUS_ACCESS_DENIED, OpenAnother(&second)) << "refused by the I/O manager";
    EXPECT_EQ(STATUS_ACCESS_DENIED, CreateDirectly()) << "refused by the port itself";
    EXPECT_EQ(1, ext->OpenCount);
    EXPECT_EQ(0, RemoveLockHolds());

    // A flush is answered at once.
    km::Request *flush = Flush();
    EXPECT_EQ(STATUS_SUCCESS, flush->status);
    EXPECT_EQ(0u, flush->information);

    EXPECT_EQ(STATUS_SUCCESS, Close());
    EXPECT_EQ(0, ext->OpenCount);
    km::Request *stray = km::NewRequest(fdo, IRP_MJ_CLOSE);
    km::Run([&] { km::Dispatch(stray); });
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, stray->status) << "a close of no handle";
    EXPECT_EQ(0u, Pipe(MODEM_PIPE_BULK_IN).Pending);
    EXPECT_EQ(1, ext->OutstandingIo);
    ASSERT_EQ(STATUS_SUCCESS, Open()) << "free again";
}

// A second opener reaches the port while the first closes its handle. The
// port is taken in one step, so that the refused opener never shows: the
// close must never take it for a second handle and refuse, which would leave
// the port taken for good. Either the opener is refused before the close, or
// it finds the port free after it.
TEST_P(OpenCloseTest, ARefusedOpenerNeverDisturbsAClose)
{
    TakeAllDown();
    auto seen = ForEachSeed(
        200,
        [&](uint64_t seed) -> std::string {
            NTSTATUS closed = STATUS_PENDING;
            NTSTATUS created = STATUS_PENDING;
            km::Spawn([&] { closed = Close(); }, "application");
            km::Spawn(
                [&, seed] {
                    PassSwitchPoints(seed * 5 % 200);
                    km::Request *create = km::NewRequest(fdo, IRP_MJ_CREATE);
                    km::Dispatch(create);
                    created = create->status;
                },
                "second opener");
            km::RunUntilIdle();

            EXPECT_EQ(STATUS_SUCCESS, closed);
            if (created == STATUS_SUCCESS) {
                // It has the port now: its own close gives it back.
                km::Request *close = km::NewRequest(fdo, IRP_MJ_CLOSE);
                km::Run([&] { km::Dispatch(close); });
                EXPECT_EQ(STATUS_SUCCESS, close->status);
            } else {
                EXPECT_EQ(STATUS_ACCESS_DENIED, created);
            }
            EXPECT_EQ(0, ext->OpenCount);
            EXPECT_EQ(STATUS_SUCCESS, Open()) << "the port stayed taken";
            return created == STATUS_SUCCESS ? "admitted after the close" : "refused before the close";
        },
        2);
    EXPECT_EQ(2u, seen.size()) << Describe(seen);
}

// An open and a query-remove or query-stop at the same time, as OpenMutex
// orders them: the open is refused once the query was accepted, and the query
// refused once the port is open; never an open port on a device whose removal
// or stop is pending.
TEST_P(OpenCloseTest, AnOpenAndAQueryAreOneAfterTheOther)
{
    TakeAllDown();
    for (UCHAR query : {IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_QUERY_STOP_DEVICE}) {
        auto seen = ForEachSeed(40, [&](uint64_t seed) -> std::string {
            EXPECT_EQ(STATUS_SUCCESS, Close());
            NTSTATUS opened = STATUS_PENDING;
            NTSTATUS queried = STATUS_PENDING;
            km::Spawn(
                [&, seed] {
                    PassSwitchPoints(seed % 2 == 0 ? 0 : 40);
                    opened = Open();
                },
                "application");
            km::Spawn(
                [&, seed] {
                    PassSwitchPoints(seed % 40);
                    queried = km::SendPnp(pdo, query);
                },
                "PnP manager");
            km::RunUntilIdle();
            EXPECT_NE(NT_SUCCESS(opened), NT_SUCCESS(queried));
            if (NT_SUCCESS(queried)) {
                km::SendPnp(pdo, query == IRP_MN_QUERY_STOP_DEVICE ? IRP_MN_CANCEL_STOP_DEVICE
                                                                   : IRP_MN_CANCEL_REMOVE_DEVICE);
            }
            return NT_SUCCESS(opened) ? "opened first" : "queried first";
        });
        EXPECT_EQ(2u, seen.size()) << Describe(seen);
    }
}

// The second pipe's reset cannot even be sent: the open fails there, the
// third pipe is left alone, no reader runs, and no open port is left behind.
TEST_P(OpenCloseTest, PipeResetFailureFailsTheOpenAndLeavesNoOpenPort)
{
    km::FailCall("IoAllocateIrp", 2);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, Open());
    EXPECT_EQ(1u, Pipe(MODEM_PIPE_BULK_IN).Resets);
    EXPECT_EQ(0u, Pipe(MODEM_PIPE_BULK_OUT).Resets);
    EXPECT_EQ(0u, Pipe(MODEM_PIPE_AUX).Resets);
    EXPECT_EQ(0u, Pipe(MODEM_PIPE_BULK_IN).Pending);
    EXPECT_FALSE(ext->PortOpen);
    EXPECT_EQ(0, ext->OpenCount);
    EXPECT_EQ(0, RemoveLockHolds());
    EXPECT_EQ(STATUS_SUCCESS, km::SendPnp(pdo, IRP_MN_QUERY_STOP_DEVICE)) << "no open port to refuse for";
    EXPECT_EQ(STATUS_SUCCESS, km::SendPnp(pdo, IRP_MN_CANCEL_STOP_DEVICE));

    ASSERT_EQ(STATUS_SUCCESS, Open());
    EXPECT_EQ(2u, Pipe(MODEM_PIPE_BULK_IN).Resets);
    EXPECT_EQ(1u, Pipe(MODEM_PIPE_BULK_OUT).Resets);
    EXPECT_EQ(1u, Pipe(MODEM_PIPE_AUX).Resets);
}

// Every open starts from the defaults; the timeouts and the settings the
// defaults do not name are kept from the previous open.
TEST_P(OpenCloseTest, DefaultsAtEveryOpenKeepTheTimeoutsAndOtherSettings)
{
    ASSERT_EQ(STATUS_SUCCESS, Open());
    UnderLock([&] {
        ext->BaudRate = 19200;
        ext->LineControl = {0, 2, 7};
        ext->WaitMask = SERIAL_EV_RXCHAR;
        ext->HandFlow = {0, 0, 111, 222};
        ext->Chars = {'e', 'r', 'b', 'v', 0x11, 0x13};
        ext->Timeouts = {50, 2, 300, 4, 500};
        ext->ModemStatus = 0x30;
        ext->PerfStats.ReceivedCount = 77;
        ext->CommErrors = SERIAL_ERROR_QUEUEOVERRUN;
        ext->EventHistory = SERIAL_EV_RXCHAR;
    });
    Send("unread");
    ASSERT_EQ(STATUS_SUCCESS, Close());
    // The ring is emptied before the open's first transfer, which brings these.
    ASSERT_EQ(STATUS_SUCCESS, Modem().Queue("early"));
    ASSERT_EQ(STATUS_SUCCESS, Open());
    km::RunUntilIdle();
    EXPECT_EQ(5, ext->RingCount) << "bytes the last open left unread, or the early ones lost";

    EXPECT_EQ(115200u, ext->BaudRate);
    EXPECT_EQ(STOP_BITS_2, ext->LineControl.StopBits);
    EXPECT_EQ(NO_PARITY, ext->LineControl.Parity);
    EXPECT_EQ(8, ext->LineControl.WordLength);
    EXPECT_EQ(0u, ext->WaitMask);
    EXPECT_EQ(static_cast<ULONG>(SERIAL_DTR_CONTROL), ext->HandFlow.ControlHandShake);
    EXPECT_EQ(static_cast<ULONG>(SERIAL_RTS_CONTROL), ext->HandFlow.FlowReplace);
    EXPECT_EQ(0, ext->Chars.XonChar);
    EXPECT_EQ(0, ext->Chars.XoffChar);
    EXPECT_EQ(0, ext->ModemStatus);
    EXPECT_EQ(0u, ext->CommErrors);
    EXPECT_EQ(0u, ext->EventHistory);

    EXPECT_EQ(111, ext->HandFlow.XonLimit);
    EXPECT_EQ(222, ext->HandFlow.XoffLimit);
    EXPECT_EQ('e', ext->Chars.EofChar);
    EXPECT_EQ('v', ext->Chars.EventChar);
    SERIAL_TIMEOUTS kept = {50, 2, 300, 4, 500};
    EXPECT_EQ(0, std::memcmp(&kept, &ext->Timeouts, sizeof(kept)));
    EXPECT_EQ(77u, ext->PerfStats.ReceivedCount);
}

// Cleanup ends the waiting read; a read arriving after it is refused, since
// it would wait for ever and keep the port from being opened again. Data that
// arrives before the close is dropped, and the loop ends.
TEST_P(OpenCloseTest, CleanupCancelsTheWaitingReadAndRefusesLaterOnes)
{
    ASSERT_EQ(STATUS_SUCCESS, Open());
    km::Request *waiting = Read(100);
    ASSERT_FALSE(waiting->completed);
    ASSERT_EQ(STATUS_SUCCESS, Cleanup());
    EXPECT_EQ(STATUS_CANCELLED, waiting->status);
    EXPECT_EQ(0u, waiting->information);
    EXPECT_FALSE(ext->PortOpen);

    km::Request *late = Read(100);
    EXPECT_TRUE(late->completed);
    EXPECT_EQ(STATUS_CANCELLED, late->status);
    Send("late");
    EXPECT_EQ(0, ext->RingCount);
    EXPECT_EQ(0u, Pipe(MODEM_PIPE_BULK_IN).Pending) << "not restarted";
    EXPECT_EQ(1u, Pipe(MODEM_PIPE_BULK_IN).Transfers);
    EXPECT_EQ(STATUS_SUCCESS, Close());
    EXPECT_EQ(1u, Pipe(MODEM_PIPE_BULK_IN).Aborts) << "the close still aborts the pipe";
    EXPECT_EQ(0, RemoveLockHolds());
    EXPECT_EQ(STATUS_SUCCESS, Open());
}

// A close that no cleanup preceded (Wine 8 sends none) ends the port's use as
// cleanup would before it aborts the pipes: the waiting read is cancelled and
// the aborted transfer is not restarted behind the abort.
TEST_P(OpenCloseTest, CloseWithoutCleanupEndsThePortsUseItself)
{
    ASSERT_EQ(STATUS_SUCCESS, Open());
    km::RunUntilIdle();
    km::Request *read = Read(10);
    km::Request *close = km::NewRequest(fdo, IRP_MJ_CLOSE);
    km::Run([&] { km::Dispatch(close); }, "application");
    EXPECT_EQ(STATUS_SUCCESS, close->status);
    EXPECT_EQ(STATUS_CANCELLED, read->status);
    EXPECT_FALSE(ext->PortOpen);
    EXPECT_EQ(0u, Pipe(MODEM_PIPE_BULK_IN).Pending);
    EXPECT_EQ(1, ext->OutstandingIo);
}

// A query-remove accepted between cleanup and close leaves the device
// unusable but present, with the transfer still pending: the close stops the
// pipes as any close does, and the removal that follows does not wait for ever.
TEST_P(OpenCloseTest, CloseOfAnUnusableButPresentDeviceStopsThePipes)
{
    ASSERT_EQ(STATUS_SUCCESS, Open());
    ASSERT_EQ(STATUS_SUCCESS, Cleanup());
    ASSERT_EQ(STATUS_SUCCESS, km::SendPnp(pdo, IRP_MN_QUERY_REMOVE_DEVICE));
    ASSERT_EQ(1u, Pipe(MODEM_PIPE_BULK_IN).Pending);
    EXPECT_EQ(STATUS_SUCCESS, Close());
    EXPECT_EQ(0u, Pipe(MODEM_PIPE_BULK_IN).Pending);
    EXPECT_EQ(1, ext->OutstandingIo);
    EXPECT_EQ(STATUS_SUCCESS, km::SendPnp(pdo, IRP_MN_REMOVE_DEVICE));
    EXPECT_FALSE(km::DeviceExists(fdo));
    EXPECT_FALSE(km::HasViolation("DEADLOCK"));
}

// A surprise removal while the port is open, with a bus that ends its
// transfers only when it receives a request: the handler ends what is queued
// (a waiting read, a queued write, a pending wait) and aborts the pipes before
// it waits, which ends the write on the bus too. The close after it is a
// plain success and sends nothing.
TEST_P(OpenCloseTest, SurpriseRemovalWhileOpenAbortsThePendingTransfer)
{
    ASSERT_EQ(STATUS_SUCCESS, Open());
    const ULONG mask = SERIAL_EV_RXCHAR;
    ASSERT_EQ(STATUS_SUCCESS, Control(IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof(mask))->status);
    ASSERT_EQ(STATUS_SUCCESS, Modem().Nak(MODEM_PIPE_BULK_OUT));
    km::Request *requests[] = {Read(10), Write("sending"), Write("queued"),
                               Control(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, sizeof(ULONG))};
    EXPECT_EQ(STATUS_SUCCESS, km::SurpriseRemoveDevice(pdo));
    for (km::Request *request : requests) {
        EXPECT_EQ(STATUS_CANCELLED, request->status);
        EXPECT_EQ(0u, request->information);
    }
    EXPECT_EQ(0, RemoveLockHolds());
    EXPECT_EQ(SurpriseRemoved, ext->PnpState);
    EXPECT_EQ(0u, Pipe(MODEM_PIPE_BULK_IN).Pending);
    EXPECT_EQ(1u, Pipe(MODEM_PIPE_BULK_IN).Aborts);
    EXPECT_EQ(u"", km::LinkTarget(PortLink));
    km::Request *refused = Read(10);
    EXPECT_EQ(STATUS_DELETE_PENDING, refused->status);

    MODEM_STATUS before = Modem().Status();
    EXPECT_EQ(STATUS_SUCCESS, Close());
    MODEM_STATUS after = Modem().Status();
    EXPECT_EQ(0, std::memcmp(&before.Pipes, &after.Pipes, sizeof(before.Pipes))) << "the close sent something";
    EXPECT_FALSE(km::DeviceExists(fdo)) << "the removal follows the last close";
}

// Without a handle the removal sends nothing: the pipe handles may be stale.
TEST_P(OpenCloseTest, RemovalWithoutAHandleSendsNoUrb)
{
    ASSERT_EQ(STATUS_SUCCESS, Open());
    km::Request *write = Write("gone"); // no context of it left behind
    km::RunUntilIdle();
    ASSERT_EQ(STATUS_SUCCESS, write->status);
    ASSERT_EQ(STATUS_SUCCESS, Close());
    MODEM_STATUS before = Modem().Status();
    ASSERT_EQ(STATUS_SUCCESS, km::RemoveDevice(pdo));
    EXPECT_FALSE(km::DeviceExists(fdo));
    MODEM_STATUS after = Modem().Status();
    EXPECT_EQ(before.Pipes[MODEM_PIPE_BULK_IN].Aborts, after.Pipes[MODEM_PIPE_BULK_IN].Aborts);
    EXPECT_EQ(before.Pipes[MODEM_PIPE_BULK_OUT].Aborts, after.Pipes[MODEM_PIPE_BULK_OUT].Aborts);
}

INSTANTIATE_COMPLETION_MODES(OpenCloseTest);

} // namespace
