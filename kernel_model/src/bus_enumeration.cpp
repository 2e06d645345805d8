// Bus enumeration by the PnP manager: root-enumerated bus devices, the
// BusRelations query, hardware-ID matching against registered function
// drivers, and the surprise removal of children that disappear.
#include "model.h"
#include "services.h"

#include <algorithm>

namespace km::detail {
namespace {

struct Buses {
    std::vector<std::pair<std::u16string, Image *>> drivers; // upcased hardware ID
    std::map<PDEVICE_OBJECT, std::vector<PDEVICE_OBJECT>> children;
    PDRIVER_OBJECT root = nullptr;
};

Buses &B()
{
    static Buses b;
    return b;
}

// The IDs of a MULTI_SZ block, upcased.
std::vector<std::u16string> SplitIds(const WCHAR *ids)
{
    std::vector<std::u16string> out;
    while (ids != nullptr && *ids != 0) {
        std::u16string id;
        for (; *ids != 0; ++ids) {
            id.push_back(Upcase(static_cast<char16_t>(*ids)));
        }
        out.push_back(id);
        ++ids;
    }
    return out;
}

Image *DriverFor(PDEVICE_OBJECT child)
{
    ULONG_PTR information = 0;
    NTSTATUS status = SendPnp(
        child, IRP_MN_QUERY_ID, [](PIO_STACK_LOCATION l) { l->Parameters.QueryId.IdType = BusQueryHardwareIDs; },
        &information);
    if (!NT_SUCCESS(status) || information == 0) {
        return nullptr;
    }
    WCHAR *ids = reinterpret_cast<WCHAR *>(information);
    std::vector<std::u16string> list = SplitIds(ids);
    {
        NoFaults model;
        PoolFree(ids, "the PnP manager");
    }
    for (const std::u16string &id : list) {
        for (auto &entry : B().drivers) {
            if (entry.first == id) {
                return entry.second;
            }
        }
    }
    return nullptr;
}

void Arrive(PDEVICE_OBJECT child)
{
    FindDevice(child)->enumerated = true;
    Image *image = DriverFor(child);
    if (image == nullptr) {
        Trace("no function driver for " + DeviceLabel(child));
        return;
    }
    if (NT_SUCCESS(AddDevice(image, child))) {
        StartDevice(child);
    }
}

} // namespace

void ResetBuses()
{
    B() = Buses();
}

PDEVICE_OBJECT ParentOf(PDEVICE_OBJECT child)
{
    for (auto &bus : B().children) {
        if (std::find(bus.second.begin(), bus.second.end(), child) != bus.second.end()) {
            return bus.first;
        }
    }
    return nullptr;
}

} // namespace km::detail

using namespace km::detail;

VOID NTAPI IoInvalidateDeviceRelations(PDEVICE_OBJECT DeviceObject, DEVICE_RELATION_TYPE Type)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, "IoInvalidateDeviceRelations");
    if (!RequirePdo(DeviceObject, "IoInvalidateDeviceRelations") || Type != BusRelations) {
        return;
    }
    NewThread("PnP enumeration", [DeviceObject] { km::EnumerateBus(DeviceObject); });
    SwitchPoint("IoInvalidateDeviceRelations");
}

namespace km {

void RegisterFunctionDriver(const wchar_t *hardwareId, Image *image)
{
    B().drivers.push_back({UpcaseString(Wide(hardwareId)), image});
}

PDEVICE_OBJECT CreateRootDevice(Image *busDriver, ULONG extensionSize)
{
    if (B().root == nullptr) {
        B().root = CreateFakeDriver(L"PnpManager");
    }
    PDEVICE_OBJECT pdo = CreatePdo(extensionSize);
    pdo->DriverObject = B().root;
    RunOnSystemThread(
        [&] {
            PnpOperation operation("a root device's arrival");
            if (NT_SUCCESS(AddDevice(busDriver, pdo)) && NT_SUCCESS(StartDevice(pdo))) {
                EnumerateBus(pdo);
            }
        },
        "PnP");
    return pdo;
}

void EnumerateBus(PDEVICE_OBJECT busPdo)
{
    RunOnSystemThread(
        [busPdo] {
            PnpOperation operation("enumeration");
            if (!IsLive(busPdo)) {
                return;
            }
            ULONG_PTR information = 0;
            NTSTATUS status = SendPnp(
                busPdo, IRP_MN_QUERY_DEVICE_RELATIONS,
                [](PIO_STACK_LOCATION l) { l->Parameters.QueryDeviceRelations.Type = BusRelations; }, &information);
            std::vector<PDEVICE_OBJECT> reported;
            if (NT_SUCCESS(status) && information != 0) {
                PDEVICE_RELATIONS relations = reinterpret_cast<PDEVICE_RELATIONS>(information);
                reported.assign(relations->Objects, relations->Objects + relations->Count);
                NoFaults model;
                PoolFree(relations, "the PnP manager");
            }
            std::vector<PDEVICE_OBJECT> &known = B().children[busPdo];
            std::vector<PDEVICE_OBJECT> gone;
            for (PDEVICE_OBJECT child : known) {
                if (std::find(reported.begin(), reported.end(), child) == reported.end()) {
                    gone.push_back(child);
                }
            }
            std::vector<PDEVICE_OBJECT> arrived;
            for (PDEVICE_OBJECT child : reported) {
                if (std::find(known.begin(), known.end(), child) == known.end()) {
                    arrived.push_back(child);
                }
            }
            known = reported;
            for (PDEVICE_OBJECT child : arrived) {
                Arrive(child);
            }
            for (PDEVICE_OBJECT child : gone) {
                SurpriseRemoveDevice(child);
            }
            // The bus driver referenced every object it reported.
            for (PDEVICE_OBJECT child : reported) {
                ObDereferenceObject(child);
            }
        },
        "PnP enumeration");
}

std::vector<PDEVICE_OBJECT> Children(PDEVICE_OBJECT busPdo)
{
    auto found = B().children.find(busPdo);
    return found == B().children.end() ? std::vector<PDEVICE_OBJECT>() : found->second;
}

} // namespace km
