// The loader, the I/O manager's handles and the PnP and power managers, seen
// from a test: what a driver image and an application observe.
#include "tests/kernel_model/fake_stack.h"
#include "tests/support/kernel_test.h"

#include <dlfcn.h>

#include <algorithm>

namespace {

class ManagerTest : public KernelTest {};

TEST_F(ManagerTest, EachLoadStartsFromFreshGlobalsAndUnloadCallsDriverUnload)
{
    for (int round = 0; round < 2; ++round) {
        km::Image *image = km::LoadDriver(KM_TEST_DRIVER, L"kmtest");
        ASSERT_EQ(image->entryStatus, STATUS_SUCCESS);
        EXPECT_EQ(*km::SymbolAs<LONG>(image, "LoadCount"), 1) << "round " << round;
        EXPECT_EQ(km::Narrow(km::Wide(km::SymbolAs<WCHAR>(image, "RegistryPathSeen"))),
                  "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\kmtest");
        PDEVICE_OBJECT pdo = km::CreatePdo();
        ASSERT_EQ(km::AddDevice(image, pdo), STATUS_SUCCESS);
        PDEVICE_OBJECT fdo = km::TopOfStack(pdo);
        EXPECT_NE(fdo, pdo);
        EXPECT_EQ(fdo->StackSize, 2);
        EXPECT_EQ(km::StartDevice(pdo), STATUS_SUCCESS);
        // A major function the image left alone fails in the I/O manager's routine.
        EXPECT_NE(image->driver->MajorFunction[IRP_MJ_READ], nullptr);
        km::Request *read = km::NewRequest(fdo, IRP_MJ_READ, 0, nullptr, 0, 4);
        km::Run([read] { EXPECT_EQ(km::Dispatch(read), STATUS_INVALID_DEVICE_REQUEST); });
        EXPECT_EQ(read->status, STATUS_INVALID_DEVICE_REQUEST);
        EXPECT_EQ(km::RemoveDevice(pdo), STATUS_SUCCESS);
        EXPECT_FALSE(km::DeviceExists(fdo)) << "the driver deleted its device at removal";
        EXPECT_FALSE(km::DeviceExists(pdo)) << "the model's PDO goes once the stack is gone";
        // DriverUnload runs before the image is closed; watch it through the
        // image's own counter, read just before the close by a second handle.
        void *keep = dlopen(KM_TEST_DRIVER, RTLD_NOW | RTLD_LOCAL);
        km::UnloadDriver(image);
        EXPECT_EQ(*static_cast<LONG *>(dlsym(keep, "UnloadCount")), 1);
        dlclose(keep);
    }

    km::Shutdown();
    km::Options noWdm;
    noWdm.wdm10 = false;
    km::Boot(noWdm);
    km::Image *refused = km::LoadDriver(KM_TEST_DRIVER, L"kmtest");
    EXPECT_EQ(refused->entryStatus, STATUS_NOT_SUPPORTED);
    km::UnloadDriver(refused);
}

// A named exclusive device: the second open is refused before the driver
// sees it; closing sends cleanup, and close only after the handle's
// requests have ended. Reads get a system buffer only from a device that
// asked for buffered I/O.
TEST_F(ManagerTest, HandlesOpenExclusivelyAndCloseAfterTheirRequests)
{
    static std::vector<UCHAR> majors;
    static PIRP pendingRead;
    majors.clear();
    pendingRead = nullptr;
    PDRIVER_OBJECT driver = km::CreateFakeDriver(L"Port");
    PDEVICE_OBJECT device = nullptr;
    km::Run([&] {
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, L"\\Device\\KmPort0");
        ASSERT_EQ(IoCreateDevice(driver, 0, &name, FILE_DEVICE_SERIAL_PORT, 0, TRUE, &device), STATUS_SUCCESS);
        EXPECT_TRUE(device->Flags & DO_DEVICE_INITIALIZING);
        EXPECT_TRUE(device->Flags & DO_EXCLUSIVE);
    });
    km::Handle *early = nullptr;
    EXPECT_EQ(km::Open(L"\\Device\\KmPort0", &early), STATUS_NO_SUCH_DEVICE) << "still initialising";
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    km::SetHandler(device, [](PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
        majors.push_back(location->MajorFunction);
        EXPECT_NE(location->FileObject, nullptr);
        if (location->MajorFunction == IRP_MJ_READ) {
            IoMarkIrpPending(irp);
            pendingRead = irp;
            return STATUS_PENDING;
        }
        return CompleteWith(irp, STATUS_SUCCESS);
    });
    km::Handle *first = nullptr;
    km::Handle *second = nullptr;
    ASSERT_EQ(km::Open(L"\\Device\\KmPort0", &first), STATUS_SUCCESS);
    EXPECT_EQ(km::Open(L"\\Device\\KmPort0", &second), STATUS_ACCESS_DENIED);
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(km::Open(L"\\Device\\NoSuchPort", &second), STATUS_OBJECT_NAME_NOT_FOUND);
    km::Request *unbuffered = km::ReadAsync(first, 3);
    ASSERT_EQ(pendingRead->AssociatedIrp.SystemBuffer, nullptr);
    ASSERT_NE(pendingRead->UserBuffer, nullptr);
    static_cast<char *>(pendingRead->UserBuffer)[0] = 'u';
    km::Run([] { CompleteWith(pendingRead, STATUS_SUCCESS, 1); });
    EXPECT_EQ(unbuffered->output, (std::vector<uint8_t>{'u'})) << "the driver wrote the caller's buffer itself";

