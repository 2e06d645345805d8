// The model's registry as drivers use it: the device key of a PDO queried with
// ZwQueryValueKey, and device-map values written and deleted by path.
#include "tests/support/kernel_test.h"

#include <km/harness.h>

#include <cstring>
#include <vector>

namespace {

class RegistryTest : public KernelTest {
protected:
    HANDLE OpenDeviceKey(ACCESS_MASK access = KEY_READ)
    {
        HANDLE key = nullptr;
        EXPECT_EQ(STATUS_SUCCESS, IoOpenDeviceRegistryKey(pdo_, PLUGPLAY_REGKEY_DEVICE, access, &key));
        return key;
    }

    // Queries "PortName" into a block of `size` bytes, pre-filled with 0xCC.
    NTSTATUS QueryPortName(HANDLE key, ULONG size, KEY_VALUE_INFORMATION_CLASS kind = KeyValueFullInformation)
    {
        block_.assign(size + 8, 0xCC);
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, L"PortName");
        resultLength_ = 0;
        return ZwQueryValueKey(key, &name, kind, block_.data(), size, &resultLength_);
    }

    static NTSTATUS WriteSerialComm(const wchar_t *name, const wchar_t *text)
    {
        ULONG bytes = 2;
        for (const wchar_t *p = text; *p != 0; ++p) {
            bytes += 2;
        }
        return RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", name, REG_SZ, const_cast<wchar_t *>(text),
                                     bytes);
    }

    const KEY_VALUE_FULL_INFORMATION *Full() const
    {
        return reinterpret_cast<const KEY_VALUE_FULL_INFORMATION *>(block_.data());
    }

    void SetUp() override
    {
        KernelTest::SetUp();
        pdo_ = km::CreatePdo();
    }

    PDEVICE_OBJECT pdo_ = nullptr;

    std::vector<uint8_t> block_;
    ULONG resultLength_ = 0;
};

// The driver's block for a 128-byte name: 16 + 128 + 24 = 168 bytes.
const ULONG DriverBlock = 168;

TEST_F(RegistryTest, FullInformationPutsNameAt20AndDataAt36)
{
    static const wchar_t com7[] = L"COM7"; // 10 bytes with the terminator
    km::SetDeviceValue(pdo_, L"PortName", REG_SZ, com7, sizeof com7);
    HANDLE key = OpenDeviceKey();

    ASSERT_EQ(STATUS_SUCCESS, QueryPortName(key, DriverBlock));
    EXPECT_EQ(36u + 10u, resultLength_);
    EXPECT_EQ(0u, Full()->TitleIndex);
    EXPECT_EQ(ULONG(REG_SZ), Full()->Type);
    EXPECT_EQ(36u, Full()->DataOffset);
    EXPECT_EQ(10u, Full()->DataLength);
    EXPECT_EQ(16u, Full()->NameLength);
    EXPECT_EQ(0, std::memcmp(block_.data() + 20, L"PortName", 16));
    EXPECT_EQ(0, std::memcmp(block_.data() + 36, com7, 10));
    EXPECT_EQ(0xCC, block_[46]) << "nothing is written past the record";

    // The name is found without regard to case and reported as it was written.
    UNICODE_STRING other;
    RtlInitUnicodeString(&other, L"PORTNAME");
    ULONG length = 0;
    EXPECT_EQ(STATUS_SUCCESS,
              ZwQueryValueKey(key, &other, KeyValueFullInformation, block_.data(), DriverBlock, &length));
    EXPECT_EQ(0, std::memcmp(block_.data() + 20, L"PortName", 16));
    EXPECT_EQ(STATUS_SUCCESS, ZwClose(key));
}

