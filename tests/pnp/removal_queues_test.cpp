// Removal waits for every request still inside the driver before the device
// goes. (The open and close tests show that surprise removal ends the queues.)
#include "tests/pnp/pnp_fixture.h"

namespace pnp_test {
namespace {

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
