#include "tests/support/modem_port_fixture.h"

#include <gtest/gtest.h>

#include <vector>

void ModemPortFixture::SetUp()
{
    PortFixture::SetUp();
    BringUp();
}

void ModemPortFixture::BringUp()
{
    busImage = km::LoadDriver(ZQ_MODEM_SIM_PATH, L"zqmodemsim");
    ASSERT_EQ(STATUS_SUCCESS, busImage->entryStatus);
    modem_ = std::make_unique<ModemClient>(busImage);
    // No function driver is registered for the child: it stays unstarted
    // until its hardware key holds what the port's INF writes there.
    root = km::CreateRootDevice(busImage);
    ASSERT_EQ(STATUS_SUCCESS, modem_->CompleteInline(completeInline));
    std::vector<PDEVICE_OBJECT> children = km::Children(root);
    ASSERT_EQ(1u, children.size());
    static const char16_t portName[] = u"COM7";
    km::SetDeviceValue(children[0], L"PortName", REG_SZ, portName, sizeof(portName));

    if (observeBelowPort) {
        AttachObserver(children[0]);
    }
    LoadPortDriver();
    ASSERT_EQ(STATUS_SUCCESS, image->entryStatus);
    ASSERT_NE(nullptr, AddPortOn(children[0]));
    ASSERT_EQ(STATUS_SUCCESS, km::StartDevice(pdo));
    ASSERT_EQ(Started, ext->PnpState);
}

// A filter as a lower filter driver would be: every request goes on to the
// child unchanged; at the removal it leaves the stack with the child.
void ModemPortFixture::AttachObserver(PDEVICE_OBJECT child)
{
    PDRIVER_OBJECT driver = km::CreateFakeDriver(L"Observer");
    auto forward = [this, child](PDEVICE_OBJECT self, PIRP irp) -> NTSTATUS {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        UCHAR major = stack->MajorFunction;
        bool removal = major == IRP_MJ_PNP && stack->MinorFunction == IRP_MN_REMOVE_DEVICE;
        observeBelowPort(irp);
        if (holdBelowPort && holdBelowPort(irp)) {
            IoMarkIrpPending(irp);
            held.push_back(irp);
            return STATUS_PENDING;
        }
        NTSTATUS status;
        if (major == IRP_MJ_POWER) {
            PoStartNextPowerIrp(irp);
            IoSkipCurrentIrpStackLocation(irp);
            status = PoCallDriver(child, irp);
        } else {
            IoSkipCurrentIrpStackLocation(irp);
            status = IoCallDriver(child, irp);
        }
        if (removal) {
            IoDetachDevice(child);
            IoDeleteDevice(self);
        }
        return status;
    };
    belowPort_ = child;
    km::Run([&] {
        PDEVICE_OBJECT filter = km::CreateFakeDevice(driver, 0, forward);
        ASSERT_EQ(child, IoAttachDeviceToDeviceStack(filter, child));
        filter->Flags |= child->Flags & DO_POWER_PAGABLE;
        filter->Flags &= ~DO_DEVICE_INITIALIZING;
    });
}

void ModemPortFixture::ReleaseHeld()
{
    std::vector<PIRP> requests;
    requests.swap(held);
    km::Run([&] {
        // The filter's location is marked pending: the child gets a copy of
        // its own.
        for (PIRP irp : requests) {
            IoCopyCurrentIrpStackLocationToNext(irp);
            if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_POWER) {
                PoStartNextPowerIrp(irp);
                PoCallDriver(belowPort_, irp);
            } else {
                IoCallDriver(belowPort_, irp);
            }
        }
    });
}

void ModemPortFixture::TakeAllDown()
{
    if (handle != nullptr) {
        Close();
    }
    if (image != nullptr) {
        UnloadPortDriver();
    }
    TearDownBus();
}

void ModemPortFixture::TearDown()
{
    TakeAllDown();
    KernelTest::TearDown();
}

void ModemPortFixture::TakeDown(PDEVICE_OBJECT port)
{
    PDEVICE_OBJECT child = GetExtension(port)->Pdo;
    if (km::DeviceExists(child)) {
        EXPECT_EQ(STATUS_SUCCESS, km::RemoveDevice(child));
    }
    EXPECT_FALSE(km::DeviceExists(port));
}