    device->Flags |= DO_BUFFERED_IO;
    km::Request *read = km::ReadAsync(first, 5);
    EXPECT_FALSE(read->completed);
    EXPECT_EQ(pendingRead->UserBuffer, nullptr);

    // The driver completes the read only after cleanup has been seen.
    km::Spawn(
        [] {
            while (majors.back() != IRP_MJ_CLEANUP) {
                LARGE_INTEGER ms;
                ms.QuadPart = -10000;
                KeDelayExecutionThread(KernelMode, FALSE, &ms);
            }
            static_cast<char *>(pendingRead->AssociatedIrp.SystemBuffer)[0] = 'z';
            CompleteWith(pendingRead, STATUS_SUCCESS, 1);
        },
        "driver");
    EXPECT_EQ(km::Close(first), STATUS_SUCCESS);
    EXPECT_EQ(majors, (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_READ, IRP_MJ_READ, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
    EXPECT_EQ(read->output, (std::vector<uint8_t>{'z'}));
    ASSERT_EQ(km::Open(L"\\Device\\KmPort0", &second), STATUS_SUCCESS) << "the port is free again";

    // Cleanup alone, then a request that was on its way, then the close.
    majors.clear();
    EXPECT_EQ(km::Cleanup(second), STATUS_SUCCESS);
    EXPECT_EQ(km::Cleanup(second), STATUS_INVALID_HANDLE);
    km::Request *late = km::ReadAsync(second, 1);
    km::Run([] { CompleteWith(pendingRead, STATUS_SUCCESS, 0); });
    EXPECT_TRUE(late->completed);
    EXPECT_EQ(km::Close(second), STATUS_SUCCESS);
    EXPECT_EQ(majors, (std::vector<UCHAR>{IRP_MJ_CLEANUP, IRP_MJ_READ, IRP_MJ_CLOSE}));
    km::Run([&] { IoDeleteDevice(device); });
}

// Writes, controls and other majors on a handle: a buffered device finds a
// write's data in the system buffer and nothing comes back; a METHOD_BUFFERED
// control gets its input there and returns exactly Information bytes; a major
// the driver has no routine for fails in the I/O manager.
TEST_F(ManagerTest, HandleRequestsCarryTheirBuffers)
{
    static const ULONG kReverse = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);
    static std::vector<uint8_t> written;
    written.clear();
    PDRIVER_OBJECT driver = km::CreateFakeDriver(L"Echo");
    PDEVICE_OBJECT device = km::CreateFakeDevice(
        driver, 0,
        [](PDEVICE_OBJECT, PIRP irp) {
            PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
            uint8_t *buffer = static_cast<uint8_t *>(irp->AssociatedIrp.SystemBuffer);
            if (location->MajorFunction == IRP_MJ_WRITE) {
                EXPECT_EQ(irp->UserBuffer, nullptr);
                written.assign(buffer, buffer + location->Parameters.Write.Length);
                return CompleteWith(irp, STATUS_SUCCESS, location->Parameters.Write.Length);
            }
            if (location->MajorFunction != IRP_MJ_DEVICE_CONTROL) {
                return CompleteWith(irp, STATUS_SUCCESS);
            }
            ULONG n = location->Parameters.DeviceIoControl.InputBufferLength;
            std::reverse(buffer, buffer + n); // in place, as a driver fills output
            return CompleteWith(irp, STATUS_SUCCESS, n);
        },
        L"\\Device\\KmEcho0");
    ASSERT_NE(device, nullptr);
    device->Flags |= DO_BUFFERED_IO;
    driver->MajorFunction[IRP_MJ_QUERY_INFORMATION] = nullptr;
    km::Handle *handle = nullptr;
    ASSERT_EQ(km::Open(L"\\Device\\KmEcho0", &handle), STATUS_SUCCESS);

    km::Request *write = km::WriteAsync(handle, "hello", 5);
    EXPECT_EQ(write->status, STATUS_SUCCESS);
    EXPECT_EQ(write->information, 5u);
    EXPECT_EQ(written, (std::vector<uint8_t>{'h', 'e', 'l', 'l', 'o'}));
    EXPECT_TRUE(write->output.empty()) << "a write copies nothing back";

    km::Request *ioctl = km::IoctlAsync(handle, kReverse, "abc", 3, 8);
    EXPECT_EQ(ioctl->status, STATUS_SUCCESS);
    EXPECT_EQ(ioctl->output, (std::vector<uint8_t>{'c', 'b', 'a'})) << "Information bytes, not the whole buffer";
    // No output buffer: nothing is copied back, whatever Information says.
    EXPECT_TRUE(km::IoctlAsync(handle, kReverse, "abc", 3, 0)->output.empty());
    EXPECT_EQ(km::MajorAsync(handle, IRP_MJ_QUERY_INFORMATION)->status, STATUS_INVALID_DEVICE_REQUEST);

    EXPECT_EQ(km::Close(handle), STATUS_SUCCESS);
    EXPECT_EQ(km::WriteAsync(handle, "x", 1)->status, STATUS_INVALID_HANDLE);
    km::Run([&] { IoDeleteDevice(device); });
}

struct PowerSeen {
    int calls = 0;
    NTSTATUS status = STATUS_PENDING;
    POWER_STATE state{};
    UCHAR minor = 0xff;
};

VOID NTAPI PowerDone(PDEVICE_OBJECT, UCHAR minor, POWER_STATE state, PVOID context, PIO_STATUS_BLOCK status)
{
    PowerSeen *seen = static_cast<PowerSeen *>(context);
    seen->calls++;
    seen->minor = minor;
    seen->state = state;
    seen->status = status->Status;
}

TEST_F(ManagerTest, PowerRequestsReachTheStackAndCallBack)
{
    static UCHAR sentMinor;
    static POWER_STATE sentState;
    PowerSeen seen;
    FakeStack s = MakeStack(nullptr, nullptr);
    km::SetHandler(s.upper, [](PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
        sentMinor = location->MinorFunction;
        sentState = location->Parameters.Power.State;
        EXPECT_EQ(location->Parameters.Power.Type, DevicePowerState);
        PoStartNextPowerIrp(irp);
        return CompleteWith(irp, STATUS_SUCCESS);
    });
    POWER_STATE d3;
    d3.DeviceState = PowerDeviceD3;
    km::Run([&] {
        EXPECT_EQ(PoRequestPowerIrp(s.pdo, IRP_MN_SET_POWER, d3, PowerDone, &seen, nullptr), STATUS_PENDING);
        EXPECT_EQ(seen.calls, 1) << "completed at once, the request called back before PoRequestPowerIrp returned";
    });
    km::RunUntilIdle();
    EXPECT_EQ(sentMinor, IRP_MN_SET_POWER);
    EXPECT_EQ(sentState.DeviceState, PowerDeviceD3);
    EXPECT_EQ(seen.calls, 1);
    EXPECT_EQ(seen.minor, IRP_MN_SET_POWER);
    EXPECT_EQ(seen.state.DeviceState, PowerDeviceD3);
    EXPECT_EQ(seen.status, STATUS_SUCCESS);

    km::FailCall("PoRequestPowerIrp", 1, STATUS_INSUFFICIENT_RESOURCES);
    km::Run([&] {
        EXPECT_EQ(PoRequestPowerIrp(s.pdo, IRP_MN_SET_POWER, d3, PowerDone, &seen, nullptr),
                  STATUS_INSUFFICIENT_RESOURCES);
    });
    km::RunUntilIdle();
    EXPECT_EQ(seen.calls, 1) << "a refused request calls nobody back";
    EXPECT_EQ(km::CallCount("PoRequestPowerIrp"), 2);
}

// On Windows 2000/XP a device's next power request waits until
// PoStartNextPowerIrp was called for the current one; the dispatch routine of
// a device without DO_POWER_PAGABLE runs at DISPATCH_LEVEL.
TEST_F(ManagerTest, PowerRequestsOfADeviceWaitForItsPoStartNextPowerIrp)
{
    static PIRP first;
    static std::vector<KIRQL> irqls;
    first = nullptr;
    irqls.clear();
    // One record per request: once the first is started, the held second
    // one may be sent and finish before the first's own completion.
    PowerSeen seenD3, seenD0;
    FakeStack s = MakeStack(nullptr, nullptr);
    for (PDEVICE_OBJECT device : {s.pdo, s.lower, s.upper}) {
        device->Flags &= ~DO_POWER_PAGABLE;
    }
    km::SetHandler(s.upper, [](PDEVICE_OBJECT, PIRP irp) {
        irqls.push_back(KeGetCurrentIrql());
        if (first == nullptr) {
            first = irp; // kept, its next request not started yet
            IoMarkIrpPending(irp);
            return STATUS_PENDING;
        }
        PoStartNextPowerIrp(irp);
        return CompleteWith(irp, STATUS_SUCCESS);
    });
    POWER_STATE d3, d0;
    d3.DeviceState = PowerDeviceD3;
    d0.DeviceState = PowerDeviceD0;
    km::Run([&] {
        PoRequestPowerIrp(s.pdo, IRP_MN_SET_POWER, d3, PowerDone, &seenD3, nullptr);
        PoRequestPowerIrp(s.pdo, IRP_MN_SET_POWER, d0, PowerDone, &seenD0, nullptr);
    });
    km::RunUntilIdle();
    EXPECT_EQ(irqls.size(), 1u) << "the second request is held";
    km::Run([] {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        PoStartNextPowerIrp(first);
        CompleteWith(first, STATUS_SUCCESS);
        KeLowerIrql(old);
    });
    km::RunUntilIdle();
    EXPECT_EQ(irqls, (std::vector<KIRQL>{DISPATCH_LEVEL, DISPATCH_LEVEL}));
    EXPECT_EQ(seenD3.calls, 1);
    EXPECT_EQ(seenD3.state.DeviceState, PowerDeviceD3);
    EXPECT_EQ(seenD0.calls, 1);
    EXPECT_EQ(seenD0.state.DeviceState, PowerDeviceD0);

    s.upper->Flags |= DO_POWER_PAGABLE;
    km::Run([&] { PoRequestPowerIrp(s.pdo, IRP_MN_SET_POWER, d3, PowerDone, &seenD3, nullptr); });
    km::RunUntilIdle();
    EXPECT_EQ(irqls.back(), PASSIVE_LEVEL);
}

std::string Pnp(UCHAR minor)
{
    return "pnp " + std::to_string(minor);
}

// The orders of requests the PnP manager of Windows 2000/XP sends.
TEST_F(ManagerTest, PnpSequencesAreThoseOfWindows)
{
    using Seen = std::vector<std::string>;
    DeviceLog log;
    PDEVICE_OBJECT pdo = km::CreatePdo();
    PDEVICE_OBJECT fdo = AddLoggingDevice(pdo, &log);
    // A failed start is followed by a removal without a query.
    log.failPnp = {IRP_MN_START_DEVICE};
    EXPECT_EQ(km::StartDevice(pdo), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(log.seen, (Seen{Pnp(IRP_MN_START_DEVICE), Pnp(IRP_MN_REMOVE_DEVICE)}));
    EXPECT_FALSE(km::DeviceExists(fdo));
    EXPECT_TRUE(km::DeviceExists(pdo)) << "the device is still there";

    // Rebalance: stopped and started again; a vetoed query-stop is cancelled.
    log = DeviceLog();
    AddLoggingDevice(pdo, &log);
    ASSERT_EQ(km::StartDevice(pdo), STATUS_SUCCESS);
    EXPECT_EQ(km::RebalanceDevice(pdo), STATUS_SUCCESS);
    log.failPnp = {IRP_MN_QUERY_STOP_DEVICE};
    EXPECT_EQ(km::RebalanceDevice(pdo), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(log.seen,
              (Seen{Pnp(IRP_MN_START_DEVICE), Pnp(IRP_MN_QUERY_STOP_DEVICE), Pnp(IRP_MN_STOP_DEVICE),
                    Pnp(IRP_MN_START_DEVICE), Pnp(IRP_MN_QUERY_STOP_DEVICE), Pnp(IRP_MN_CANCEL_STOP_DEVICE)}));

    // Disable: query-remove and remove; the PDO stays with its bus.
    log = DeviceLog();
    EXPECT_EQ(km::DisableDevice(pdo), STATUS_SUCCESS);
    EXPECT_EQ(log.seen, (Seen{Pnp(IRP_MN_QUERY_REMOVE_DEVICE), Pnp(IRP_MN_REMOVE_DEVICE)}));
    EXPECT_TRUE(km::DeviceExists(pdo));

    // Eject: the same, then IRP_MN_EJECT to the PDO alone, which leaves.
    log = DeviceLog();
    AddLoggingDevice(pdo, &log);
    ASSERT_EQ(km::StartDevice(pdo), STATUS_SUCCESS);
    EXPECT_EQ(km::EjectDevice(pdo), STATUS_SUCCESS);
    EXPECT_EQ(log.seen, (Seen{Pnp(IRP_MN_START_DEVICE), Pnp(IRP_MN_QUERY_REMOVE_DEVICE), Pnp(IRP_MN_REMOVE_DEVICE)}));
    EXPECT_FALSE(km::DeviceExists(pdo));

    // Surprise removal: the removal waits for the last handle to close.
    PDEVICE_OBJECT other = km::CreatePdo();
    log = DeviceLog();
    AddLoggingDevice(other, &log, L"\\Device\\KmSurprise0");
    ASSERT_EQ(km::StartDevice(other), STATUS_SUCCESS);
    km::Handle *handle = nullptr;
    ASSERT_EQ(km::Open(L"\\Device\\KmSurprise0", &handle), STATUS_SUCCESS);
    EXPECT_EQ(km::SurpriseRemoveDevice(other), STATUS_SUCCESS);
    EXPECT_EQ(log.seen, (Seen{Pnp(IRP_MN_START_DEVICE), Pnp(IRP_MN_SURPRISE_REMOVAL)}));
    km::Close(handle);
    EXPECT_EQ(log.seen.back(), Pnp(IRP_MN_REMOVE_DEVICE));
    EXPECT_FALSE(km::DeviceExists(other));
}

// Windows keeps a deleted device object while it is referenced, and still
// calls its dispatch routines: the driver refuses the requests itself. A
// request holds its file object until the dispatch routine it called has
// returned, even when it completed before; only then can the close come.
TEST_F(ManagerTest, ADeletedDeviceIsStillCalledWhileAHandleIsOpen)
{
    static int reads;
    static KEVENT *gate;
    reads = 0;
    gate = nullptr;
    PDEVICE_OBJECT device = km::CreateFakeDevice(
        km::CreateFakeDriver(L"Going"), 16,
        [](PDEVICE_OBJECT self, PIRP irp) {
            if (IoGetCurrentIrpStackLocation(irp)->MajorFunction != IRP_MJ_READ) {
                return CompleteWith(irp, STATUS_SUCCESS);
            }
            reads++;
            if (gate == nullptr) {
                return CompleteWith(irp, km::DeletePending(self) ? STATUS_DELETE_PENDING : STATUS_SUCCESS);
            }
            IoMarkIrpPending(irp);
            CompleteWith(irp, STATUS_DELETE_PENDING);
            KeWaitForSingleObject(gate, Executive, KernelMode, FALSE, nullptr);
            *static_cast<int *>(self->DeviceExtension) = reads; // still its memory
            return STATUS_PENDING;
        },
        L"\\Device\\KmGoing0");
    km::Handle *handle = nullptr;
    ASSERT_EQ(km::Open(L"\\Device\\KmGoing0", &handle), STATUS_SUCCESS);
    km::Run([device] { IoDeleteDevice(device); });
    EXPECT_FALSE(km::DeviceExists(device));
    EXPECT_TRUE(km::DeletePending(device));
    km::Request *read = nullptr;
    km::Run([&] { read = km::ReadAsync(handle, 4); });
    EXPECT_EQ(reads, 1);
    EXPECT_EQ(read->Reported(), STATUS_DELETE_PENDING);
    km::Handle *again = nullptr;
    EXPECT_EQ(km::Open(L"\\Device\\KmGoing0", &again), STATUS_OBJECT_NAME_NOT_FOUND) << "the name went at once";
    KEVENT event;
    km::Run([&] { KeInitializeEvent(&event, NotificationEvent, FALSE); });
    gate = &event;
    km::Spawn([&] { km::ReadAsync(handle, 4); }, "reader");
    km::RunUntilIdle();
    km::Context *closer = km::Spawn([&] { EXPECT_EQ(km::Close(handle), STATUS_SUCCESS); }, "closer");
    km::RunUntilIdle();
    EXPECT_FALSE(km::Finished(closer)) << "the read's dispatch routine still runs";
    km::Run([&] { KeSetEvent(&event, IO_NO_INCREMENT, FALSE); });
    km::RunUntilIdle();
    EXPECT_TRUE(km::Finished(closer));
    EXPECT_FALSE(km::DeletePending(device)) << "the last reference took the object with it";
}

} // namespace

namespace {

// A bus driver reports a child; the PnP manager finds its function driver by
// hardware ID and starts it; when the bus stops reporting it, the child is
// surprise-removed and removed, and every device object goes.
TEST_F(ManagerTest, BusEnumerationStartsNewChildrenAndRemovesVanishedOnes)
{
    km::Image *bus = km::LoadDriver(KM_TEST_BUS, L"kmbus");
    km::Image *function = km::LoadDriver(KM_TEST_DRIVER, L"kmtest");
    km::RegisterFunctionDriver(L"kmtest\\child", function);
    *km::SymbolAs<LONG>(bus, "WantedChildren") = 1;
    PDEVICE_OBJECT root = km::CreateRootDevice(bus);
    std::vector<PDEVICE_OBJECT> children = km::Children(root);
    ASSERT_EQ(children.size(), 1u);
    PDEVICE_OBJECT child = children[0];
    PDEVICE_OBJECT fdo = km::TopOfStack(child);
    ASSERT_NE(fdo, child) << "the function driver was added on the child";
    EXPECT_EQ(fdo->DriverObject, function->driver);

    *km::SymbolAs<LONG>(bus, "WantedChildren") = 0;
    km::Run([root] { IoInvalidateDeviceRelations(root, BusRelations); });
    km::RunUntilIdle();
    EXPECT_TRUE(km::Children(root).empty());
    EXPECT_FALSE(km::DeviceExists(fdo));
    EXPECT_FALSE(km::DeviceExists(child)) << "the bus deleted the child it no longer reports";

    EXPECT_EQ(km::RemoveDevice(root), STATUS_SUCCESS);
    EXPECT_FALSE(km::DeviceExists(root));
    km::UnloadDriver(function);
    km::UnloadDriver(bus);
}

} // namespace

namespace {

// The PnP manager runs one operation at a time: two invalidations and a stop
// sent together reach the bus one after the other, never nested, and no
// enumeration comes between the stop's query and the stop itself. One queued
// behind the removal that deletes its PDO finds the PDO gone and leaves it
// alone, as the PnP manager, holding a reference, would.
TEST_F(ManagerTest, PnpOperationsRunOneAtATime)
{
    static int inside, deepest;
    static std::vector<UCHAR> minors;
    RunSeeds(6, [](uint64_t) {
        inside = deepest = 0;
        minors.clear();
        PDEVICE_OBJECT pdo = km::CreatePdo();
        km::SetHandler(pdo, [](PDEVICE_OBJECT, PIRP irp) {
            deepest = std::max(deepest, ++inside);
            UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
            minors.push_back(minor);
            LARGE_INTEGER ms;
            ms.QuadPart = -10000;
            KeDelayExecutionThread(KernelMode, FALSE, &ms); // the bus takes its time
            --inside;
            return CompleteWith(irp, minor == IRP_MN_QUERY_DEVICE_RELATIONS ? irp->IoStatus.Status : STATUS_SUCCESS);
        });
        km::Spawn(
            [pdo] {
                IoInvalidateDeviceRelations(pdo, BusRelations);
                IoInvalidateDeviceRelations(pdo, BusRelations);
            },
            "bus driver");
        km::Spawn([pdo] { EXPECT_EQ(km::StopDevice(pdo), STATUS_SUCCESS); }, "rebalance");
        km::AdvanceMs(100);
        EXPECT_EQ(deepest, 1);
        ASSERT_EQ(minors.size(), 4u);
        auto query = std::find(minors.begin(), minors.end(), IRP_MN_QUERY_STOP_DEVICE);
        ASSERT_NE(query, minors.end());
        ASSERT_NE(query + 1, minors.end());
        EXPECT_EQ(*(query + 1), IRP_MN_STOP_DEVICE);

        km::Spawn([pdo] { EXPECT_EQ(km::RemoveDevice(pdo), STATUS_SUCCESS); }, "removal");
        km::RunUntilIdle();
        km::Spawn([pdo] { EXPECT_EQ(km::RebalanceDevice(pdo), STATUS_NO_SUCH_DEVICE); }, "rebalance");
        km::AdvanceMs(10);
        EXPECT_EQ(minors.back(), IRP_MN_REMOVE_DEVICE);
    });
}

} // namespace
