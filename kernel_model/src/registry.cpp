// The model's registry: a hardware (and a software) key per physical device
// object, keys by absolute path for the Rtl...RegistryValue routines (the
// device map among them), and key handles with the access they were granted.
//
// Stricter than Windows in one respect, as Wine is: a query through a handle
// opened without KEY_QUERY_VALUE is refused and recorded as a violation,
// because Windows lets kernel callers through while Wine does not, and a
// driver that relies on that fails there.
#include "internal.h"
#include "services.h"

#include <cstdio>
#include <map>
#include <memory>
#include <vector>

namespace km::detail {
namespace {

struct Value {
    std::u16string name; // as written, for the information records
    ULONG type = REG_NONE;
    std::vector<uint8_t> data;
};

struct Key {
    std::map<std::u16string, Value> values; // by upper-cased name
};

struct OpenHandle {
    std::shared_ptr<Key> key;
    ACCESS_MASK access = 0;
    std::string what; // how it was opened, for the leak report
};

struct Registry {
    std::map<std::u16string, std::shared_ptr<Key>> keys; // by upper-cased absolute path
    std::map<PDEVICE_OBJECT, std::shared_ptr<Key>> hardwareKeys;
    std::map<PDEVICE_OBJECT, std::shared_ptr<Key>> softwareKeys;
    std::map<HANDLE, OpenHandle> handles;
    ULONG nextHandle = 0;

    Registry()
    {
        OnReset([this] { Reset(); });
    }

