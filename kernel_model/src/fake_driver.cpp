// Drivers written in a test: every major function of a fake device goes to
// its handler. A fake PDO plays a bus driver that completes what it is sent.
#include "model.h"

namespace km::detail {
namespace {

struct Fakes {
    PDRIVER_OBJECT bus = nullptr;
};

Fakes &F()
{
    static Fakes f;
    return f;
}

NTSTATUS NTAPI FakeDispatch(PDEVICE_OBJECT device, PIRP irp)
{
    DeviceInfo *info = FindDevice(device);
    if (info == nullptr || !info->handler) {
        return InvalidDeviceRequest(device, irp);
    }
    Handler handler = info->handler; // the handler may replace itself
    return handler(device, irp);
}

NTSTATUS PdoPnp(PIRP irp, PIO_STACK_LOCATION location)
{
    switch (location->MinorFunction) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_REMOVE_DEVICE:
    case IRP_MN_EJECT:
        irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    case IRP_MN_QUERY_CAPABILITIES: {
        PDEVICE_CAPABILITIES caps = location->Parameters.DeviceCapabilities.Capabilities;
        caps->Version = 1;
        caps->Size = sizeof(DEVICE_CAPABILITIES);
        caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
        for (int s = PowerSystemSleeping1; s < PowerSystemMaximum; ++s) {
            caps->DeviceState[s] = PowerDeviceD3;
        }
        caps->SystemWake = PowerSystemUnspecified;
        caps->DeviceWake = PowerDeviceUnspecified;
        caps->SurpriseRemovalOK = 1;
        caps->Removable = 1;
        irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    }
    default:
        break; // what the request carries
    }
    NTSTATUS status = irp->IoStatus.Status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// Power requests succeed, but for the system queries a test asked to veto.
NTSTATUS PdoPower(PDEVICE_OBJECT device, PIRP irp, PIO_STACK_LOCATION location)
{
    DeviceInfo *info = FindDevice(device);
    NTSTATUS status = STATUS_SUCCESS;
    bool systemQuery =
        location->MinorFunction == IRP_MN_QUERY_POWER && location->Parameters.Power.Type == SystemPowerState;
    if (systemQuery && info->powerVetoes > 0) {
        info->powerVetoes--;
        status = info->vetoStatus;
    }
    PoStartNextPowerIrp(irp);
    irp->IoStatus.Status = status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS PdoHandler(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    switch (location->MajorFunction) {
    case IRP_MJ_PNP:
        return PdoPnp(irp, location);
    case IRP_MJ_POWER:
        return PdoPower(device, irp, location);
    default:
        return InvalidDeviceRequest(device, irp);
    }
}

} // namespace

void ResetFakes()
{
    F() = Fakes();
}

} // namespace km::detail

namespace km {

using namespace detail;

PDRIVER_OBJECT CreateFakeDriver(const wchar_t *name)
{
    PDRIVER_OBJECT driver = NewDriverObject(u"\\Driver\\" + Wide(name));
    for (auto &routine : driver->MajorFunction) {
        routine = FakeDispatch;
    }
    return driver;
}

PDEVICE_OBJECT CreateFakeDevice(PDRIVER_OBJECT driver, ULONG extensionSize, Handler handler, const wchar_t *name)
{
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    RunOnSystemThread(
        [&] {
            UNICODE_STRING unicode{};
            std::u16string text;
            if (name != nullptr) {
                text = Wide(name);
                unicode.Buffer = reinterpret_cast<PWSTR>(const_cast<char16_t *>(text.c_str()));
                unicode.Length = static_cast<USHORT>(text.size() * 2);
                unicode.MaximumLength = unicode.Length;
            }
            NoFaults model;
            status = IoCreateDevice(driver, extensionSize, name != nullptr ? &unicode : nullptr, FILE_DEVICE_UNKNOWN, 0,
                                    FALSE, &device);
        },
        "create fake device");
    if (!NT_SUCCESS(status)) {
        return nullptr;
    }
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    DeviceInfo *info = FindDevice(device);
    info->fake = true;
    info->handler = std::move(handler);
    return device;
}

void SetHandler(PDEVICE_OBJECT device, Handler handler)
{
    FindDevice(device)->handler = std::move(handler);
}

void VetoSystemQueries(PDEVICE_OBJECT pdo, int count, NTSTATUS status)
{
    DeviceInfo *info = FindDevice(pdo);
    info->powerVetoes = count;
    info->vetoStatus = status;
}

PDEVICE_OBJECT CreatePdo(ULONG extensionSize)
{
    if (F().bus == nullptr) {
        F().bus = CreateFakeDriver(L"FakeBus");
    }
    PDEVICE_OBJECT pdo = CreateFakeDevice(F().bus, extensionSize, PdoHandler);
    pdo->Flags |= DO_BUS_ENUMERATED_DEVICE | DO_POWER_PAGABLE;
    FindDevice(pdo)->modelPdo = true;
    return pdo;
}

} // namespace km
