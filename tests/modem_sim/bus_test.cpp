// The bus as the PnP and power managers see it: enumeration, the child's IDs
// and capabilities, start with its pipe handles, removal, unplug and replug,
// power requests; and its control device as Win32 programs use it.
#include "tests/modem_sim/sim_fixture.h"

#include <gtest/gtest.h>

namespace sim_test {
namespace {

class BusTest : public SimTest {
protected:
    // A string answer of the child (IDs, texts) up to its double null when
    // multiSz, freed as the PnP manager would.
    std::u16string QueryString(UCHAR minor, ULONG type, bool multiSz)
    {
        ULONG_PTR information = 0;
        NTSTATUS status = km::SendPnp(
            child_, minor,
            [&](PIO_STACK_LOCATION stack) {
                if (minor == IRP_MN_QUERY_ID) {
                    stack->Parameters.QueryId.IdType = (BUS_QUERY_ID_TYPE)type;
                } else {
                    stack->Parameters.QueryDeviceText.DeviceTextType = (DEVICE_TEXT_TYPE)type;
                }
            },
            &information);
        if (status == STATUS_NOT_SUPPORTED) {
            return u"<not supported>";
        }
        EXPECT_EQ(STATUS_SUCCESS, status);
        auto text = reinterpret_cast<const char16_t *>(information);
        size_t length = 0;
        while (text[length] != 0 || (multiSz && text[length + 1] != 0)) {
            length++;
        }
        std::u16string result(text, multiSz ? length + 2 : length);
        km::Run([&] { ExFreePool(reinterpret_cast<PVOID>(information)); });
        return result;
    }