TEST_F(RegistryTest, DataThatDoesNotFitIsCutAndReportedAsOverflow)
{
    std::vector<uint8_t> data(134);
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<uint8_t>(i + 1);
    }
    HANDLE key = OpenDeviceKey();

    // 132 bytes of data is the most the driver's block holds.
    km::SetDeviceValue(pdo_, L"PortName", REG_SZ, data.data(), 132);
    EXPECT_EQ(STATUS_SUCCESS, QueryPortName(key, DriverBlock));
    EXPECT_EQ(DriverBlock, resultLength_);

    km::SetDeviceValue(pdo_, L"PortName", REG_SZ, data.data(), 134);
    EXPECT_EQ(STATUS_BUFFER_OVERFLOW, QueryPortName(key, DriverBlock));
    EXPECT_EQ(170u, resultLength_);
    EXPECT_EQ(134u, Full()->DataLength) << "the header tells the full size";
    EXPECT_EQ(0, std::memcmp(block_.data() + 36, data.data(), 132));
    EXPECT_EQ(0xCC, block_[DriverBlock]);

    // Only the fixed part fits: header, no name.
    EXPECT_EQ(STATUS_BUFFER_OVERFLOW, QueryPortName(key, 20));
    EXPECT_EQ(16u, Full()->NameLength);
    EXPECT_EQ(0xCC, block_[20]);

    // Not even that: nothing written, the size needed reported.
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, QueryPortName(key, 19));
    EXPECT_EQ(170u, resultLength_);
    EXPECT_EQ(0xCC, block_[0]);
    EXPECT_EQ(STATUS_SUCCESS, ZwClose(key));
}

TEST_F(RegistryTest, MissingEmptyAndOtherClassesOfValue)
{
    HANDLE key = OpenDeviceKey();
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, QueryPortName(key, DriverBlock));

    km::SetDeviceValue(pdo_, L"PortName", REG_SZ, nullptr, 0);
    EXPECT_EQ(STATUS_SUCCESS, QueryPortName(key, DriverBlock));
    EXPECT_EQ(0xFFFFFFFFu, Full()->DataOffset);
    EXPECT_EQ(20u + 16u, resultLength_);

    static const ULONG number = 7;
    km::SetDeviceValue(pdo_, L"PortName", REG_DWORD, &number, sizeof number);
    ASSERT_EQ(STATUS_SUCCESS, QueryPortName(key, 64, KeyValuePartialInformation));
    auto *partial = reinterpret_cast<const KEY_VALUE_PARTIAL_INFORMATION *>(block_.data());
    EXPECT_EQ(ULONG(REG_DWORD), partial->Type);
    EXPECT_EQ(4u, partial->DataLength);
    EXPECT_EQ(16u, resultLength_);
    EXPECT_EQ(0, std::memcmp(partial->Data, &number, 4));

    // A name of six bytes: the data starts at the next multiple of four.
    km::SetDeviceValue(pdo_, L"Odd", REG_DWORD, &number, sizeof number);
    UNICODE_STRING odd;
    RtlInitUnicodeString(&odd, L"Odd");
    ULONG length = 0;
    ASSERT_EQ(STATUS_SUCCESS, ZwQueryValueKey(key, &odd, KeyValueFullInformation, block_.data(), 64, &length));
    EXPECT_EQ(28u, Full()->DataOffset);
    EXPECT_EQ(32u, length);

    km::DeleteDeviceValue(pdo_, L"portname");
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, QueryPortName(key, DriverBlock));
    EXPECT_EQ(STATUS_SUCCESS, ZwClose(key));
    EXPECT_EQ(0u, km::OpenKeyHandles());
}

// Windows lets a kernel caller query through a handle without query access;
// Wine does not. The model refuses and names the fault.
TEST_F(RegistryTest, QueryWithoutQueryAccessIsRefused)
{
    km::SetDeviceValue(pdo_, L"PortName", REG_SZ, L"COM7", 10);
    HANDLE key = OpenDeviceKey(STANDARD_RIGHTS_READ);
    EXPECT_EQ(STATUS_ACCESS_DENIED, QueryPortName(key, DriverBlock));
    EXPECT_TRUE(km::HasViolation("REGISTRY_ACCESS"));
    km::ClearViolations();

    HANDLE generic = OpenDeviceKey(GENERIC_READ);
    EXPECT_EQ(STATUS_SUCCESS, QueryPortName(generic, DriverBlock));
    EXPECT_EQ(STATUS_SUCCESS, ZwClose(generic));
    EXPECT_EQ(STATUS_SUCCESS, ZwClose(key));
}

