#include "tests/support/port_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

void PortFixture::LoadPortDriver()
{
    image = km::LoadDriver(ZQ_DRIVER_PATH, L"zqevdodiag");
    ASSERT_NE(image, nullptr);
#define PORT_ROUTINE_LOOKUP(name)                                                                                      \
    port.name = km::SymbolAs<decltype(::name)>(image, #name);                                                          \
    EXPECT_NE(port.name, nullptr) << #name " is missing from the image";
    PORT_ROUTINES(PORT_ROUTINE_LOOKUP)
#undef PORT_ROUTINE_LOOKUP
}

void PortFixture::UnloadPortDriver()
{
    // A context woken by the test's last step may still be inside the driver
    // (say, returning from KeSetEvent in a completion routine); let it leave
    // before its devices and its image go.
    km::RunUntilIdle();
    // A device object deleted during the test may have left its address to a
    // later one, so each live port of this driver is taken down once.
    std::vector<PDEVICE_OBJECT> done;
    for (auto it = ports.rbegin(); it != ports.rend(); ++it) {
        PDEVICE_OBJECT port = *it;
        bool ours = km::DeviceExists(port) && port->DriverObject == image->driver;
        if (ours && std::find(done.begin(), done.end(), port) == done.end()) {
            done.push_back(port);
            TakeDown(port);
        }
    }
    ports.clear();
    if (image != nullptr) {
        km::UnloadDriver(image);
    }
    image = nullptr;
    pdo = fdo = nullptr;
    ext = nullptr;
}

void PortFixture::TearDown()
{
    if (image != nullptr) {
        UnloadPortDriver();
    }
    KernelTest::TearDown();
}

PDEVICE_OBJECT PortFixture::CreatePortPdo()
{
    return km::CreatePdo();
}

PDEVICE_OBJECT PortFixture::CreatePortPdo(const void *portName, ULONG length)
{
    PDEVICE_OBJECT bus = km::CreatePdo(6 * sizeof(void *)); // the three handles end the record
    const ULONG_PTR handles[3] = {BulkInHandle, BulkOutHandle, AuxHandle};
    for (unsigned pipe = 0; pipe < 3; ++pipe) {
        std::memcpy(static_cast<uint8_t *>(bus->DeviceExtension) + ParentPipeOffset(pipe), &handles[pipe],
                    sizeof(handles[pipe]));
    }
    km::SetDeviceValue(bus, L"PortName", REG_SZ, portName, length);
    return bus;
}

PDEVICE_OBJECT PortFixture::AddPortOn(PDEVICE_OBJECT bus)
{
    NTSTATUS status = km::AddDevice(image, bus);
    EXPECT_EQ(status, STATUS_SUCCESS);
    PDEVICE_OBJECT top = km::TopOfStack(bus);
    if (status != STATUS_SUCCESS || top == bus) {
        ADD_FAILURE() << "AddDevice attached no device";
        return nullptr;
    }
    pdo = bus;
    fdo = top;
    ext = GetExtension(fdo);
    ports.push_back(fdo);
    return fdo;
}

PDEVICE_OBJECT PortFixture::AddPort(const std::u16string &portName)
{
    return AddPortOn(CreatePortPdo(portName.c_str(), PortNameBytes(portName)));
}

void PortFixture::DeletePort(PDEVICE_OBJECT port)
{
    km::Run(
        [&] {
            PDEVICE_EXTENSION extension = GetExtension(port);
            if (extension->InterfaceName.Buffer != nullptr) {
                RtlFreeUnicodeString(&extension->InterfaceName);
            }
            if (extension->DeviceName.Buffer != nullptr) {
                ExFreePool(extension->DeviceName.Buffer);
            }
            IoFreeIrp(extension->AbortIrp);
            IoDetachDevice(extension->LowerDevice);
            IoDeleteDevice(port);
        },
        "delete port");
}

void PortFixture::UnderLock(const std::function<void()> &fn)
{
    km::Run([&] {
        KIRQL irql;
        KeAcquireSpinLock(&ext->Lock, &irql);
        fn();
        KeReleaseSpinLock(&ext->Lock, irql);
    });
}

void PassSwitchPoints(uint64_t count)
{
    LONG spin = 0;
    for (uint64_t i = 0; i < count; ++i) {
        InterlockedIncrement(&spin);
    }
}

bool SpinUntil(const std::function<bool()> &done)
{
    LONG spin = 0;
    for (int i = 0; i < 10000 && !done(); ++i) {
        InterlockedIncrement(&spin);
    }
    return done();
}

// The I/O manager cancels only a request it still holds, and keeps its own
// reference while it does: a request that has completed, before the cancel or
// inside its first window, has freed its IRP here, and the cancel has nothing
// left to do. Once the routine is taken, the request is the cancel's.
BOOLEAN CancelInSteps(km::Request *request, bool *routineWasSet, const std::function<void(PIRP)> &beforeRoutine)
{
    *routineWasSet = false;
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    if (request->completed) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    PIRP irp = request->irp;
    irp->Cancel = TRUE;
    *routineWasSet = irp->CancelRoutine != nullptr;
    LONG window = 0;
    InterlockedIncrement(&window); // a switch point that does not touch the IRP
    if (request->completed) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    // No switch point between the read and the clear: the exchange is atomic.
    PDRIVER_CANCEL routine = irp->CancelRoutine;
    irp->CancelRoutine = nullptr;
    if (routine == nullptr) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    if (beforeRoutine) {
        InterlockedIncrement(&window); // the routine may wait for a processor
        beforeRoutine(irp);
    }
    irp->CancelIrql = irql;
    routine(IoGetCurrentIrpStackLocation(irp)->DeviceObject, irp);
    return TRUE;
}