    DEVICE_CAPABILITIES QueryCapabilities()
    {
        DEVICE_CAPABILITIES caps = {};
        caps.Size = sizeof(caps);
        caps.Version = 1;
        EXPECT_EQ(STATUS_SUCCESS, km::SendPnp(child_, IRP_MN_QUERY_CAPABILITIES, [&](PIO_STACK_LOCATION stack) {
                      stack->Parameters.DeviceCapabilities.Capabilities = &caps;
                  }));
        return caps;
    }
};

TEST_F(BusTest, ReportsOneChildWithItsIdsTextsAndCapabilities)
{
    std::vector<PDEVICE_OBJECT> children = Children();
    ASSERT_EQ(1u, children.size());
    child_ = children[0];
    km::EnumerateBus(root_);
    EXPECT_EQ(children, Children()) << "the same child while it stays plugged in";

    EXPECT_EQ(u"ZQMODEM\\DIAG", QueryString(IRP_MN_QUERY_ID, BusQueryDeviceID, false));
    EXPECT_EQ(std::u16string(u"ZQMODEM\\DIAG\0\0", 14), QueryString(IRP_MN_QUERY_ID, BusQueryHardwareIDs, true));
    EXPECT_EQ(u"0000", QueryString(IRP_MN_QUERY_ID, BusQueryInstanceID, false));
    EXPECT_FALSE(QueryString(IRP_MN_QUERY_ID, BusQueryCompatibleIDs, true).empty());
    EXPECT_FALSE(QueryString(IRP_MN_QUERY_DEVICE_TEXT, DeviceTextDescription, false).empty());
    // Minors the child does not answer keep the status they came with.
    EXPECT_EQ(u"<not supported>", QueryString(IRP_MN_QUERY_ID, BusQueryDeviceSerialNumber, false));
    EXPECT_EQ(STATUS_NOT_SUPPORTED, km::SendPnp(child_, IRP_MN_QUERY_BUS_INFORMATION));

    ULONG_PTR information = 0;
    ASSERT_EQ(STATUS_SUCCESS,
              km::SendPnp(
                  child_, IRP_MN_QUERY_DEVICE_RELATIONS,
                  [](PIO_STACK_LOCATION stack) { stack->Parameters.QueryDeviceRelations.Type = TargetDeviceRelation; },
                  &information));
    auto target = reinterpret_cast<PDEVICE_RELATIONS>(information);
    ASSERT_EQ(1u, target->Count);
    EXPECT_EQ(child_, target->Objects[0]);
    km::Run([&] {
        ObDereferenceObject(target->Objects[0]);
        ExFreePool(target);
    });

    DEVICE_CAPABILITIES caps = QueryCapabilities();
    EXPECT_EQ(PowerDeviceD0, caps.DeviceState[PowerSystemWorking]);
    EXPECT_EQ(PowerDeviceD3, caps.DeviceState[PowerSystemSleeping3]);
    EXPECT_EQ(PowerDeviceD3, caps.DeviceState[PowerSystemHibernate]);

    const ULONG table[7] = {PowerDeviceUnspecified, PowerDeviceD0, PowerDeviceD1, PowerDeviceD2,
                            PowerDeviceD2,          PowerDeviceD3, PowerDeviceD3};
    ASSERT_EQ(STATUS_SUCCESS, modem_->SetDeviceStates(table));
    caps = QueryCapabilities();
    for (int s = 0; s < 7; s++) {
        EXPECT_EQ(table[s], (ULONG)caps.DeviceState[s]) << "system state " << s;
    }
}

TEST_F(BusTest, StartFillsDistinctPipeHandlesAndRefusesTransfersBefore)
{
    std::vector<PDEVICE_OBJECT> children = Children();
    ASSERT_EQ(1u, children.size());
    child_ = children[0];
    for (ULONG pipe = 0; pipe < MODEM_PIPE_COUNT; pipe++) {
        EXPECT_EQ(nullptr, Handle(child_, pipe));
    }
    ASSERT_EQ(STATUS_SUCCESS, km::StartDevice(child_));
    USBD_PIPE_HANDLE in = Handle(child_, MODEM_PIPE_BULK_IN);
    USBD_PIPE_HANDLE out = Handle(child_, MODEM_PIPE_BULK_OUT);
    USBD_PIPE_HANDLE aux = Handle(child_, MODEM_PIPE_AUX);
    EXPECT_NE(nullptr, in);
    EXPECT_NE(nullptr, out);
    EXPECT_NE(nullptr, aux);
    EXPECT_NE(in, out);
    EXPECT_NE(out, aux);
    EXPECT_NE(in, aux);

    // A stopped child refuses transfers as a device that is not there.
    ASSERT_EQ(STATUS_SUCCESS, km::StopDevice(child_));
    Transfer *t = Submit(MODEM_PIPE_BULK_IN, 64);
    EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED, t->Status());
    EXPECT_EQ(USBD_STATUS_DEV_NOT_RESPONDING, t->Usbd());
    ASSERT_EQ(STATUS_SUCCESS, km::StartDevice(child_));
    EXPECT_EQ(in, Handle(child_, MODEM_PIPE_BULK_IN));
}

// Removal of a child the bus still reports leaves it for a later start; the
// PnP manager can start it again and it works.
TEST_F(BusTest, RemovedButPresentChildSurvivesAndRestarts)
{
    ASSERT_NE(nullptr, StartChild());
    Transfer *pending = Submit(MODEM_PIPE_BULK_IN, 16);
    ASSERT_FALSE(pending->Done());
    ASSERT_EQ(STATUS_SUCCESS, km::RemoveDevice(child_));
    EXPECT_TRUE(km::DeviceExists(child_));
    EXPECT_TRUE(pending->Done()) << "removal leaves no transfer behind";
    EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED, pending->Status());

    km::EnumerateBus(root_);
    ASSERT_EQ(std::vector<PDEVICE_OBJECT>{child_}, Children());
    ASSERT_EQ(STATUS_SUCCESS, km::StartDevice(child_));
    ASSERT_EQ(STATUS_SUCCESS, modem_->Queue("ok"));
    Transfer *t = Submit(MODEM_PIPE_BULK_IN, 16);
    EXPECT_EQ(STATUS_SUCCESS, t->Status());
    EXPECT_EQ("ok", t->Bytes());
}

TEST_F(BusTest, UnplugFailsTransfersAndThePnpManagerRemovesTheChild)
{
    ASSERT_NE(nullptr, StartChild());
    PDEVICE_OBJECT old = child_;
    Transfer *in = Submit(MODEM_PIPE_BULK_IN, 4096);
    Transfer *aux = Submit(MODEM_PIPE_AUX, 8);
    ASSERT_FALSE(in->Done());

    ASSERT_EQ(STATUS_SUCCESS, modem_->Unplug());
    km::RunUntilIdle();
    for (Transfer *t : {in, aux}) {
        EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED, t->Status());
        EXPECT_EQ(USBD_STATUS_DEV_NOT_RESPONDING, t->Usbd());
        EXPECT_EQ(0u, t->Length());
    }
    // Told the relations changed, the PnP manager surprise-removed and
    // removed the child, which the bus deleted.
    EXPECT_TRUE(Children().empty());
    EXPECT_FALSE(km::DeviceExists(old));
    EXPECT_EQ(0u, modem_->Status().ChildExists);
    child_ = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, modem_->Replug());
    km::RunUntilIdle();
    EXPECT_EQ(1u, Children().size()) << "a new child (it works: see the quick replug below)";
}

