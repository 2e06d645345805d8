// AddDevice: the port's device object, its name and number, and the undo
// steps that leave nothing behind when a step fails.
#include "tests/support/port_fixture.h"

#include <gtest/gtest.h>

#include <string>

using CoreTest = PortFixture;

namespace {

// Stands in for the driver's create routine to learn which device object a
// name leads to; it refuses the open, so no handle needs closing.
PDEVICE_OBJECT openedDevice = nullptr;

NTSTATUS NTAPI ProbeCreate(PDEVICE_OBJECT device, PIRP irp)
{
    openedDevice = device;
    irp->IoStatus.Status = STATUS_NO_SUCH_FILE;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_NO_SUCH_FILE;
}

std::u16string PortName(int number)
{
    std::string digits = std::to_string(number);
    return km::Wide(L"\\Device\\ZQEVDODIAG") + std::u16string(digits.begin(), digits.end());
}

} // namespace

class AddDeviceTest : public CoreTest {
protected:
    // The device object that opening `name` reaches, or nullptr when the name
    // does not exist.
    PDEVICE_OBJECT Resolve(const std::u16string &name)
    {
        PDRIVER_DISPATCH saved = image->driver->MajorFunction[IRP_MJ_CREATE];
        image->driver->MajorFunction[IRP_MJ_CREATE] = ProbeCreate;
        openedDevice = nullptr;
        NTSTATUS status = STATUS_SUCCESS;
        std::u16string terminated = name + u'\0';
        km::Run([&] {
            km::Handle *handle = nullptr;
            status = km::Open(reinterpret_cast<const wchar_t *>(terminated.c_str()), &handle);
        });
        image->driver->MajorFunction[IRP_MJ_CREATE] = saved;
        if (status == STATUS_OBJECT_NAME_NOT_FOUND) {
            EXPECT_EQ(openedDevice, nullptr);
            return nullptr;
        }
        EXPECT_EQ(status, STATUS_NO_SUCH_FILE);
        return openedDevice;
    }
};

TEST_F(AddDeviceTest, PortIsNamedNumberedAndReadyButNotStarted)
{
    LoadPortDriver();
    PDEVICE_OBJECT first = AddPort();
    PDEVICE_OBJECT second = AddPort();
    EXPECT_EQ(Resolve(PortName(1)), first);
    EXPECT_EQ(Resolve(PortName(2)), second);

    PDEVICE_EXTENSION ext = GetExtension(first);
    // DeviceName is the device's own name, zero-terminated in its buffer.
    EXPECT_EQ(km::Wide(ext->DeviceName), PortName(1));
    EXPECT_EQ(ext->DeviceName.Buffer[ext->DeviceName.Length / sizeof(WCHAR)], 0);

    EXPECT_EQ(first->DeviceType, static_cast<DEVICE_TYPE>(FILE_DEVICE_SERIAL_PORT));
    EXPECT_TRUE(first->Characteristics & FILE_DEVICE_SECURE_OPEN);
    EXPECT_TRUE(first->Flags & DO_BUFFERED_IO);
    EXPECT_TRUE(first->Flags & DO_POWER_PAGABLE);
    EXPECT_TRUE(first->Flags & DO_EXCLUSIVE);
    EXPECT_FALSE(first->Flags & DO_DEVICE_INITIALIZING);

    EXPECT_EQ(ext->Self, first);
    EXPECT_EQ(ext->Pdo, ext->LowerDevice);
    EXPECT_EQ(first->StackSize, ext->Pdo->StackSize + 1);
    EXPECT_EQ(ext->PnpState, NotStarted);
    EXPECT_EQ(ext->OutstandingIo, 1);
    EXPECT_EQ(ext->DevicePowerState, PowerDeviceD0);
    EXPECT_EQ(ext->SystemPowerState, PowerSystemWorking);

    // Registered for the port's PDO, enabled only at start.
    std::vector<km::InterfaceInfo> interfaces = km::Interfaces(ext->Pdo, GUID_DEVINTERFACE_COMPORT);
    ASSERT_EQ(interfaces.size(), 1u);
    EXPECT_FALSE(interfaces[0].enabled);
    EXPECT_EQ(interfaces[0].symbolicLink, km::Wide(ext->InterfaceName));
}

