// Driver and device objects: creation with a zeroed extension, stacks
// (attach to the top, StackSize one more than the device below), detach,
// deletion, references, and the labels the verifier uses in its messages.
#include "model.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace km::detail {
namespace {

constexpr unsigned char kDeletedPattern = 0xDE;

struct Devices {
    std::map<PDEVICE_OBJECT, DeviceInfo> devices;
    std::map<PDEVICE_OBJECT, std::string> labels;
    std::vector<PDRIVER_OBJECT> drivers;
    struct Destroyed {
        void *memory;
        size_t bytes;
        std::string what;
    };
    std::vector<Destroyed> destroyed; // poisoned memory, checked at shutdown
    int serial = 0;                   // unnamed devices are labelled by creation order
    uint64_t created = 0;
};

Devices &D()
{
    static Devices d;
    return d;
}

std::string Hex(size_t offset)
{
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "0x%zx", offset);
    return buffer;
}

// Addresses that nothing names get a number in the order they are first
// named, so that a run's messages are the same in every process.
std::map<const void *, int> &Unnamed()
{
    static std::map<const void *, int> unnamed;
    return unnamed;
}

void UnlinkFromDriver(PDEVICE_OBJECT device)
{
    PDRIVER_OBJECT driver = device->DriverObject;
    for (PDEVICE_OBJECT *link = &driver->DeviceObject; *link != nullptr; link = &(*link)->NextDevice) {
        if (*link == device) {
            *link = device->NextDevice;
            return;
        }
    }
}

// Poisons the memory of a device object and its extension; the memory
// stays aside so that a write after deletion shows at shutdown.
void DestroyDeviceObject(PDEVICE_OBJECT device)
{
    DeviceInfo *info = FindDevice(device);
    if (info->destroyed) {
        return;
    }
    info->destroyed = true;
    if (info->extension != nullptr) {
        CheckTimersIn(info->extension, info->extensionSize, "IoDeleteDevice");
        ForgetLocksIn(info->extension, info->extensionSize);
        std::memset(info->extension, kDeletedPattern, info->extensionSize);
        D().destroyed.push_back({info->extension, info->extensionSize, "the extension of " + DeviceLabel(device)});
    }
    ForgetLocksIn(device, sizeof(DEVICE_OBJECT));
    std::memset(static_cast<void *>(device), kDeletedPattern, sizeof(DEVICE_OBJECT));
    D().destroyed.push_back({device, sizeof(DEVICE_OBJECT), DeviceLabel(device)});
}

} // namespace

DeviceInfo *FindDevice(PDEVICE_OBJECT device)
{
    auto found = D().devices.find(device);
    return found == D().devices.end() ? nullptr : &found->second;
}

bool IsLive(PDEVICE_OBJECT device)
{
    DeviceInfo *info = FindDevice(device);
    return info != nullptr && !info->deleted;
}

bool IsAllocated(PDEVICE_OBJECT device)
{
    DeviceInfo *info = FindDevice(device);
    return info != nullptr && !info->destroyed;
}

bool IsPdo(PDEVICE_OBJECT device)
{
    DeviceInfo *info = FindDevice(device);
    return info != nullptr && !info->deleted && (info->enumerated || info->modelPdo);
}

// Windows stops with PNP_DETECTED_FATAL_ERROR (0xCA, invalid PDO).
bool RequirePdo(PDEVICE_OBJECT device, const char *routine)
{
    if (IsPdo(device)) {
        return true;
    }
    Violate("INVALID_PDO", std::string(routine) + " on " + DescribeAddress(device) +
                               ", which is not a physical device object the PnP manager knows");
    return false;
}

std::vector<PDEVICE_OBJECT> PdosInCreationOrder()
{
    std::vector<std::pair<uint64_t, PDEVICE_OBJECT>> found;
    for (auto &entry : D().devices) {
        if (IsPdo(entry.first)) {
            found.push_back({entry.second.serial, entry.first});
        }
    }
    std::sort(found.begin(), found.end());
    std::vector<PDEVICE_OBJECT> out;
    for (auto &entry : found) {
        out.push_back(entry.second);
    }
    return out;
}

std::string DeviceLabel(PDEVICE_OBJECT device)
{
    auto found = D().labels.find(device);
    return found == D().labels.end() ? "device object " + DescribeAddress(device) : found->second;
}

std::string DescribeAddress(const void *address)
{
    if (address == nullptr) {
        return "NULL";
    }
    const char *p = static_cast<const char *>(address);
    std::string pool;
    if (DescribePoolAddress(address, &pool)) {
        return pool;
    }
    for (auto &entry : D().devices) {
        const char *object = reinterpret_cast<const char *>(entry.first);
        const char *ext = static_cast<const char *>(entry.second.extension);
        if (p >= object && p < object + sizeof(DEVICE_OBJECT)) {
            return DeviceLabel(entry.first) + "+" + Hex(static_cast<size_t>(p - object));
        }
        if (ext != nullptr && p >= ext && p < ext + entry.second.extensionSize) {
            return DeviceLabel(entry.first) + ".extension+" + Hex(static_cast<size_t>(p - ext));
        }
    }
    std::string name = CodeName(address);
    if (name != "?") {
        return name;
    }
    auto found = Unnamed().find(address);
    if (found == Unnamed().end()) {
        found = Unnamed().insert({address, static_cast<int>(Unnamed().size()) + 1}).first;
    }
    return "object #" + std::to_string(found->second);
}