// Until the PnP manager acts on an unplug, the old child refuses everything,
// even if the modem is plugged in again meanwhile; the next answer names a
// new child.
TEST_F(BusTest, UnpluggedChildStaysDeadAcrossAQuickReplug)
{
    ASSERT_NE(nullptr, StartChild());
    PDEVICE_OBJECT old = child_;
    // Hold the old child as a driver attached to it would, so that a request
    // can still be sent to it while the PnP manager takes it away (the
    // enumerations that the unplug and replug queue may run at any switch
    // point from here on).
    km::Run([&] { ObReferenceObject(old); });
    ModemClient direct = modem_->Direct();
    km::Run([&] {
        direct.Unplug();
        direct.Replug();
    });
    Transfer *t = Submit(MODEM_PIPE_BULK_IN, 4);
    EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED, t->Status());
    km::RunUntilIdle();
    km::Run([&] { ObDereferenceObject(old); });
    EXPECT_FALSE(km::DeviceExists(old));
    std::vector<PDEVICE_OBJECT> children = Children();
    ASSERT_EQ(1u, children.size());
    EXPECT_NE(old, children[0]);
    child_ = children[0];
    ASSERT_EQ(STATUS_SUCCESS, km::StartDevice(child_));
    ASSERT_EQ(STATUS_SUCCESS, modem_->Queue("x"));
    EXPECT_EQ("x", Submit(MODEM_PIPE_BULK_IN, 4)->Bytes());
}

// A removal that reaches an unplugged child before the bus has reported it
// missing leaves the device object in place: the PnP manager still knows the
// child, and sends its last removal once the next answer leaves it out.
TEST_F(BusTest, UnpluggedChildRemovedBeforeItIsReportedMissingGoesAfterwards)
{
    int removedFirst = 0;
    TearDownBus();
    // Until the removal has come first once, whatever the first seed.
    RunSeeds(
        200,
        [&](uint64_t) {
            ASSERT_NO_FATAL_FAILURE(BringUpBus());
            PDEVICE_OBJECT old = StartChild();
            ModemClient direct = modem_->Direct();
            km::Run([&] {
                direct.Unplug(); // its enumeration and the removal below race
                if (km::DisableDevice(old) == STATUS_SUCCESS) {
                    removedFirst++;
                    EXPECT_TRUE(km::DeviceExists(old)) << "still reported by the bus";
                }
            });
            km::RunUntilIdle();
            EXPECT_FALSE(km::DeviceExists(old));
            EXPECT_TRUE(Children().empty());
            TearDownBus();
        },
        [&] { return removedFirst > 0; });
    EXPECT_GT(removedFirst, 0);
}

TEST_F(BusTest, PowerRequestsSucceedFailOnDemandAndLowPowerEndsTransfers)
{
    ASSERT_NE(nullptr, StartChild());
    POWER_STATE d3;
    d3.DeviceState = PowerDeviceD3;
    POWER_STATE d0;
    d0.DeviceState = PowerDeviceD0;
    POWER_STATE s3;
    s3.SystemState = PowerSystemSleeping3;

    EXPECT_EQ(STATUS_SUCCESS, SendPower(IRP_MN_QUERY_POWER, SystemPowerState, s3));
    EXPECT_EQ(STATUS_SUCCESS, SendPower(IRP_MN_SET_POWER, SystemPowerState, s3));

    Transfer *pending = Submit(MODEM_PIPE_BULK_IN, 64);
    ASSERT_FALSE(pending->Done());
    EXPECT_EQ(STATUS_SUCCESS, SendPower(IRP_MN_SET_POWER, DevicePowerState, d3));
    EXPECT_EQ((ULONG)PowerDeviceD3, modem_->Status().DevicePowerState);
    EXPECT_EQ(STATUS_CANCELLED, pending->Status()) << "a device leaving D0 ends its transfers";

    ASSERT_EQ(STATUS_SUCCESS, modem_->FailPower(1, STATUS_UNSUCCESSFUL, IRP_MN_SET_POWER));
    EXPECT_EQ(STATUS_SUCCESS, SendPower(IRP_MN_QUERY_POWER, DevicePowerState, d0)) << "other minors unaffected";
    EXPECT_EQ(STATUS_UNSUCCESSFUL, SendPower(IRP_MN_SET_POWER, DevicePowerState, d0));
    EXPECT_EQ((ULONG)PowerDeviceD3, modem_->Status().DevicePowerState);
    EXPECT_EQ(STATUS_SUCCESS, SendPower(IRP_MN_SET_POWER, DevicePowerState, d0)) << "only the next one fails";
    EXPECT_EQ((ULONG)PowerDeviceD0, modem_->Status().DevicePowerState);
}