TEST_F(RegistryTest, HandleLeftOpenAtShutdownIsALeak)
{
    OpenDeviceKey();
    km::Shutdown();
    EXPECT_TRUE(km::HasViolation("HANDLE_LEAK"));
    km::ClearViolations();
    km::Boot();
}

TEST_F(RegistryTest, DeviceMapValuesAreWrittenAndDeletedByPath)
{
    static const wchar_t value[] = L"COM7\0"; // two terminating zeros: 12 bytes
    EXPECT_EQ(STATUS_SUCCESS, RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", L"\\Device\\X1", REG_SZ,
                                                    const_cast<wchar_t *>(value), 12));
    std::vector<uint8_t> data;
    ULONG type = REG_NONE;
    ASSERT_TRUE(km::GetDeviceMapValue(L"serialcomm", L"\\DEVICE\\x1", &data, &type));
    EXPECT_EQ(ULONG(REG_SZ), type);
    ASSERT_EQ(12u, data.size());
    EXPECT_EQ(0, std::memcmp(data.data(), value, 12));

    // The same key reached by its absolute path.
    EXPECT_EQ(STATUS_SUCCESS,
              RtlDeleteRegistryValue(RTL_REGISTRY_ABSOLUTE, L"\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\SERIALCOMM",
                                     L"\\Device\\X1"));
    EXPECT_FALSE(km::GetDeviceMapValue(L"SERIALCOMM", L"\\Device\\X1", &data));
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND,
              RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", L"\\Device\\X1"));
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"NOSUCHKEY", L"X"));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, RtlWriteRegistryValue(RTL_REGISTRY_MAXIMUM, L"X", L"Y", REG_SZ, nullptr, 0));
}

TEST_F(RegistryTest, InjectedFailuresReturnTheirStatusAndChangeNothing)
{
    km::SetDeviceValue(pdo_, L"PortName", REG_SZ, L"COM7", 10);
    HANDLE key = nullptr;
    km::FailCall("IoOpenDeviceRegistryKey", 1, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, IoOpenDeviceRegistryKey(pdo_, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key));
    EXPECT_EQ(0u, km::OpenKeyHandles());

    key = OpenDeviceKey();
    km::FailCall("ZwQueryValueKey", 1, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, QueryPortName(key, DriverBlock));
    EXPECT_EQ(STATUS_SUCCESS, QueryPortName(key, DriverBlock));
    EXPECT_EQ(STATUS_SUCCESS, ZwClose(key));

    km::FailCall("RtlWriteRegistryValue", 1, STATUS_ACCESS_DENIED);
    EXPECT_EQ(STATUS_ACCESS_DENIED, WriteSerialComm(L"A", L"B"));
    EXPECT_FALSE(km::GetDeviceMapValue(L"SERIALCOMM", L"A", nullptr));

    ASSERT_EQ(STATUS_SUCCESS, WriteSerialComm(L"A", L"B"));
    km::FailCall("RtlDeleteRegistryValue", 1, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", L"A"));
    EXPECT_TRUE(km::GetDeviceMapValue(L"SERIALCOMM", L"A", nullptr));
    EXPECT_EQ(STATUS_SUCCESS, RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", L"A"));
}

TEST_F(RegistryTest, RegistryRoutinesArePassiveLevelOnly)
{
    km::Run([&] {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        HANDLE key = nullptr;
        IoOpenDeviceRegistryKey(pdo_, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key);
        // The verifier stops this context at the call above.
        ADD_FAILURE() << "returned from a registry call at DISPATCH_LEVEL";
    });
    EXPECT_TRUE(km::HasViolation("IRQL"));
    km::ClearViolations();
}

} // namespace
