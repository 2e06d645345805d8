// The port driver on the simulated modem's child, as the PnP manager puts it
// there: the pipe handles it copies at start are the child's, and an unplug
// takes the whole stack away.
#include "driver/core/device_extension.h"
#include "tests/modem_sim/sim_fixture.h"

#include <gtest/gtest.h>

namespace sim_test {
namespace {

class PortOnBusTest : public SimTest {
protected:
    void TearDown() override
    {
        if (port_ != nullptr && child_ != nullptr && km::DeviceExists(child_)) {
            EXPECT_EQ(STATUS_SUCCESS, km::RemoveDevice(child_));
            child_ = nullptr;
        }
        SimTest::TearDown();
        if (port_ != nullptr) {
            km::UnloadDriver(port_);
        }
    }

    // What the PnP manager does for a child with a matching function driver.
    PDEVICE_OBJECT LoadPortOnChild()
    {
        port_ = km::LoadDriver(ZQ_DRIVER_PATH, L"zqevdodiag");
        EXPECT_EQ(STATUS_SUCCESS, port_->entryStatus);
        std::vector<PDEVICE_OBJECT> children = Children();
        EXPECT_EQ(1u, children.size());
        if (children.size() != 1) {
            return nullptr;
        }
        child_ = children[0];
        static const char16_t name[] = u"COM7";
        km::SetDeviceValue(child_, L"PortName", REG_SZ, name, sizeof(name));
        EXPECT_EQ(STATUS_SUCCESS, km::AddDevice(port_, child_));
        EXPECT_EQ(STATUS_SUCCESS, km::StartDevice(child_));
        return km::TopOfStack(child_);
    }

    km::Image *port_ = nullptr;
};

TEST_F(PortOnBusTest, PortTakesTheChildsPipeHandlesAndGoesWithTheUnplug)
{
    PDEVICE_OBJECT fdo = LoadPortOnChild();
    ASSERT_NE(nullptr, fdo);
    ASSERT_NE(child_, fdo);
    auto ext = static_cast<DeviceExtension *>(fdo->DeviceExtension);
    EXPECT_EQ(Handle(child_, MODEM_PIPE_BULK_IN), ext->BulkInPipe);
    EXPECT_EQ(Handle(child_, MODEM_PIPE_BULK_OUT), ext->BulkOutPipe);
    EXPECT_EQ(Handle(child_, MODEM_PIPE_AUX), ext->AuxPipe);
    EXPECT_EQ(1u, modem_->Status().ChildStarted);

    ASSERT_EQ(STATUS_SUCCESS, modem_->Unplug());
    km::RunUntilIdle();
    EXPECT_FALSE(km::DeviceExists(fdo)) << "the port's device went with the surprise removal";
    EXPECT_FALSE(km::DeviceExists(child_));
    EXPECT_EQ(u"", km::LinkTarget(L"\\DosDevices\\COM7"));
    child_ = nullptr;
}

} // namespace
} // namespace sim_test