TEST_F(BusTest, ControlDeviceCarriesModemControlAndGoesWithTheBus)
{
    ASSERT_NE(nullptr, StartChild());
    km::Handle *control = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, km::Open(MODEM_CONTROL_LINK_NAME, &control));

    const char queued[] = "\0\0\0\0abc"; // MODEM_SELECT for modem 0, then the bytes
    km::Request *queue = km::IoctlAsync(control, MODEM_CONTROL_IOCTL(MODEM_CONTROL_QUEUE_BYTES), queued, 7, 0);
    EXPECT_EQ(STATUS_SUCCESS, queue->status);
    EXPECT_EQ(0u, queue->information) << "the count of bytes taken is no output";
    EXPECT_EQ("abc", Submit(MODEM_PIPE_BULK_IN, 16)->Bytes());

    Submit(MODEM_PIPE_BULK_OUT, 2, "hi");
    MODEM_SELECT select = {0};
    km::Request *captured =
        km::IoctlAsync(control, MODEM_CONTROL_IOCTL(MODEM_CONTROL_READ_CAPTURED), &select, sizeof(select), 16);
    EXPECT_EQ(STATUS_SUCCESS, captured->status);
    EXPECT_EQ(std::string("hi"), std::string(captured->output.begin(), captured->output.end()));

    km::Request *status = km::IoctlAsync(control, MODEM_CONTROL_IOCTL(MODEM_CONTROL_GET_STATUS), &select,
                                         sizeof(select), sizeof(MODEM_STATUS));
    ASSERT_EQ(STATUS_SUCCESS, status->status);
    ASSERT_EQ(sizeof(MODEM_STATUS), status->output.size());
    EXPECT_EQ(2u, reinterpret_cast<const MODEM_STATUS *>(status->output.data())->CapturedTotal);
    EXPECT_EQ(
        STATUS_BUFFER_TOO_SMALL,
        km::IoctlAsync(control, MODEM_CONTROL_IOCTL(MODEM_CONTROL_GET_STATUS), &select, sizeof(select), 8)->status);

    const ULONG foreign[] = {MODEM_CONTROL_IOCTL(0),
                             MODEM_CONTROL_IOCTL(MODEM_CONTROL_RESET) | 1 /* METHOD_IN_DIRECT */,
                             0x001B0050 /* IOCTL_SERIAL_GET_BAUD_RATE */};
    for (ULONG code : foreign) {
        EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, km::IoctlAsync(control, code, &select, sizeof(select), 4)->status)
            << std::hex << code;
    }
    EXPECT_EQ(STATUS_INVALID_PARAMETER,
              km::IoctlAsync(control, MODEM_CONTROL_IOCTL(0x7FF), &select, sizeof(select), 0)->status)
        << "an unknown code of ours is the modem's to refuse";
    EXPECT_EQ(STATUS_SUCCESS, km::Close(control));

    EXPECT_EQ(std::u16string(MODEM_CONTROL_DEVICE_NAME, MODEM_CONTROL_DEVICE_NAME + 22),
              km::LinkTarget(MODEM_CONTROL_LINK_NAME));
    TearDownBus();
    EXPECT_TRUE(km::LinkTarget(MODEM_CONTROL_LINK_NAME).empty()) << "the link goes with the bus";
}

} // namespace
} // namespace sim_test