// As the PnP manager does: the children's stacks go before their parent's.
void ModemPortFixture::TearDownBus()
{
    if (root != nullptr && km::DeviceExists(root)) {
        EXPECT_EQ(STATUS_SUCCESS, km::RemoveDevice(root));
    }
    if (busImage != nullptr) {
        km::UnloadDriver(busImage);
    }
    busImage = nullptr;
    root = nullptr;
    modem_.reset();
}

NTSTATUS ModemPortFixture::Open()
{
    return km::Open(PortLink, &handle);
}

NTSTATUS ModemPortFixture::OpenAnother(km::Handle **another)
{
    return km::Open(PortLink, another);
}

// A request whose application thread the verifier stopped never comes back:
// the test goes on with a request that never completes, and fails with the
// rule that was broken.
static km::Request *Issued(km::Request *request)
{
    if (request == nullptr) {
        ADD_FAILURE() << "the application's call did not return";
        static km::Request lost;
        return &lost;
    }
    return request;
}

km::Request *ModemPortFixture::Read(ULONG length)
{
    km::Request *request = nullptr;
    km::Run([&] { request = km::ReadAsync(handle, length); }, "application");
    return Issued(request);
}

km::Request *ModemPortFixture::ReadAndWait(ULONG length)
{
    km::Request *request = nullptr;
    km::Run(
        [&] {
            request = km::ReadAsync(handle, length);
            km::Wait(request);
        },
        "application");
    return Issued(request);
}

bool ModemPortFixture::Cancel(km::Request *request)
{
    bool ran = false;
    km::Run([&] { ran = km::Cancel(request) != FALSE; }, "application");
    return ran;
}

km::Request *ModemPortFixture::Flush()
{
    km::Request *request = nullptr;
    km::Run([&] { request = km::MajorAsync(handle, IRP_MJ_FLUSH_BUFFERS); }, "application");
    return Issued(request);
}

NTSTATUS ModemPortFixture::Cleanup()
{
    return km::Cleanup(handle);
}

NTSTATUS ModemPortFixture::Close()
{
    NTSTATUS status = km::Close(handle);
    handle = nullptr;
    return status;
}

km::Request *ModemPortFixture::Write(const std::string &bytes)
{
    km::Request *request = nullptr;
    km::Run([&] { request = km::WriteAsync(handle, bytes.data(), static_cast<ULONG>(bytes.size())); }, "application");
    return Issued(request);
}

km::Request *ModemPortFixture::Control(ULONG code, const void *input, ULONG inLength, ULONG outLength)
{
    km::Request *request = nullptr;
    km::Run([&] { request = km::IoctlAsync(handle, code, input, inLength, outLength); }, "application");
    return Issued(request);
}

std::string ModemPortFixture::Pattern(size_t length, unsigned seed)
{
    std::string bytes(length, '\0');
    for (size_t i = 0; i < length; ++i) {
        bytes[i] = static_cast<char>((i * 7 + seed * 13 + i / 251) & 0xFF);
    }
    return bytes;
}

std::map<std::string, int>
ModemPortFixture::ForEachSeed(int seeds, const std::function<std::string(uint64_t seed)> &scenario, size_t kinds)
{
    std::map<std::string, int> seen;
    RunSeeds(
        seeds,
        [&](uint64_t seed) {
            BringUp();
            ASSERT_EQ(STATUS_SUCCESS, Open());
            km::RunUntilIdle();
            ++seen[scenario(seed)];
            TakeAllDown();
        },
        [&] { return kinds != 0 && seen.size() >= kinds; });
    return seen;
}

void ModemPortFixture::Wait(km::Request *request)
{
    km::Run([&] { km::Wait(request); }, "application");
}

void ModemPortFixture::SetReadTimeouts(ULONG interval, ULONG multiplier, ULONG constant)
{
    UnderLock([&] {
        ext->Timeouts.ReadIntervalTimeout = interval;
        ext->Timeouts.ReadTotalTimeoutMultiplier = multiplier;
        ext->Timeouts.ReadTotalTimeoutConstant = constant;
    });
}

void ModemPortFixture::Send(const std::string &bytes)
{
    ASSERT_EQ(STATUS_SUCCESS, modem_->Queue(bytes));
    km::RunUntilIdle();
}

std::string CompletionModeName(const ::testing::TestParamInfo<bool> &info)
{
    return info.param ? "Inline" : "FromDpc";
}
