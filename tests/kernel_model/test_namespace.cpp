// Device names and symbolic links: the names by which a COM port is opened.
#include "tests/support/kernel_test.h"

#include "kernel_model/src/internal.h"

#include <km/harness.h>

namespace {

using km::detail::ResolveName;

class NamespaceTest : public KernelTest {
protected:
    static UNICODE_STRING U(const wchar_t *text)
    {
        UNICODE_STRING s;
        RtlInitUnicodeString(&s, text);
        return s;
    }

    NTSTATUS Link(const wchar_t *link, const wchar_t *target)
    {
        UNICODE_STRING l = U(link);
        UNICODE_STRING t = U(target);
        return IoCreateUnprotectedSymbolicLink(&l, &t);
    }

    NTSTATUS Unlink(const wchar_t *link)
    {
        UNICODE_STRING l = U(link);
        return IoDeleteSymbolicLink(&l);
    }

    DEVICE_OBJECT port_{};
    DEVICE_OBJECT other_{};
};

TEST_F(NamespaceTest, LinksLeadToTheNamedDeviceUnderEverySpelling)
{
    ASSERT_EQ(STATUS_SUCCESS, km::detail::InsertDeviceName(U(L"\\Device\\ZQEVDODIAG1"), &port_));
    ASSERT_EQ(STATUS_SUCCESS, Link(L"\\DosDevices\\COM7", L"\\Device\\ZQEVDODIAG1"));

    EXPECT_EQ(u"\\Device\\ZQEVDODIAG1", km::LinkTarget(L"\\??\\com7"));
    EXPECT_EQ(&port_, ResolveName(u"\\??\\COM7"));
    EXPECT_EQ(&port_, ResolveName(u"\\\\.\\com7"));
    EXPECT_EQ(&port_, ResolveName(u"\\device\\zqevdodiag1"));

    // A link to a link is followed; one to nothing leads nowhere.
    ASSERT_EQ(STATUS_SUCCESS, Link(L"\\??\\MODEM", L"\\DosDevices\\COM7"));
    EXPECT_EQ(&port_, ResolveName(u"\\??\\MODEM"));
    ASSERT_EQ(STATUS_SUCCESS, Link(L"\\??\\COM9", L"\\Device\\Nothing"));
    EXPECT_EQ(nullptr, ResolveName(u"\\??\\COM9"));

    // When the device goes its links dangle but stay.
    km::detail::RemoveDeviceName(&port_);
    EXPECT_EQ(nullptr, ResolveName(u"\\??\\COM7"));
    EXPECT_EQ(u"\\Device\\ZQEVDODIAG1", km::LinkTarget(L"\\DosDevices\\COM7"));
    EXPECT_EQ(STATUS_SUCCESS, Unlink(L"\\DosDevices\\COM7"));
    EXPECT_EQ(STATUS_SUCCESS, Unlink(L"\\??\\MODEM"));
    EXPECT_EQ(STATUS_SUCCESS, Unlink(L"\\??\\COM9"));
}

TEST_F(NamespaceTest, TakenNamesCollideAndMissingLinksAreNotFound)
{
    ASSERT_EQ(STATUS_SUCCESS, km::detail::InsertDeviceName(U(L"\\Device\\Serial0"), &other_));
    EXPECT_EQ(STATUS_OBJECT_NAME_COLLISION, km::detail::InsertDeviceName(U(L"\\DEVICE\\SERIAL0"), &port_));

    // Someone else's COM7: a second link of that name, however spelt, is refused
    // and the first one is untouched.
    km::CreateLink(L"\\DosDevices\\COM7", L"\\Device\\Serial0");
    EXPECT_EQ(STATUS_OBJECT_NAME_COLLISION, Link(L"\\??\\COM7", L"\\Device\\ZQEVDODIAG1"));
    EXPECT_EQ(STATUS_OBJECT_NAME_COLLISION, Link(L"\\DosDevices\\com7", L"\\Device\\ZQEVDODIAG1"));
    EXPECT_EQ(&other_, ResolveName(u"\\??\\COM7"));

    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, Unlink(L"\\DosDevices\\COM8"));
    EXPECT_EQ(STATUS_OBJECT_TYPE_MISMATCH, Unlink(L"\\Device\\Serial0"));
    EXPECT_EQ(&other_, ResolveName(u"\\Device\\Serial0"));
    EXPECT_EQ(STATUS_SUCCESS, Unlink(L"\\??\\COM7"));
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, Unlink(L"\\DosDevices\\COM7"));
    EXPECT_EQ(u"", km::LinkTarget(L"\\DosDevices\\COM7"));
    km::detail::RemoveDeviceName(&other_);
}