    // Handles still open when the kernel goes down were leaked by their opener.
    void Reset()
    {
        for (const auto &entry : handles) {
            char text[24];
            std::snprintf(text, sizeof text, "%08zx", reinterpret_cast<ULONG_PTR>(entry.first));
            Violate("HANDLE_LEAK",
                    "registry key handle " + std::string(text) + " (" + entry.second.what + ") was never closed");
        }
        keys.clear();
        hardwareKeys.clear();
        softwareKeys.clear();
        handles.clear();
        nextHandle = 0;
    }
};

Registry &State()
{
    static Registry registry;
    return registry;
}

std::shared_ptr<Key> &DeviceKey(PDEVICE_OBJECT device, bool hardware)
{
    auto &map = hardware ? State().hardwareKeys : State().softwareKeys;
    std::shared_ptr<Key> &key = map[device];
    if (!key) {
        key = std::make_shared<Key>();
    }
    return key;
}

// Kernel handles have the top bit set and are multiples of four.
HANDLE NewHandle(std::shared_ptr<Key> key, ACCESS_MASK access, std::string what)
{
    Registry &registry = State();
    registry.nextHandle += 4;
    HANDLE handle = reinterpret_cast<HANDLE>(0x80000000UL | registry.nextHandle);
    registry.handles[handle] = OpenHandle{std::move(key), access, std::move(what)};
    return handle;
}

ACCESS_MASK MapGenericAccess(ACCESS_MASK access)
{
    if (access & (GENERIC_ALL | MAXIMUM_ALLOWED)) {
        access |= KEY_ALL_ACCESS;
    }
    if (access & GENERIC_READ) {
        access |= KEY_READ;
    }
    if (access & GENERIC_WRITE) {
        access |= KEY_WRITE;
    }
    if (access & GENERIC_EXECUTE) {
        access |= KEY_EXECUTE;
    }
    return access & ~(GENERIC_ALL | GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | MAXIMUM_ALLOWED);
}

// The handle's key when it grants `needed`; otherwise the refusal is recorded.
OpenHandle *UseHandle(HANDLE handle, ACCESS_MASK needed, const char *routine, NTSTATUS *status)
{
    auto found = State().handles.find(handle);
    if (found == State().handles.end()) {
        Violate("INVALID_HANDLE", std::string(routine) + " on a handle that is not an open registry key");
        *status = STATUS_INVALID_HANDLE;
        return nullptr;
    }
    if ((found->second.access & needed) != needed) {
        Violate("REGISTRY_ACCESS", std::string(routine) + " through a key handle (" + found->second.what +
                                       ") opened without the access it needs");
        *status = STATUS_ACCESS_DENIED;
        return nullptr;
    }
    *status = STATUS_SUCCESS;
    return &found->second;
}

const char16_t *RelativeRoot(ULONG relativeTo)
{
    switch (relativeTo) {
    case RTL_REGISTRY_ABSOLUTE:
        return u"";
    case RTL_REGISTRY_SERVICES:
        return u"\\Registry\\Machine\\System\\CurrentControlSet\\Services";
    case RTL_REGISTRY_CONTROL:
        return u"\\Registry\\Machine\\System\\CurrentControlSet\\Control";
    case RTL_REGISTRY_WINDOWS_NT:
        return u"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion";
    case RTL_REGISTRY_DEVICEMAP:
        return u"\\Registry\\Machine\\Hardware\\DeviceMap";
    case RTL_REGISTRY_USER:
        return u"\\Registry\\User\\.Default";
    default:
        return nullptr;
    }
}

// The upper-cased absolute path of a key named relative to one of the roots,
// or an empty string when `relativeTo` names none.
std::u16string AbsolutePath(ULONG relativeTo, const std::u16string &path)
{
    const char16_t *root = RelativeRoot(relativeTo);
    if (root == nullptr) {
        return std::u16string();
    }
    std::u16string full(root);
    if (!path.empty()) {
        if (!full.empty() && path.front() != u'\\') {
            full += u'\\';
        }
        full += path;
    }
    while (full.size() > 1 && full.back() == u'\\') {
        full.pop_back();
    }
    return UpcaseString(full);
}

// The key that an Rtl...RegistryValue routine addresses: a handle's key, or a
// key by path (created when `create` is set, as writes do).
std::shared_ptr<Key> RtlKey(ULONG relativeTo, PCWSTR path, bool create, ACCESS_MASK needed, const char *routine,
                            NTSTATUS *status)
{
    relativeTo &= ~RTL_REGISTRY_OPTIONAL;
    if (relativeTo & RTL_REGISTRY_HANDLE) {
        OpenHandle *handle = UseHandle(const_cast<PWSTR>(path), needed, routine, status);
        return handle == nullptr ? nullptr : handle->key;
    }
    std::u16string full = AbsolutePath(relativeTo, FromWide(path));
    if (full.empty()) {
        *status = STATUS_INVALID_PARAMETER;
        return nullptr;
    }
    auto found = State().keys.find(full);
    if (found != State().keys.end()) {
        *status = STATUS_SUCCESS;
        return found->second;
    }
    if (!create) {
        *status = STATUS_OBJECT_NAME_NOT_FOUND;
        return nullptr;
    }
    auto key = std::make_shared<Key>();
    State().keys[full] = key;
    *status = STATUS_SUCCESS;
    return key;
}

void SetValue(Key &key, const std::u16string &name, ULONG type, const void *data, ULONG length)
{
    Value value;
    value.name = name;
    value.type = type;
    const uint8_t *bytes = static_cast<const uint8_t *>(data);
    if (bytes != nullptr) {
        value.data.assign(bytes, bytes + length);
    }
    key.values[UpcaseString(name)] = std::move(value);
}

const Value *FindValue(const Key &key, const std::u16string &name)
{
    auto found = key.values.find(UpcaseString(name));
    return found == key.values.end() ? nullptr : &found->second;
}

// Copies as much of `bytes` as fits below `limit`, starting at `offset`.
void CopyClipped(uint8_t *out, ULONG limit, ULONG offset, const void *bytes, ULONG length)
{
    if (offset >= limit || length == 0) {
        return;
    }
    ULONG room = limit - offset;
    __builtin_memcpy(out + offset, bytes, length < room ? length : room);
}

// Fills one of the value-information records: a fixed part of `fixed` bytes
// (headerFields, in order), then the name at `nameOffset` and the data at
// `dataOffset` (either may be absent). Below the fixed part nothing is
// written; what does not fit is cut and reported as an overflow.
NTSTATUS FillRecord(void *buffer, ULONG length, PULONG resultLength, ULONG fixed, const ULONG *headerFields,
                    const std::u16string *name, ULONG nameOffset, const std::vector<uint8_t> *data, ULONG dataOffset)
{
    ULONG required = fixed;
    if (name != nullptr) {
        required = nameOffset + static_cast<ULONG>(name->size() * sizeof(WCHAR));
    }
    if (data != nullptr && !data->empty()) {
        required = dataOffset + static_cast<ULONG>(data->size());
    }
    if (resultLength != nullptr) {
        *resultLength = required;
    }
    if (length < fixed) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    uint8_t *out = static_cast<uint8_t *>(buffer);
    __builtin_memcpy(out, headerFields, fixed);
    if (name != nullptr) {
        CopyClipped(out, length, nameOffset, name->data(), static_cast<ULONG>(name->size() * sizeof(WCHAR)));
    }
    if (data != nullptr && !data->empty()) {
        CopyClipped(out, length, dataOffset, data->data(), static_cast<ULONG>(data->size()));
    }
    return length < required ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

NTSTATUS QueryValue(const Value &value, KEY_VALUE_INFORMATION_CLASS kind, PVOID buffer, ULONG length,
                    PULONG resultLength)
{
    ULONG nameLength = static_cast<ULONG>(value.name.size() * sizeof(WCHAR));
    ULONG dataLength = static_cast<ULONG>(value.data.size());
    switch (kind) {
    case KeyValueBasicInformation: {
        const ULONG fields[3] = {0, value.type, nameLength};
        return FillRecord(buffer, length, resultLength, 12, fields, &value.name, 12, nullptr, 0);
    }
    case KeyValueFullInformation: {
        // The data follows the name, aligned to four bytes; a value without
        // data has no data offset.
        ULONG dataOffset = dataLength == 0 ? 0xFFFFFFFFUL : 20 + ((nameLength + 3) & ~3UL);
        const ULONG fields[5] = {0, value.type, dataOffset, dataLength, nameLength};
        return FillRecord(buffer, length, resultLength, 20, fields, &value.name, 20, &value.data, dataOffset);
    }
    case KeyValuePartialInformation: {
        const ULONG fields[3] = {0, value.type, dataLength};
        return FillRecord(buffer, length, resultLength, 12, fields, nullptr, 0, &value.data, 12);
    }
    default:
        return STATUS_INVALID_PARAMETER;
    }
}

} // namespace

void ForgetDeviceKeys(PDEVICE_OBJECT device)
{
    State().hardwareKeys.erase(device);
    State().softwareKeys.erase(device);
}

} // namespace km::detail

using namespace km::detail;

KM_API NTSTATUS NTAPI IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType,
                                              ACCESS_MASK DesiredAccess, PHANDLE DevInstRegKey)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "IoOpenDeviceRegistryKey");
    if (DeviceObject != nullptr && !RequirePdo(DeviceObject, "IoOpenDeviceRegistryKey")) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    NTSTATUS status;
    if (ShouldFail("IoOpenDeviceRegistryKey", &status)) {
        return status;
    }
    if (DeviceObject == nullptr || DevInstRegKey == nullptr ||
        (DevInstKeyType != PLUGPLAY_REGKEY_DEVICE && DevInstKeyType != PLUGPLAY_REGKEY_DRIVER)) {
        return STATUS_INVALID_PARAMETER;
    }
    bool hardware = DevInstKeyType == PLUGPLAY_REGKEY_DEVICE;
    *DevInstRegKey = NewHandle(DeviceKey(DeviceObject, hardware), MapGenericAccess(DesiredAccess),
                               hardware ? "device key of a PDO" : "driver key of a PDO");
    return STATUS_SUCCESS;
}