TEST_F(AddDeviceTest, FailedStepsUndoEverythingAndConsumeTheirNumber)
{
    struct Fault {
        const char *service;
        int nth;
        NTSTATUS injected;
        NTSTATUS returned;
        bool consumesNumber;
    };
    const Fault faults[] = {
        {"ExAllocatePool", 1, STATUS_INSUFFICIENT_RESOURCES, STATUS_INSUFFICIENT_RESOURCES, false}, // working name
        {"IoCreateDevice", 1, STATUS_OBJECT_NAME_COLLISION, STATUS_OBJECT_NAME_COLLISION, true},
        {"ExAllocatePool", 2, STATUS_INSUFFICIENT_RESOURCES, STATUS_INSUFFICIENT_RESOURCES, true}, // DeviceName
        {"IoAttachDeviceToDeviceStack", 1, STATUS_UNSUCCESSFUL, STATUS_INSUFFICIENT_RESOURCES, true},
        {"IoAllocateIrp", 1, STATUS_UNSUCCESSFUL, STATUS_INSUFFICIENT_RESOURCES, true}, // the pipe aborts' IRP
        {"IoRegisterDeviceInterface", 1, STATUS_INVALID_DEVICE_REQUEST, STATUS_INVALID_DEVICE_REQUEST, true},
    };
    LoadPortDriver();
    PDEVICE_OBJECT pdo = km::CreatePdo();
    for (const Fault &fault : faults) {
        SCOPED_TRACE(std::string(fault.service) + " #" + std::to_string(fault.nth));
        size_t pool = km::PoolBlocksInUse();
        LONG counter = InstanceCounter();
        int creates = km::CallCount("IoCreateDevice");
        km::FailCall(fault.service, fault.nth, fault.injected);
        EXPECT_EQ(km::AddDevice(image, pdo), fault.returned);
        km::ClearFaults();

        EXPECT_EQ(InstanceCounter(), counter + (fault.consumesNumber ? 1 : 0));
        EXPECT_EQ(km::CallCount("IoCreateDevice"), creates + (fault.consumesNumber ? 1 : 0));
        EXPECT_EQ(image->driver->DeviceObject, nullptr);
        EXPECT_EQ(km::TopOfStack(pdo), pdo);
        EXPECT_EQ(Resolve(PortName(InstanceCounter())), nullptr);
        EXPECT_EQ(km::PoolBlocksInUse(), pool);
        EXPECT_TRUE(km::Interfaces(pdo, GUID_DEVINTERFACE_COMPORT).empty());
    }
    // Five numbers were consumed by failures; the next port skips them.
    PDEVICE_OBJECT fdo = AddPort();
    EXPECT_EQ(km::Wide(GetExtension(fdo)->DeviceName), PortName(6));
    EXPECT_EQ(Resolve(PortName(6)), fdo);
}

TEST_F(AddDeviceTest, AllocateUnicodeStringGivesAZeroedTerminatedBuffer)
{
    LoadPortDriver();
    km::Run([&] {
        size_t pool = km::PoolBlocksInUse();
        UNICODE_STRING empty = {7, 7, nullptr};
        ASSERT_EQ(port.AllocateUnicodeString(&empty, 0), STATUS_SUCCESS);
        EXPECT_EQ(km::PoolBlocksInUse(), pool + 1);
        EXPECT_EQ(empty.Length, 0);
        EXPECT_EQ(empty.MaximumLength, 0);
        ASSERT_NE(empty.Buffer, nullptr);
        EXPECT_EQ(empty.Buffer[0], 0);
        ExFreePool(empty.Buffer);

        UNICODE_STRING name;
        ASSERT_EQ(port.AllocateUnicodeString(&name, 6), STATUS_SUCCESS);
        EXPECT_EQ(name.MaximumLength, 6);
        for (int i = 0; i < 4; i++) {
            EXPECT_EQ(name.Buffer[i], 0) << i;
        }
        ExFreePool(name.Buffer);

        km::FailCall("ExAllocatePool", 1);
        UNICODE_STRING refused;
        refused.Buffer = reinterpret_cast<PWSTR>(&refused);
        EXPECT_EQ(port.AllocateUnicodeString(&refused, 8), STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(refused.Buffer, nullptr);
        EXPECT_EQ(km::PoolBlocksInUse(), pool);
    });
}