TEST_F(NamespaceTest, InjectedFailuresLeaveTheNamespaceAsItWas)
{
    km::FailCall("IoCreateUnprotectedSymbolicLink", 1, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, Link(L"\\DosDevices\\COM7", L"\\Device\\X"));
    EXPECT_EQ(u"", km::LinkTarget(L"\\DosDevices\\COM7"));

    UNICODE_STRING link = U(L"\\DosDevices\\COM7");
    UNICODE_STRING target = U(L"\\Device\\X");
    km::FailCall("IoCreateSymbolicLink", 1, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, IoCreateSymbolicLink(&link, &target));
    ASSERT_EQ(STATUS_SUCCESS, IoCreateSymbolicLink(&link, &target));

    km::FailCall("IoDeleteSymbolicLink", 1, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, Unlink(L"\\DosDevices\\COM7"));
    EXPECT_EQ(u"\\Device\\X", km::LinkTarget(L"\\DosDevices\\COM7"));
    EXPECT_EQ(STATUS_SUCCESS, Unlink(L"\\DosDevices\\COM7"));
}

// A link opened as a symbolic-link object reports its target, under any
// spelling of its name; only links open so, and the handle goes with ZwClose.
TEST_F(NamespaceTest, LinkObjectsOpenByNameAndReportTheirTarget)
{
    ASSERT_EQ(STATUS_SUCCESS, km::detail::InsertDeviceName(U(L"\\Device\\Serial0"), &other_));
    ASSERT_EQ(STATUS_SUCCESS, Link(L"\\DosDevices\\COM7", L"\\Device\\Serial0"));
    auto open = [](const wchar_t *name, HANDLE *handle) {
        UNICODE_STRING text = U(name);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
        return ZwOpenSymbolicLinkObject(handle, SYMBOLIC_LINK_QUERY, &attributes);
    };
    HANDLE handle = nullptr;
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, open(L"\\DosDevices\\COM8", &handle));
    EXPECT_EQ(STATUS_OBJECT_TYPE_MISMATCH, open(L"\\Device\\Serial0", &handle));
    ASSERT_EQ(STATUS_SUCCESS, open(L"\\??\\com7", &handle));

    WCHAR small[4];
    UNICODE_STRING target = {0, sizeof(small), small};
    ULONG needed = 0;
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, ZwQuerySymbolicLinkObject(handle, &target, &needed));
    EXPECT_EQ(sizeof(u"\\Device\\Serial0"), needed);
    WCHAR buffer[32];
    target = {0, sizeof(buffer), buffer};
    ASSERT_EQ(STATUS_SUCCESS, ZwQuerySymbolicLinkObject(handle, &target, &needed));
    EXPECT_EQ(u"\\Device\\Serial0", km::Wide(target));
    EXPECT_EQ(0, buffer[target.Length / sizeof(WCHAR)]);
    EXPECT_EQ(STATUS_SUCCESS, ZwClose(handle));
    EXPECT_EQ(STATUS_SUCCESS, Unlink(L"\\DosDevices\\COM7"));
    km::detail::RemoveDeviceName(&other_);
}

} // namespace
