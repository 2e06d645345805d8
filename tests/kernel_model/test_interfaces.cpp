// Device interfaces: the COM-port interface a port registers when added and
// enables when started.
#include "tests/support/kernel_test.h"

#include "kernel_model/src/internal.h"

#include <km/harness.h>

namespace {

class InterfaceTest : public KernelTest {
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        first_ = km::CreatePdo();
        second_ = km::CreatePdo();
    }

    NTSTATUS Register(PDEVICE_OBJECT pdo, UNICODE_STRING *name)
    {
        return IoRegisterDeviceInterface(pdo, &GUID_DEVINTERFACE_COMPORT, nullptr, name);
    }

    PDEVICE_OBJECT first_ = nullptr;
    PDEVICE_OBJECT second_ = nullptr;
};

const char16_t ComPortClass[] = u"{86e0d1e0-8089-11d0-9ce4-08003e301f73}";

TEST_F(InterfaceTest, RegistrationNamesThePortAndHandsOutPoolTheCallerFrees)
{
    size_t blocks = km::PoolBlocksInUse();
    UNICODE_STRING name{};
    ASSERT_EQ(STATUS_SUCCESS, Register(first_, &name));
    std::u16string expected = u"\\??\\ROOT#PORTS#0000#" + std::u16string(ComPortClass);
    EXPECT_EQ(expected, km::Wide(name));
    EXPECT_EQ(expected.size() * 2, name.Length);
    EXPECT_EQ(name.Length + 2, name.MaximumLength);
    EXPECT_EQ(0, name.Buffer[name.Length / 2]);
    EXPECT_EQ(blocks + 1, km::PoolBlocksInUse());

    // Again: the same name in a buffer of its own; still one interface.
    UNICODE_STRING again{};
    ASSERT_EQ(STATUS_SUCCESS, Register(first_, &again));
    EXPECT_NE(name.Buffer, again.Buffer);
    EXPECT_EQ(expected, km::Wide(again));
    EXPECT_EQ(1u, km::Interfaces(first_, GUID_DEVINTERFACE_COMPORT).size());

    // Another device gets the next root instance, or its own instance path.
    UNICODE_STRING other{};
    km::SetInstancePath(second_, L"USB\\VID_1234&PID_5678&MI_02\\6&1a2b&0&2");
    ASSERT_EQ(STATUS_SUCCESS, Register(second_, &other));
    EXPECT_EQ(u"\\??\\USB#VID_1234&PID_5678&MI_02#6&1a2b&0&2#" + std::u16string(ComPortClass), km::Wide(other));

    RtlFreeUnicodeString(&name);
    RtlFreeUnicodeString(&again);
    RtlFreeUnicodeString(&other);
    EXPECT_EQ(nullptr, name.Buffer);
    EXPECT_EQ(0, name.Length);
    EXPECT_EQ(blocks, km::PoolBlocksInUse());
}

TEST_F(InterfaceTest, EnablingOpensTheDeviceAndRepeatsAreReported)
{
    UNICODE_STRING name{};
    ASSERT_EQ(STATUS_SUCCESS, Register(first_, &name));
    std::u16string link = km::Wide(name);
    EXPECT_FALSE(km::Interfaces(first_, GUID_DEVINTERFACE_COMPORT).at(0).enabled) << "registered disabled";
    EXPECT_EQ(nullptr, km::detail::ResolveName(link));

    EXPECT_EQ(STATUS_SUCCESS, IoSetDeviceInterfaceState(&name, TRUE));
    EXPECT_TRUE(km::Interfaces(first_, GUID_DEVINTERFACE_COMPORT).at(0).enabled);
    EXPECT_EQ(first_, km::detail::ResolveName(link));
    EXPECT_EQ(STATUS_OBJECT_NAME_EXISTS, IoSetDeviceInterfaceState(&name, TRUE));

    EXPECT_EQ(STATUS_SUCCESS, IoSetDeviceInterfaceState(&name, FALSE));
    EXPECT_EQ(nullptr, km::detail::ResolveName(link));
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, IoSetDeviceInterfaceState(&name, FALSE));

    // The registration outlives the caller's copy of the name.
    RtlFreeUnicodeString(&name);
    ASSERT_EQ(STATUS_SUCCESS, Register(first_, &name));
    EXPECT_EQ(STATUS_SUCCESS, IoSetDeviceInterfaceState(&name, TRUE));

    // A device that goes away takes its interfaces along.
    km::detail::ForgetDevice(first_);
    EXPECT_TRUE(km::Interfaces(first_, GUID_DEVINTERFACE_COMPORT).empty());
    EXPECT_EQ(nullptr, km::detail::ResolveName(link));
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, IoSetDeviceInterfaceState(&name, FALSE));
    RtlFreeUnicodeString(&name);

    UNICODE_STRING unknown;
    RtlInitUnicodeString(&unknown, L"\\??\\ROOT#PORTS#0042#{86e0d1e0-8089-11d0-9ce4-08003e301f73}");
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, IoSetDeviceInterfaceState(&unknown, TRUE));
}

TEST_F(InterfaceTest, InjectedFailuresAllocateAndChangeNothing)
{
    size_t blocks = km::PoolBlocksInUse();
    UNICODE_STRING name{};
    km::FailCall("IoRegisterDeviceInterface", 1, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, Register(first_, &name));
    EXPECT_EQ(nullptr, name.Buffer);
    EXPECT_EQ(blocks, km::PoolBlocksInUse());
    EXPECT_TRUE(km::Interfaces(first_, GUID_DEVINTERFACE_COMPORT).empty());

    ASSERT_EQ(STATUS_SUCCESS, Register(first_, &name));
    km::FailCall("IoSetDeviceInterfaceState", 1, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, IoSetDeviceInterfaceState(&name, TRUE));
    EXPECT_FALSE(km::Interfaces(first_, GUID_DEVINTERFACE_COMPORT).at(0).enabled);
    RtlFreeUnicodeString(&name);
}

} // namespace
