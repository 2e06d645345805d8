#include "tests/pnp/pnp_fixture.h"

namespace pnp_test {

void PnpTest::SetUp()
{
    PortFixture::SetUp();
    LoadPortDriver();
    ASSERT_TRUE(NT_SUCCESS(image->entryStatus));
}

void PnpTest::TakeDown(PDEVICE_OBJECT port)
{
    failMinor_ = -1;
    answer_ = nullptr;
    GetExtension(port)->PortOpen = FALSE;
    EXPECT_EQ(STATUS_SUCCESS, km::RemoveDevice(GetExtension(port)->Pdo));
    EXPECT_FALSE(km::DeviceExists(port));
}

// The bus below the port completes every PnP request with the status it
// carries, as a bus driver does with requests it does not handle, except the
// minor the test wants answered (or failed) itself.
void PnpTest::ControlBus()
{
    km::SetHandler(pdo, [this](PDEVICE_OBJECT, PIRP irp) -> NTSTATUS {
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
    pdo = CreatePortPdo(portName, length);
    if (controlBus) {
        ControlBus();
    }
    ASSERT_NE(nullptr, AddPortOn(pdo));
    deviceName = km::Wide(ext->DeviceName);
}

void PnpTest::AddPort(const std::u16string &name, bool controlBus)
{
    AddPortBytes(name.c_str(), PortNameBytes(name), controlBus);
}

std::vector<uint8_t> PnpTest::DeviceMapValue(ULONG *type) const
{
    std::vector<uint8_t> data;
    if (!km::GetDeviceMapValue(L"SERIALCOMM", W(deviceName), &data, type)) {
        data.clear();
    }
    return data;
}

bool PnpTest::InterfaceEnabled() const
{
    std::vector<km::InterfaceInfo> interfaces = km::Interfaces(pdo, GUID_DEVINTERFACE_COMPORT);
    return interfaces.size() == 1 && interfaces[0].enabled;
}

} // namespace pnp_test
