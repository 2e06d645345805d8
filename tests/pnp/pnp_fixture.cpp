#include "tests/pnp/pnp_fixture.h"

#include <cstring>

namespace pnp_test {

void PnpTest::SetUp()
{
    KernelTest::SetUp();
    image_ = km::LoadDriver(ZQ_DRIVER_PATH, L"zqevdodiag");
    ASSERT_TRUE(NT_SUCCESS(image_->entryStatus));
}

void PnpTest::TearDown()
{
    if (fdo_ != nullptr && km::DeviceExists(fdo_)) {
        Remove();
    }
    km::UnloadDriver(image_);
    KernelTest::TearDown();
}

// The bus below the port completes every PnP request with the status it
// carries, as a bus driver does with requests it does not handle, except the
// minor the test wants answered (or failed) itself.
void PnpTest::ControlBus()
{
    km::SetHandler(pdo_, [this](PDEVICE_OBJECT, PIRP irp) -> NTSTATUS {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        if (stack->MajorFunction == IRP_MJ_POWER) {
            PoStartNextPowerIrp(irp);
            irp->IoStatus.Status = STATUS_SUCCESS;
        } else if (stack->MajorFunction != IRP_MJ_PNP) {
            irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
        } else if (stack->MinorFunction == failMinor_) {
            if (answer_) {
                answer_(stack);
            }
            irp->IoStatus.Status = failMinorStatus_;
        }
        NTSTATUS status = irp->IoStatus.Status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    });
}

void PnpTest::AddPortBytes(const void *portName, ULONG length, bool controlBus)
{
    pdo_ = km::CreatePdo(32);
    ULONG handles[3] = {BulkInHandle, BulkOutHandle, AuxHandle};
    std::memcpy(static_cast<uint8_t *>(pdo_->DeviceExtension) + 12, handles, sizeof(handles));
    km::SetDeviceValue(pdo_, L"PortName", REG_SZ, portName, length);
    if (controlBus) {
        ControlBus();
    }
    ASSERT_EQ(STATUS_SUCCESS, km::AddDevice(image_, pdo_));
    fdo_ = km::TopOfStack(pdo_);
    deviceName_ = km::Wide(Ext()->DeviceName);
}

void PnpTest::AddPort(const std::u16string &name, bool controlBus)
{
    AddPortBytes(name.c_str(), static_cast<ULONG>((name.size() + 1) * sizeof(char16_t)), controlBus);
}

void PnpTest::Remove()
{
    failMinor_ = -1;
    answer_ = nullptr;
    Ext()->PortOpen = FALSE;
    EXPECT_EQ(STATUS_SUCCESS, km::RemoveDevice(pdo_));
    EXPECT_FALSE(km::DeviceExists(fdo_));
    fdo_ = nullptr;
}

std::vector<uint8_t> PnpTest::DeviceMapValue(ULONG *type) const
{
    std::vector<uint8_t> data;
    if (!km::GetDeviceMapValue(L"SERIALCOMM", W(deviceName_), &data, type)) {
        data.clear();
    }
    return data;
}

bool PnpTest::InterfaceEnabled() const
{
    std::vector<km::InterfaceInfo> interfaces = km::Interfaces(pdo_, GUID_DEVINTERFACE_COMPORT);
    return interfaces.size() == 1 && interfaces[0].enabled;
}

} // namespace pnp_test
