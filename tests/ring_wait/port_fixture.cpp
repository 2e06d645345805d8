#include "tests/ring_wait/port_fixture.h"

#include <gtest/gtest.h>

template <class T> static void Find(km::Image *image, T *&routine, const char *name)
{
    routine = reinterpret_cast<T *>(km::Symbol(image, name));
    ASSERT_NE(routine, nullptr) << name;
}

void PortTest::SetUp()
{
    KernelTest::SetUp();
    AddPort();
}

void PortTest::TearDown()
{
    RemovePort();
    KernelTest::TearDown();
}

void PortTest::AddPort()
{
    image = km::LoadDriver(ZQ_DRIVER_PATH, L"zqevdodiag");
    ASSERT_NE(image, nullptr);
    ASSERT_EQ(image->entryStatus, STATUS_SUCCESS);
    Find(image, port.RingPut, "RingPut");
    Find(image, port.RingGet, "RingGet");
    Find(image, port.GetRingCount, "GetRingCount");
    Find(image, port.RingReset, "RingReset");
    Find(image, port.WaitOnMask, "WaitOnMask");
    Find(image, port.CompleteWaitRequest, "CompleteWaitRequest");
    Find(image, port.CancelQueue, "CancelQueue");
    Find(image, port.CancelAllQueues, "CancelAllQueues");
    Find(image, port.AcquireRemoveLock, "AcquireRemoveLock");
    Find(image, port.ReleaseRemoveLock, "ReleaseRemoveLock");
    Find(image, port.CompleteRequest, "CompleteRequest");
    pdo = km::CreatePdo();
    ASSERT_EQ(km::AddDevice(image, pdo), STATUS_SUCCESS);
    fdo = km::TopOfStack(pdo);
    ext = GetExtension(fdo);
}

// Takes the device away as removal would, without Plug and Play, so that these
// tests depend on nothing but the routines under test and the core.
void PortTest::RemovePort()
{
    if (fdo != nullptr) {
        km::Run(
            [&] {
                if (ext->InterfaceName.Buffer != nullptr) {
                    RtlFreeUnicodeString(&ext->InterfaceName);
                }
                ExFreePool(ext->DeviceName.Buffer);
                IoDetachDevice(ext->LowerDevice);
                IoDeleteDevice(fdo);
            },
            "delete port");
    }
    if (image != nullptr) {
        km::UnloadDriver(image);
    }
    image = nullptr;
    pdo = fdo = nullptr;
    ext = nullptr;
}

void PortTest::UnderLock(const std::function<void()> &fn)
{
    km::Run([&] {
        KIRQL irql;
        KeAcquireSpinLock(&ext->Lock, &irql);
        fn();
        KeReleaseSpinLock(&ext->Lock, irql);
    });
}

km::Request *PortTest::NewWaitOnMask()
{
    return km::NewRequest(fdo, IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, sizeof(ULONG));
}

NTSTATUS PortTest::DispatchWaitOnMask(PIRP irp)
{
    NTSTATUS status = port.AcquireRemoveLock(ext, irp);
    if (!NT_SUCCESS(status)) {
        return port.CompleteRequest(irp, status);
    }
    status = port.WaitOnMask(ext, irp);
    if (status == STATUS_PENDING) {
        return status;
    }
    port.ReleaseRemoveLock(ext, irp);
    port.CompleteRequest(irp, status);
    // Found cancelled while being queued: it was marked pending.
    return status == STATUS_CANCELLED ? STATUS_PENDING : status;
}

LONG PortTest::RemoveLockHolds() const
{
    return ext->RemoveLock.Common.IoCount - 1;
}
