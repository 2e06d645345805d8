// Small fake drivers for the kernel model's own tests: a device stack of a
// fake PDO, a lower and an upper fake device, each with a test-written handler.
#pragma once

#include <km/harness.h>

struct FakeStack {
    PDEVICE_OBJECT pdo = nullptr;
    PDEVICE_OBJECT lower = nullptr;
    PDEVICE_OBJECT upper = nullptr;
};

// Completes the IRP with `status` and returns it.
inline NTSTATUS CompleteWith(PIRP irp, NTSTATUS status, ULONG_PTR information = 0)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// Passes the IRP down unchanged.
inline NTSTATUS PassDownTo(PDEVICE_OBJECT lower, PIRP irp)
{
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(lower, irp);
}

// lower and upper belong to two different fake drivers; upper is on top.
inline FakeStack MakeStack(km::Handler lower, km::Handler upper)
{
    FakeStack s;
    s.pdo = km::CreatePdo();
    s.lower = km::CreateFakeDevice(km::CreateFakeDriver(L"Lower"), 16, std::move(lower));
    s.upper = km::CreateFakeDevice(km::CreateFakeDriver(L"Upper"), 16, std::move(upper));
    IoAttachDeviceToDeviceStack(s.lower, s.pdo);
    IoAttachDeviceToDeviceStack(s.upper, s.pdo);
    return s;
}
