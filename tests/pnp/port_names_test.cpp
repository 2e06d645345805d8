// Start and the port's names: the link, the SERIALCOMM value and the COM-port
// interface, as they appear and disappear across start, stop and removal.
#include "tests/pnp/pnp_fixture.h"

#include <cstring>

namespace pnp_test {
namespace {

const std::u16string Com7Link = u"\\DosDevices\\COM7";

std::vector<uint8_t> Bytes(const std::u16string &s)
{
    std::vector<uint8_t> bytes(s.size() * sizeof(char16_t));
    std::memcpy(bytes.data(), s.data(), bytes.size());
    return bytes;
}

TEST_F(PnpTest, StartGivesThePortItsNamesAndRemovalTakesThemAway)
{
    AddPort(u"COM7");
    EXPECT_FALSE(InterfaceEnabled());

    ASSERT_EQ(STATUS_SUCCESS, km::StartDevice(pdo));
    EXPECT_EQ(Started, ext->PnpState);
    EXPECT_EQ(reinterpret_cast<USBD_PIPE_HANDLE>(BulkInHandle), ext->BulkInPipe);
    EXPECT_EQ(reinterpret_cast<USBD_PIPE_HANDLE>(BulkOutHandle), ext->BulkOutPipe);
    EXPECT_EQ(reinterpret_cast<USBD_PIPE_HANDLE>(AuxHandle), ext->AuxPipe);

    // Found by its link, its device-map value and its interface.
    EXPECT_EQ(u"\\Device\\ZQEVDODIAG1", km::LinkTarget(W(Com7Link)));
    ULONG type = 0;
    std::vector<uint8_t> value = DeviceMapValue(&type);
    EXPECT_EQ(Bytes(std::u16string(u"COM7\0\0", 6)), value);
    EXPECT_EQ(static_cast<ULONG>(REG_SZ), type);
    std::vector<km::InterfaceInfo> interfaces = km::Interfaces(pdo, GUID_DEVINTERFACE_COMPORT);
    ASSERT_EQ(1u, interfaces.size());
    EXPECT_TRUE(interfaces[0].enabled);
    EXPECT_EQ(km::Wide(ext->InterfaceName), interfaces[0].symbolicLink);

    Remove();
    EXPECT_EQ(u"", km::LinkTarget(W(Com7Link)));
    EXPECT_TRUE(DeviceMapValue().empty());
}

// The name is read into a buffer two characters longer than the 128 bytes
// accepted, so the longest names still end in the two zero characters of the
// device-map value and nothing is read past the buffer.
TEST_F(PnpTest, PortNameLengthLimits)
{
    struct Case {
        size_t characters;
        bool terminated;
        NTSTATUS expected;
        ULONG extraBytes = 0;
    };
    const Case cases[] = {
        {63, true, STATUS_SUCCESS},                    // 128 bytes
        {64, false, STATUS_SUCCESS},                   // 128 bytes, no terminator
        {64, false, STATUS_INSUFFICIENT_RESOURCES, 1}, // 129 bytes
        {65, false, STATUS_INSUFFICIENT_RESOURCES},    // 130 bytes
        {65, true, STATUS_INSUFFICIENT_RESOURCES},     // 132 bytes: the most the query block holds
        {70, true, STATUS_BUFFER_OVERFLOW},            // the query's own status
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.characters << " characters, terminated " << c.terminated);
        std::u16string name(c.characters, u'A');
        for (size_t i = 0; i < name.size(); i++) {
            name[i] = static_cast<char16_t>(u'A' + i % 26);
        }
        ULONG length = static_cast<ULONG>((c.characters + (c.terminated ? 1 : 0)) * sizeof(char16_t)) + c.extraBytes;
        std::u16string data = name + u'\0'; // room for the extra byte
        AddPortBytes(data.c_str(), length);
        std::u16string link = u"\\DosDevices\\" + name;

        EXPECT_EQ(c.expected, km::StartDevice(pdo));
        if (c.expected == STATUS_SUCCESS) {
            EXPECT_EQ(deviceName, km::LinkTarget(W(link)));
            EXPECT_EQ(Bytes(name + std::u16string(2, u'\0')), DeviceMapValue());
            Remove();
        } else {
            EXPECT_FALSE(km::DeviceExists(fdo)) << "the removal after a failed start deletes the port";
            EXPECT_FALSE(InterfaceEnabled());
        }
        EXPECT_EQ(u"", km::LinkTarget(W(link)));
        EXPECT_TRUE(DeviceMapValue().empty());
    }
}

// A name the link cannot be made of fails the start as a missing name does:
// not text, empty, or more than one component of the namespace.
TEST_F(PnpTest, UnusablePortNamesFailTheStartAsAMissingOne)
{
    struct Case {
        const char *what;
        ULONG type;
        std::u16string name;
        ULONG bytes = 0; // all of the name when 0
    };
    const Case cases[] = {
        {"binary", REG_BINARY, std::u16string(u"COM7\0", 5)},
        {"expandable", REG_EXPAND_SZ, std::u16string(u"COM7\0", 5)},
        {"empty", REG_SZ, std::u16string(u"\0", 1)},
        {"no data", REG_SZ, std::u16string()},
        {"half a character", REG_SZ, std::u16string(u"A", 1), 1},
        {"elsewhere", REG_SZ, std::u16string(u"..\\Device\\Evil\0", 16)},
        {"rooted", REG_SZ, std::u16string(u"\\COM7\0", 6)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        AddPort(u"COM7");
        km::SetDeviceValue(pdo, L"PortName", c.type, c.name.data(),
                           c.bytes != 0 ? c.bytes : static_cast<ULONG>(c.name.size() * sizeof(char16_t)));
        EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, km::StartDevice(pdo));
        EXPECT_FALSE(km::DeviceExists(fdo)) << "the removal after a failed start deletes the port";
        EXPECT_EQ(u"", km::LinkTarget(W(Com7Link)));
        EXPECT_EQ(u"", km::LinkTarget(L"\\DosDevices\\..\\Device\\Evil"));
        EXPECT_TRUE(DeviceMapValue().empty());
    }
    // What follows the terminator is not part of the name, and one character
    // without a terminator is a name.
    AddPort(u"COM7");
    static const char16_t trailing[] = u"COM7\0\\x";
    km::SetDeviceValue(pdo, L"PortName", REG_SZ, trailing, sizeof(trailing));
    EXPECT_EQ(STATUS_SUCCESS, km::StartDevice(pdo));
    EXPECT_EQ(deviceName, km::LinkTarget(W(Com7Link)));
    AddPortBytes(u"A", sizeof(char16_t));
    EXPECT_EQ(STATUS_SUCCESS, km::StartDevice(pdo));
    EXPECT_EQ(deviceName, km::LinkTarget(L"\\DosDevices\\A"));
}

// A physical device object without an extension has no pipe handles to give:
// the start fails instead of reading through a null pointer.
TEST_F(PnpTest, StartOnAParentWithoutAnExtensionFails)
{
    PDEVICE_OBJECT bare = km::CreatePdo(0);
    static const char16_t name[] = u"COM7";
    km::SetDeviceValue(bare, L"PortName", REG_SZ, name, sizeof(name));
    ASSERT_NE(nullptr, AddPortOn(bare));
    deviceName = km::Wide(ext->DeviceName);
    EXPECT_EQ(STATUS_DEVICE_CONFIGURATION_ERROR, km::StartDevice(pdo));
    EXPECT_FALSE(km::DeviceExists(fdo)) << "the removal after a failed start deletes the port";
    EXPECT_EQ(u"", km::LinkTarget(W(Com7Link)));
}

// A second start without a stop makes the names afresh, once.
TEST_F(PnpTest, TwoStartsInARow)
{
    AddPort(u"COM7");
    ASSERT_EQ(STATUS_SUCCESS, km::StartDevice(pdo));
    ASSERT_EQ(STATUS_SUCCESS, km::StartDevice(pdo));
    EXPECT_EQ(Started, ext->PnpState);
    EXPECT_EQ(deviceName, km::LinkTarget(W(Com7Link)));
    EXPECT_EQ(Bytes(std::u16string(u"COM7\0\0", 6)), DeviceMapValue());
    EXPECT_TRUE(InterfaceEnabled());
    ASSERT_EQ(STATUS_SUCCESS, km::StopDevice(pdo));
    EXPECT_EQ(u"", km::LinkTarget(W(Com7Link)));
    EXPECT_TRUE(DeviceMapValue().empty());
    EXPECT_FALSE(InterfaceEnabled());
}

// Stop takes the names down once; the next start makes all three again,
// the interface included (its name outlives the stop).
TEST_F(PnpTest, StopThenStartAgain)
{
    AddPort(u"COM7");
    ASSERT_EQ(STATUS_SUCCESS, km::StartDevice(pdo));
    ASSERT_EQ(STATUS_SUCCESS, km::StopDevice(pdo));
    EXPECT_EQ(NotStarted, ext->PnpState);
    EXPECT_EQ(u"", km::LinkTarget(W(Com7Link)));
    EXPECT_TRUE(DeviceMapValue().empty());
    EXPECT_FALSE(InterfaceEnabled());

    // A second stop finds nothing left to remove.
    int deletes = km::CallCount("RtlDeleteRegistryValue");
    int interfaceCalls = km::CallCount("IoSetDeviceInterfaceState");
    EXPECT_EQ(STATUS_SUCCESS, Send(IRP_MN_STOP_DEVICE));
    EXPECT_EQ(deletes, km::CallCount("RtlDeleteRegistryValue"));
    EXPECT_EQ(interfaceCalls, km::CallCount("IoSetDeviceInterfaceState"));

    ASSERT_EQ(STATUS_SUCCESS, km::StartDevice(pdo));
    EXPECT_EQ(Started, ext->PnpState);
    EXPECT_EQ(deviceName, km::LinkTarget(W(Com7Link)));
    EXPECT_FALSE(DeviceMapValue().empty());
    EXPECT_TRUE(InterfaceEnabled());

    // A removal after a stop removes nothing either.
    ASSERT_EQ(STATUS_SUCCESS, km::StopDevice(pdo));
    deletes = km::CallCount("RtlDeleteRegistryValue");
    Remove();
    EXPECT_EQ(deletes, km::CallCount("RtlDeleteRegistryValue"));
}

// When the link cannot be deleted by the name it was made with, it is
// deleted by the name the registry holds.
TEST_F(PnpTest, LinkDeletionFallsBackToTheRegistryName)
{
    AddPort(u"COM7");
    ASSERT_EQ(STATUS_SUCCESS, km::StartDevice(pdo));
    km::SetDeviceValue(pdo, L"PortName", REG_SZ, u"COM7", 4 * sizeof(char16_t)); // without its zero
    km::FailCall("IoDeleteSymbolicLink", 1, STATUS_UNSUCCESSFUL);
    ASSERT_EQ(STATUS_SUCCESS, km::StopDevice(pdo));
    EXPECT_EQ(u"", km::LinkTarget(W(Com7Link)));
    EXPECT_EQ(2, km::CallCount("IoDeleteSymbolicLink"));
}

// The registry's name now leads to another port's link: that link is not
// this device's to delete, whether its target fits this device's name or is
// longer.
TEST_F(PnpTest, LinkDeletionFallbackSparesAnotherPortsLink)
{
    struct Case {
        const char16_t *name;
        const char16_t *renamed; // with its terminating zero, 5 characters
        const wchar_t *renamedLink;
        const wchar_t *target;
    };
    const Case cases[] = {
        {u"COM7", u"COM8", L"\\DosDevices\\COM8", L"\\Device\\Serial0"},
        {u"COM5", u"COM6", L"\\DosDevices\\COM6", L"\\Device\\SerialOfAnotherMaker0"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(km::Narrow(km::Wide(c.target)));
        AddPort(c.name);
        ASSERT_EQ(STATUS_SUCCESS, km::StartDevice(pdo));
        km::SetDeviceValue(pdo, L"PortName", REG_SZ, c.renamed, 5 * sizeof(char16_t));
        km::CreateLink(c.renamedLink, c.target);
        int deletes = km::CallCount("IoDeleteSymbolicLink");
        km::FailCall("IoDeleteSymbolicLink", 1, STATUS_UNSUCCESSFUL);
        ASSERT_EQ(STATUS_SUCCESS, km::StopDevice(pdo));
        EXPECT_EQ(km::Wide(c.target), km::LinkTarget(c.renamedLink));
        EXPECT_EQ(deletes + 1, km::CallCount("IoDeleteSymbolicLink"));
        EXPECT_EQ(0u, km::OpenKeyHandles());
    }
}

// A link of the same name that belongs to someone else survives the failed
// start, and nothing else of the port's names is left behind.
TEST_F(PnpTest, StartFailsWhenTheLinkNameIsTaken)
{
    km::CreateLink(W(Com7Link), L"\\Device\\Serial0");
    AddPort(u"COM7");
    EXPECT_EQ(STATUS_OBJECT_NAME_COLLISION, km::StartDevice(pdo));
    EXPECT_FALSE(km::DeviceExists(fdo)) << "the removal after a failed start deletes the port";
    EXPECT_EQ(u"\\Device\\Serial0", km::LinkTarget(W(Com7Link)));
    EXPECT_TRUE(DeviceMapValue().empty());
    EXPECT_FALSE(InterfaceEnabled());
}

// Failures after the link was made undo it, in the start itself (before the
// removal that follows a failed start); failures before it leave nothing.
TEST_F(PnpTest, StartFailuresLeaveNoNames)
{
    struct Case {
        const char *service;
        NTSTATUS status;
    };
    const Case cases[] = {
        {"IoOpenDeviceRegistryKey", STATUS_OBJECT_NAME_NOT_FOUND},
        {"ZwQueryValueKey", STATUS_OBJECT_NAME_NOT_FOUND},
        {"RtlWriteRegistryValue", STATUS_ACCESS_DENIED},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.service);
        AddPort(u"COM7");
        km::FailCall(c.service, 1, c.status);
        EXPECT_EQ(c.status, Send(IRP_MN_START_DEVICE));
        km::ClearFaults();
        EXPECT_EQ(u"", km::LinkTarget(W(Com7Link)));
        EXPECT_TRUE(DeviceMapValue().empty());
        EXPECT_FALSE(InterfaceEnabled());
        EXPECT_EQ(STATUS_SUCCESS, Send(IRP_MN_REMOVE_DEVICE));
        EXPECT_FALSE(km::DeviceExists(fdo));
    }

    // Without the interface the port still starts, found by link and value.
    AddPort(u"COM7");
    km::FailCall("IoSetDeviceInterfaceState", 1, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(STATUS_SUCCESS, km::StartDevice(pdo));
    EXPECT_EQ(deviceName, km::LinkTarget(W(Com7Link)));
    EXPECT_FALSE(InterfaceEnabled());
}

// Pool exhaustion at each allocation of the start fails it cleanly, and the
// removal that follows leaves nothing behind.
TEST_F(PnpTest, StartWithoutPool)
{
    for (int nth = 1;; nth++) {
        SCOPED_TRACE(nth);
        AddPort(u"COM7");
        int before = km::CallCount("ExAllocatePool");
        km::FailCall("ExAllocatePool", nth);
        NTSTATUS status = km::StartDevice(pdo);
        km::ClearFaults();
        if (km::CallCount("ExAllocatePool") - before < nth) {
            EXPECT_EQ(STATUS_SUCCESS, status);
            break;
        }
        EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, status);
        EXPECT_FALSE(km::DeviceExists(fdo));
        EXPECT_EQ(u"", km::LinkTarget(W(Com7Link)));
        EXPECT_TRUE(DeviceMapValue().empty());
    }
    EXPECT_EQ(deviceName, km::LinkTarget(W(Com7Link)));
}

} // namespace
} // namespace pnp_test