KM_API NTSTATUS NTAPI ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                                      KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation,
                                      ULONG Length, PULONG ResultLength)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "ZwQueryValueKey");
    NTSTATUS status;
    if (ShouldFail("ZwQueryValueKey", &status)) {
        return status;
    }
    OpenHandle *handle = UseHandle(KeyHandle, KEY_QUERY_VALUE, "ZwQueryValueKey", &status);
    if (handle == nullptr) {
        return status;
    }
    const Value *value = FindValue(*handle->key, FromUnicodeString(ValueName));
    if (value == nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    return QueryValue(*value, KeyValueInformationClass, KeyValueInformation, Length, ResultLength);
}

KM_API NTSTATUS NTAPI ZwClose(HANDLE Handle)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "ZwClose");
    if (State().handles.erase(Handle) == 0 && !CloseLinkHandle(Handle)) {
        Violate("INVALID_HANDLE", "ZwClose of a handle that is not open");
        return STATUS_INVALID_HANDLE;
    }
    return STATUS_SUCCESS;
}

KM_API NTSTATUS NTAPI RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName, ULONG ValueType,
                                            PVOID ValueData, ULONG ValueLength)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "RtlWriteRegistryValue");
    NTSTATUS status;
    if (ShouldFail("RtlWriteRegistryValue", &status)) {
        return status;
    }
    std::shared_ptr<Key> key = RtlKey(RelativeTo, Path, true, KEY_SET_VALUE, "RtlWriteRegistryValue", &status);
    if (!key) {
        return status;
    }
    SetValue(*key, FromWide(ValueName), ValueType, ValueData, ValueLength);
    return STATUS_SUCCESS;
}

KM_API NTSTATUS NTAPI RtlDeleteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "RtlDeleteRegistryValue");
    NTSTATUS status;
    if (ShouldFail("RtlDeleteRegistryValue", &status)) {
        return status;
    }
    std::shared_ptr<Key> key = RtlKey(RelativeTo, Path, false, KEY_SET_VALUE, "RtlDeleteRegistryValue", &status);
    if (!key) {
        return status;
    }
    if (key->values.erase(UpcaseString(FromWide(ValueName))) == 0) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    return STATUS_SUCCESS;
}

namespace km {

void SetDeviceValue(PDEVICE_OBJECT pdo, const wchar_t *name, ULONG type, const void *data, ULONG length)
{
    detail::SetValue(*detail::DeviceKey(pdo, true), detail::FromWide(name), type, data, length);
}

void DeleteDeviceValue(PDEVICE_OBJECT pdo, const wchar_t *name)
{
    detail::DeviceKey(pdo, true)->values.erase(detail::UpcaseString(detail::FromWide(name)));
}

bool GetDeviceMapValue(const wchar_t *path, const wchar_t *name, std::vector<uint8_t> *data, ULONG *type)
{
    auto key = detail::State().keys.find(detail::AbsolutePath(RTL_REGISTRY_DEVICEMAP, detail::FromWide(path)));
    if (key == detail::State().keys.end()) {
        return false;
    }
    const detail::Value *value = detail::FindValue(*key->second, detail::FromWide(name));
    if (value == nullptr) {
        return false;
    }
    if (data != nullptr) {
        *data = value->data;
    }
    if (type != nullptr) {
        *type = value->type;
    }
    return true;
}

size_t OpenKeyHandles()
{
    return detail::State().handles.size();
}

} // namespace km
