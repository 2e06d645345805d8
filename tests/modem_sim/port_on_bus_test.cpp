// The port driver on the simulated modem's child, as the PnP manager puts it
// there: the pipe handles it copies at start are the child's, the port is
// found by its names, and an unplug takes the names and the whole stack away.
#include "driver/core/device_extension.h"
#include "tests/modem_sim/sim_fixture.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace sim_test {
namespace {

// Stands in for the port's create, cleanup and close routines: it learns
// which device object a name leads to and holds a handle open without
// starting the port's receive loop.
PDEVICE_OBJECT openedDevice = nullptr;

NTSTATUS NTAPI ProbeOpenClose(PDEVICE_OBJECT device, PIRP irp)
{
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_CREATE) {
        openedDevice = device;
    }
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

const UCHAR ProbedMajors[] = {IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE};

class PortOnBusTest : public SimTest {
protected:
    void TearDown() override
    {
        if (port_ != nullptr && child_ != nullptr && km::DeviceExists(child_)) {
            EXPECT_EQ(STATUS_SUCCESS, km::RemoveDevice(child_));
            child_ = nullptr;
        }
        // The port's image goes after the bus's devices and before the
        // kernel, whose shutdown checks for leaks.
        TearDownBus();
        if (port_ != nullptr) {
            km::UnloadDriver(port_);
        }
        SimTest::TearDown();
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

    // Opens the name with the port's open and close routines replaced by the
    // probe; the device object reached is in openedDevice.
    km::Handle *OpenWithProbe(const wchar_t *name)
    {
        PDRIVER_DISPATCH *table = port_->driver->MajorFunction;
        for (UCHAR major : ProbedMajors) {
            saved_[major] = table[major];
            table[major] = ProbeOpenClose;
        }
        openedDevice = nullptr;
        km::Handle *handle = nullptr;
        EXPECT_EQ(STATUS_SUCCESS, km::Open(name, &handle));
        return handle;
    }
    void CloseWithProbe(km::Handle *handle)
    {
        EXPECT_EQ(STATUS_SUCCESS, km::Close(handle));
        for (UCHAR major : ProbedMajors) {
            port_->driver->MajorFunction[major] = saved_[major];
        }
    }

    km::Image *port_ = nullptr;
    PDRIVER_DISPATCH saved_[IRP_MJ_MAXIMUM_FUNCTION + 1] = {};
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

TEST_F(PortOnBusTest, UnplugWhileOpenTakesTheNamesThenTheDevice)
{
    PDEVICE_OBJECT fdo = LoadPortOnChild();
    ASSERT_NE(nullptr, fdo);
    auto ext = static_cast<DeviceExtension *>(fdo->DeviceExtension);

    // Found by its link, its device-map value and its interface.
    std::u16string deviceName = km::Wide(ext->DeviceName);
    std::vector<uint8_t> value;
    ASSERT_TRUE(km::GetDeviceMapValue(L"SERIALCOMM", reinterpret_cast<const wchar_t *>(deviceName.c_str()), &value));
    EXPECT_EQ(std::u16string(u"COM7\0\0", 6),
              std::u16string(reinterpret_cast<const char16_t *>(value.data()), value.size() / sizeof(char16_t)));
    std::vector<km::InterfaceInfo> interfaces = km::Interfaces(child_, GUID_DEVINTERFACE_COMPORT);
    ASSERT_EQ(1u, interfaces.size());
    EXPECT_TRUE(interfaces[0].enabled);
    // An application holds the port open, so the unplug brings the surprise
    // removal at once and the removal only after the close.
    km::Handle *handle = OpenWithProbe(L"\\DosDevices\\COM7");
    EXPECT_EQ(fdo, openedDevice);

    ASSERT_EQ(STATUS_SUCCESS, modem_->Unplug());
    km::RunUntilIdle();
    ASSERT_TRUE(km::DeviceExists(fdo)) << "removed with a handle open";
    EXPECT_EQ(SurpriseRemoved, ext->PnpState);
    EXPECT_EQ(u"", km::LinkTarget(L"\\DosDevices\\COM7"));
    EXPECT_FALSE(km::GetDeviceMapValue(L"SERIALCOMM", reinterpret_cast<const wchar_t *>(deviceName.c_str()), &value));
    interfaces = km::Interfaces(child_, GUID_DEVINTERFACE_COMPORT);
    ASSERT_EQ(1u, interfaces.size());
    EXPECT_FALSE(interfaces[0].enabled);

    CloseWithProbe(handle);
    km::RunUntilIdle();
    EXPECT_FALSE(km::DeviceExists(fdo)) << "the port's device went with the removal";
    EXPECT_FALSE(km::DeviceExists(child_));
    EXPECT_EQ(u"", km::LinkTarget(L"\\DosDevices\\COM7"));
    child_ = nullptr;
}

} // namespace
} // namespace sim_test
