// Small fake drivers for the kernel model's own tests: a device stack of a
// fake PDO, a lower and an upper fake device, each with a test-written handler.
#pragma once

#include <km/harness.h>

#include <set>
#include <string>
#include <vector>

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

// Attaches `device` on top of `pdo`'s stack as AddDevice does, pageable for
// power when the device below is; returns the device below.
inline PDEVICE_OBJECT Attach(PDEVICE_OBJECT device, PDEVICE_OBJECT pdo)
{
    PDEVICE_OBJECT below = IoAttachDeviceToDeviceStack(device, pdo);
    device->Flags |= below->Flags & DO_POWER_PAGABLE;
    return below;
}

// lower and upper belong to two different fake drivers; upper is on top.
inline FakeStack MakeStack(km::Handler lower, km::Handler upper)
{
    FakeStack s;
    s.pdo = km::CreatePdo();
    s.lower = km::CreateFakeDevice(km::CreateFakeDriver(L"Lower"), 16, std::move(lower));
    s.upper = km::CreateFakeDevice(km::CreateFakeDriver(L"Upper"), 16, std::move(upper));
    Attach(s.lower, s.pdo);
    Attach(s.upper, s.pdo);
    return s;
}

// What a logging function device saw: "pnp <minor>" for PnP requests,
// "query S<n>" / "set S<n>" for system power requests.
struct DeviceLog {
    std::vector<std::string> seen;
    std::set<UCHAR> failPnp; // PnP minor codes it fails
};

// A function driver's device on `pdo`: logs what it gets, fails what the
// log asks, passes the rest down (power with PoStartNextPowerIrp and
// PoCallDriver), answers create, cleanup and close itself, and at removal
// detaches and deletes itself.
inline PDEVICE_OBJECT AddLoggingDevice(PDEVICE_OBJECT pdo, DeviceLog *log, const wchar_t *name = nullptr)
{
    PDEVICE_OBJECT fdo = km::CreateFakeDevice(km::CreateFakeDriver(L"Function"), 0, nullptr, name);
    PDEVICE_OBJECT lower = nullptr;
    km::Run([&] { lower = Attach(fdo, pdo); });
    km::SetHandler(fdo, [fdo, lower, log](PDEVICE_OBJECT, PIRP irp) -> NTSTATUS {
        PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
        UCHAR minor = location->MinorFunction;
        if (location->MajorFunction == IRP_MJ_POWER) {
            if (location->Parameters.Power.Type == SystemPowerState) {
                log->seen.push_back(std::string(minor == IRP_MN_QUERY_POWER ? "query S" : "set S") +
                                    std::to_string(int(location->Parameters.Power.State.SystemState) - 1));
            }
            PoStartNextPowerIrp(irp);
            IoSkipCurrentIrpStackLocation(irp);
            return PoCallDriver(lower, irp);
        }
        if (location->MajorFunction != IRP_MJ_PNP) {
            return CompleteWith(irp, STATUS_SUCCESS);
        }
        log->seen.push_back("pnp " + std::to_string(minor));
        if (log->failPnp.count(minor) != 0) {
            return CompleteWith(irp, STATUS_UNSUCCESSFUL);
        }
        NTSTATUS status = PassDownTo(lower, irp);
        if (minor == IRP_MN_REMOVE_DEVICE) {
            IoDetachDevice(lower);
            IoDeleteDevice(fdo);
        }
        return status;
    });
    return fdo;
}
