// Device interfaces: one per physical device object, class and reference
// string, named "\??\<instance path with '#' for '\'>#{class}[\<reference>]".
// Registering again gives the same name. Enabling makes the name open the
// device's stack; as on Windows (and Wine), enabling an enabled interface
// answers STATUS_OBJECT_NAME_EXISTS (a success status) and disabling a
// disabled one STATUS_OBJECT_NAME_NOT_FOUND, and nothing changes.
#include "internal.h"
#include "services.h"

#include <cstdio>
#include <map>
#include <vector>

// {86e0d1e0-8089-11d0-9ce4-08003e301f73}, as ntddser.h has it.
KM_API const GUID GUID_DEVINTERFACE_COMPORT = {
    0x86e0d1e0, 0x8089, 0x11d0, {0x9c, 0xe4, 0x08, 0x00, 0x3e, 0x30, 0x1f, 0x73}};

namespace km::detail {
namespace {

struct Interface {
    PDEVICE_OBJECT pdo = nullptr;
    GUID guid{};
    std::u16string reference; // upper-cased
    std::u16string link;      // as handed out
    bool enabled = false;
};

struct Interfaces {
    std::vector<Interface> list;
    std::map<PDEVICE_OBJECT, std::u16string> instancePaths;
    unsigned nextRootInstance = 0;

    Interfaces()
    {
        OnReset([this] {
            list.clear();
            instancePaths.clear();
            nextRootInstance = 0;
        });
    }
};

Interfaces &State()
{
    static Interfaces interfaces;
    return interfaces;
}

// A device without an instance path of its own gets a root-enumerated one.
const std::u16string &InstancePath(PDEVICE_OBJECT pdo)
{
    std::u16string &path = State().instancePaths[pdo];
    if (path.empty()) {
        char text[32];
        std::snprintf(text, sizeof text, "ROOT\\PORTS\\%04u", State().nextRootInstance++);
        path = FromAscii(text);
    }
    return path;
}

std::u16string GuidText(const GUID &guid)
{
    char text[48];
    std::snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", guid.Data1, guid.Data2,
                  guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5],
                  guid.Data4[6], guid.Data4[7]);
    return FromAscii(text);
}

std::u16string LinkName(PDEVICE_OBJECT pdo, const GUID &guid, const std::u16string &reference)
{
    std::u16string instance = InstancePath(pdo);
    for (char16_t &c : instance) {
        if (c == u'\\') {
            c = u'#';
        }
    }
    std::u16string link = u"\\??\\" + instance + u"#" + GuidText(guid);
    if (!reference.empty()) {
        link += u"\\" + reference;
    }
    return link;
}

Interface *Find(PDEVICE_OBJECT pdo, const GUID &guid, const std::u16string &reference)
{
    for (Interface &entry : State().list) {
        if (entry.pdo == pdo && IsEqualGUID(entry.guid, guid) && entry.reference == reference) {
            return &entry;
        }
    }
    return nullptr;
}

Interface *FindByLink(const std::u16string &link)
{
    std::u16string upper = UpcaseString(link);
    for (Interface &entry : State().list) {
        if (UpcaseString(entry.link) == upper) {
            return &entry;
        }
    }
    return nullptr;
}

} // namespace

void ForgetDeviceInterfaces(PDEVICE_OBJECT device)
{
    auto &list = State().list;
    for (auto it = list.begin(); it != list.end();) {
        if (it->pdo == device) {
            if (it->enabled) {
                RemoveInterfaceLink(it->link);
            }
            it = list.erase(it);
        } else {
            ++it;
        }
    }
    State().instancePaths.erase(device);
}

// A deleted device object takes its keys and interfaces with it; a new object
// at the same address starts clean.
void ForgetDevice(PDEVICE_OBJECT device)
{
    ForgetDeviceKeys(device);
    ForgetDeviceInterfaces(device);
}

} // namespace km::detail

using namespace km::detail;

KM_API NTSTATUS NTAPI IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject, const GUID *InterfaceClassGuid,
                                                PUNICODE_STRING ReferenceString, PUNICODE_STRING SymbolicLinkName)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "IoRegisterDeviceInterface");
    // The interface belongs to the device node: a function device object
    // here is a bug check on Windows. IoSetDeviceInterfaceState then acts
    // on an interface that only a PDO can have.
    if (PhysicalDeviceObject != nullptr && !RequirePdo(PhysicalDeviceObject, "IoRegisterDeviceInterface")) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    NTSTATUS status;
    if (ShouldFail("IoRegisterDeviceInterface", &status)) {
        return status;
    }
    if (PhysicalDeviceObject == nullptr || InterfaceClassGuid == nullptr || SymbolicLinkName == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    std::u16string reference = UpcaseString(FromUnicodeString(ReferenceString));
    Interface *entry = Find(PhysicalDeviceObject, *InterfaceClassGuid, reference);
    if (entry == nullptr) {
        Interface added;
        added.pdo = PhysicalDeviceObject;
        added.guid = *InterfaceClassGuid;
        added.reference = reference;
        added.link = LinkName(PhysicalDeviceObject, *InterfaceClassGuid, FromUnicodeString(ReferenceString));
        State().list.push_back(added);
        entry = &State().list.back();
    }
    // The caller owns the buffer and frees it with RtlFreeUnicodeString.
    size_t bytes = entry->link.size() * sizeof(WCHAR);
    auto *buffer = static_cast<PWSTR>(PoolAllocate(bytes + sizeof(WCHAR), "IoRegisterDeviceInterface"));
    if (buffer == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    for (size_t i = 0; i < entry->link.size(); ++i) {
        buffer[i] = static_cast<WCHAR>(entry->link[i]);
    }
    buffer[entry->link.size()] = 0;
    SymbolicLinkName->Buffer = buffer;
    SymbolicLinkName->Length = static_cast<USHORT>(bytes);
    SymbolicLinkName->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
    return STATUS_SUCCESS;
}

KM_API NTSTATUS NTAPI IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "IoSetDeviceInterfaceState");
    NTSTATUS status;
    if (ShouldFail("IoSetDeviceInterfaceState", &status)) {
        return status;
    }
    Interface *entry = FindByLink(FromUnicodeString(SymbolicLinkName));
    if (entry == nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    bool enable = Enable != FALSE;
    if (entry->enabled == enable) {
        return enable ? STATUS_OBJECT_NAME_EXISTS : STATUS_OBJECT_NAME_NOT_FOUND;
    }
    if (enable) {
        status = InsertInterfaceLink(entry->link, entry->pdo);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    } else {
        RemoveInterfaceLink(entry->link);
    }
    entry->enabled = enable;
    return STATUS_SUCCESS;
}

namespace km {

std::vector<InterfaceInfo> Interfaces(PDEVICE_OBJECT pdo, const GUID &guid)
{
    std::vector<InterfaceInfo> result;
    for (const detail::Interface &entry : detail::State().list) {
        if (entry.pdo == pdo && IsEqualGUID(entry.guid, guid)) {
            InterfaceInfo info;
            info.symbolicLink = entry.link;
            info.enabled = entry.enabled;
            result.push_back(info);
        }
    }
    return result;
}

void SetInstancePath(PDEVICE_OBJECT pdo, const wchar_t *instancePath)
{
    detail::State().instancePaths[pdo] = detail::FromWide(instancePath);
}

} // namespace km