PDRIVER_OBJECT NewDriverObject(const std::u16string &name)
{
    size_t bytes = sizeof(DRIVER_OBJECT) + sizeof(DRIVER_EXTENSION) + (name.size() + 1) * sizeof(WCHAR);
    char *memory = static_cast<char *>(ModelAlloc(bytes));
    PDRIVER_OBJECT driver = reinterpret_cast<PDRIVER_OBJECT>(memory);
    PDRIVER_EXTENSION extension = reinterpret_cast<PDRIVER_EXTENSION>(memory + sizeof(DRIVER_OBJECT));
    PWSTR buffer = reinterpret_cast<PWSTR>(memory + sizeof(DRIVER_OBJECT) + sizeof(DRIVER_EXTENSION));
    for (size_t i = 0; i < name.size(); ++i) {
        buffer[i] = static_cast<WCHAR>(name[i]);
    }
    driver->Type = IO_TYPE_DRIVER;
    driver->Size = sizeof(DRIVER_OBJECT);
    driver->DriverExtension = extension;
    extension->DriverObject = driver;
    driver->DriverName.Buffer = buffer;
    driver->DriverName.Length = static_cast<USHORT>(name.size() * sizeof(WCHAR));
    driver->DriverName.MaximumLength = static_cast<USHORT>(driver->DriverName.Length + sizeof(WCHAR));
    D().drivers.push_back(driver);
    return driver;
}

void FreeDriverObjects()
{
    for (PDRIVER_OBJECT driver : D().drivers) {
        ModelFree(driver);
    }
    D().drivers.clear();
}

bool DestroyIfUnused(PDEVICE_OBJECT device)
{
    DeviceInfo *info = FindDevice(device);
    if (!info->deleted || info->openHandles != 0 || device->ReferenceCount != 0 || device->AttachedDevice != nullptr) {
        return false;
    }
    DestroyDeviceObject(device);
    return true;
}

void CheckDevicesAtShutdown()
{
    for (auto &entry : D().devices) {
        DeviceInfo &info = entry.second;
        if (!info.deleted && !info.fake) {
            Violate("DEVICE_LEAK", DeviceLabel(entry.first) + " of " +
                                       km::Narrow(km::Wide(entry.first->DriverObject->DriverName)) +
                                       " still exists at shutdown");
        }
    }
    for (auto &block : D().destroyed) {
        size_t changed = 0;
        if (!PatternIntact(block.memory, block.bytes, kDeletedPattern, &changed)) {
            Violate("POOL_USE_AFTER_FREE",
                    block.what + " was written at offset " + std::to_string(changed) + " after IoDeleteDevice");
        }
    }
}

void ResetDevices()
{
    for (auto &entry : D().devices) {
        if (!entry.second.destroyed) {
            ModelFree(entry.second.extension);
            ModelFree(entry.first);
        }
    }
    for (auto &block : D().destroyed) {
        ModelFree(block.memory);
    }
    Unnamed().clear();
    D().devices.clear();
    D().labels.clear();
    D().destroyed.clear();
    D().serial = 0;
    D().created = 0;
}

} // namespace km::detail

using namespace km::detail;

NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                              DEVICE_TYPE DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                              PDEVICE_OBJECT *DeviceObject)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "IoCreateDevice");
    *DeviceObject = nullptr;
    NTSTATUS status;
    if (ShouldFail("IoCreateDevice", &status)) {
        return status;
    }
    PDEVICE_OBJECT device = static_cast<PDEVICE_OBJECT>(ModelAlloc(sizeof(DEVICE_OBJECT)));
    void *extension = DeviceExtensionSize != 0 ? ModelAlloc(DeviceExtensionSize) : nullptr;
    device->Type = IO_TYPE_DEVICE;
    device->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
    device->DriverObject = DriverObject;
    device->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0);
    device->Characteristics = DeviceCharacteristics;
    device->DeviceExtension = extension;
    device->DeviceType = DeviceType;
    device->StackSize = 1;
    KeInitializeEvent(&device->DeviceLock, SynchronizationEvent, TRUE);
    DeviceInfo info;
    info.extension = extension;
    info.extensionSize = DeviceExtensionSize;
    info.serial = ++D().created;
    D().devices[device] = info;
    std::string label = DeviceName != nullptr ? km::Narrow(km::Wide(*DeviceName)) : std::string();
    if (label.empty()) {
        label = km::Narrow(km::Wide(DriverObject->DriverName)) + " device #" + std::to_string(++D().serial);
    }
    D().labels[device] = label;
    if (DeviceName != nullptr) {
        status = InsertDeviceName(*DeviceName, device);
        if (!NT_SUCCESS(status)) {
            D().devices.erase(device);
            D().labels.erase(device);
            ModelFree(extension);
            ModelFree(device);
            return status;
        }
    }
    device->NextDevice = DriverObject->DeviceObject;
    DriverObject->DeviceObject = device;
    Trace("IoCreateDevice " + label);
    *DeviceObject = device;
    return STATUS_SUCCESS;
}

VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "IoDeleteDevice");
    DeviceInfo *info = FindDevice(DeviceObject);
    if (info == nullptr || info->deleted) {
        Violate("DEVICE_DOUBLE_DELETE",
                "IoDeleteDevice of " + DescribeAddress(DeviceObject) + ", which is not a live device object");
        return;
    }
    if (info->lower != nullptr) {
        Violate("DELETE_ATTACHED_DEVICE", "IoDeleteDevice of " + DeviceLabel(DeviceObject) +
                                              ", which is still attached to " + DeviceLabel(info->lower) +
                                              " (IoDetachDevice first)");
        return;
    }
    Trace("IoDeleteDevice " + DeviceLabel(DeviceObject));
    if (info->extension != nullptr) {
        CheckRemoveLocksIn(info->extension, info->extensionSize, "at IoDeleteDevice");
    }
    info->deleted = true;
    RemoveDeviceName(DeviceObject);
    ForgetDevice(DeviceObject);
    ForgetPowerQueues(DeviceObject);
    UnlinkFromDriver(DeviceObject);
    // The memory stays while handles, references or an attached device (a
    // PDO whose function driver detaches after the removal) still need it.
    DestroyIfUnused(DeviceObject);
}

PDEVICE_OBJECT NTAPI IoGetAttachedDevice(PDEVICE_OBJECT DeviceObject)
{
    while (DeviceObject->AttachedDevice != nullptr) {
        DeviceObject = DeviceObject->AttachedDevice;
    }
    return DeviceObject;
}

PDEVICE_OBJECT NTAPI IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_OBJECT top = IoGetAttachedDevice(DeviceObject);
    ++top->ReferenceCount;
    return top;
}

PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "IoAttachDeviceToDeviceStack");
    NTSTATUS status;
    if (ShouldFail("IoAttachDeviceToDeviceStack", &status)) {
        return nullptr;
    }
    PDEVICE_OBJECT top = IoGetAttachedDevice(TargetDevice);
    top->AttachedDevice = SourceDevice;
    SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
    SourceDevice->AlignmentRequirement = top->AlignmentRequirement;
    FindDevice(SourceDevice)->lower = top;
    Trace("attach " + DeviceLabel(SourceDevice) + " to " + DeviceLabel(top));
    return top;
}

VOID NTAPI IoDetachDevice(PDEVICE_OBJECT TargetDevice)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "IoDetachDevice");
    if (FindDevice(TargetDevice) == nullptr || FindDevice(TargetDevice)->destroyed) {
        Violate("POOL_USE_AFTER_FREE",
                "IoDetachDevice from " + DescribeAddress(TargetDevice) + ", a device object already gone");
        return;
    }
    PDEVICE_OBJECT upper = TargetDevice->AttachedDevice;
    if (upper == nullptr) {
        Violate("DETACH_NOT_ATTACHED",
                "IoDetachDevice of " + DeviceLabel(TargetDevice) + ", which has nothing attached");
        return;
    }
    FindDevice(upper)->lower = nullptr;
    TargetDevice->AttachedDevice = nullptr;
    Trace("detach " + DeviceLabel(upper) + " from " + DeviceLabel(TargetDevice));
    DestroyIfUnused(TargetDevice);
}

VOID FASTCALL ObfReferenceObject(PVOID Object)
{
    DeviceInfo *info = FindDevice(static_cast<PDEVICE_OBJECT>(Object));
    if (info != nullptr) {
        ++static_cast<PDEVICE_OBJECT>(Object)->ReferenceCount;
    }
}

VOID FASTCALL ObfDereferenceObject(PVOID Object)
{
    PDEVICE_OBJECT device = static_cast<PDEVICE_OBJECT>(Object);
    DeviceInfo *info = FindDevice(device);
    if (info == nullptr) {
        return;
    }
    if (device->ReferenceCount <= 0) {
        Violate("OBJECT_REFERENCE", "ObDereferenceObject of " + DeviceLabel(device) + " without a reference");
        return;
    }
    --device->ReferenceCount;
    DestroyIfUnused(device);
}

BOOLEAN NTAPI IoIsWdmVersionAvailable(UCHAR MajorVersion, UCHAR MinorVersion)
{
    // The model is Windows XP (WDM 1.20) when asked to offer WDM 1.0, else a
    // system without it.
    if (!OptionWdm10()) {
        return FALSE;
    }
    return MajorVersion < 1 || (MajorVersion == 1 && MinorVersion <= 0x20);
}

namespace km {

bool DeviceExists(PDEVICE_OBJECT device)
{
    return detail::IsLive(device);
}

bool DeletePending(PDEVICE_OBJECT device)
{
    detail::DeviceInfo *info = detail::FindDevice(device);
    return info != nullptr && info->deleted && !info->destroyed;
}

PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT pdo)
{
    return IoGetAttachedDevice(pdo);
}

} // namespace km
