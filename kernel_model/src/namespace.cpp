// The object namespace as far as drivers and the I/O manager use it: named
// device objects, symbolic links, and the links of enabled device interfaces.
// Names compare without case; "\DosDevices\" and "\GLOBAL??\" are the same
// directory as "\??\". A link holds its target as text and is followed only
// when a name is opened, as in NT, so it may point at nothing.
#include "internal.h"
#include "services.h"

#include <map>

namespace km::detail {
namespace {

enum class EntryKind { Device, Link, InterfaceLink };

struct Entry {
    EntryKind kind = EntryKind::Device;
    PDEVICE_OBJECT device = nullptr; // Device, InterfaceLink
    std::u16string target;           // Link, as given
};

struct Namespace {
    std::map<std::u16string, Entry> entries; // by canonical name
    // Open symbolic-link objects: the link's target as it was when opened.
    std::map<HANDLE, std::u16string> linkHandles;
    ULONG nextHandle = 0;

    Namespace()
    {
        OnReset([this] { Reset(); });
    }

    void Reset()
    {
        for (const auto &entry : linkHandles) {
            Violate("HANDLE_LEAK", "symbolic link handle to " + ToNarrow(entry.second) + " was never closed");
        }
        entries.clear();
        linkHandles.clear();
        nextHandle = 0;
    }
};

Namespace &State()
{
    static Namespace names;
    return names;
}

bool StartsWith(const std::u16string &s, const std::u16string &prefix)
{
    return s.compare(0, prefix.size(), prefix) == 0;
}

// Upper case, with the per-session DOS device directory under one spelling.
// "\\.\COM7" (the Win32 form) means the same as "\??\COM7".
std::u16string Canonical(const std::u16string &name)
{
    std::u16string upper = UpcaseString(name);
    static const char16_t *const aliases[] = {u"\\DOSDEVICES\\", u"\\GLOBAL??\\", u"\\\\.\\", u"\\\\?\\"};
    for (const char16_t *alias : aliases) {
        std::u16string prefix(alias);
        if (StartsWith(upper, prefix)) {
            return u"\\??\\" + upper.substr(prefix.size());
        }
    }
    return upper;
}

// Enters a name; a name already taken is a collision.
NTSTATUS Insert(const std::u16string &name, EntryKind kind, PDEVICE_OBJECT device, const std::u16string &target)
{
    Entry entry;
    entry.kind = kind;
    entry.device = device;
    entry.target = target;
    return State().entries.emplace(Canonical(name), entry).second ? STATUS_SUCCESS : STATUS_OBJECT_NAME_COLLISION;
}

// A name the object manager accepts: absolute, with a component after the root.
bool ValidName(const std::u16string &name)
{
    return name.size() > 1 && name.front() == u'\\';
}

NTSTATUS CreateLink(const char *routine, PUNICODE_STRING link, PUNICODE_STRING target)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, routine);
    NTSTATUS status;
    if (ShouldFail(routine, &status)) {
        return status;
    }
    std::u16string name = FromUnicodeString(link);
    std::u16string to = FromUnicodeString(target);
    if (!ValidName(name) || to.empty()) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    return Insert(name, EntryKind::Link, nullptr, to);
}

} // namespace

NTSTATUS InsertDeviceName(const UNICODE_STRING &name, PDEVICE_OBJECT device)
{
    std::u16string text = FromUnicodeString(&name);
    if (!ValidName(text)) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    return Insert(text, EntryKind::Device, device, std::u16string());
}

void RemoveDeviceName(PDEVICE_OBJECT device)
{
    auto &entries = State().entries;
    for (auto it = entries.begin(); it != entries.end();) {
        if (it->second.kind == EntryKind::Device && it->second.device == device) {
            it = entries.erase(it);
        } else {
            ++it;
        }
    }
}

NTSTATUS InsertInterfaceLink(const std::u16string &name, PDEVICE_OBJECT pdo)
{
    return Insert(name, EntryKind::InterfaceLink, pdo, std::u16string());
}

void RemoveInterfaceLink(const std::u16string &name)
{
    State().entries.erase(Canonical(name));
}

PDEVICE_OBJECT ResolveName(const std::u16string &name)
{
    std::u16string current = name;
    // Links to links are followed; a loop ends the walk as NT's limit does.
    for (int depth = 0; depth < 32; ++depth) {
        auto found = State().entries.find(Canonical(current));
        if (found == State().entries.end()) {
            return nullptr;
        }
        if (found->second.kind != EntryKind::Link) {
            return found->second.device;
        }
        current = found->second.target;
    }
    return nullptr;
}

bool CloseLinkHandle(HANDLE handle)
{
    return State().linkHandles.erase(handle) != 0;
}

} // namespace km::detail

using namespace km::detail;

// Link handles are kernel handles apart from the registry's: top bits 0x9.
KM_API NTSTATUS NTAPI ZwOpenSymbolicLinkObject(PHANDLE LinkHandle, ACCESS_MASK DesiredAccess,
                                               POBJECT_ATTRIBUTES ObjectAttributes)
{
    (void)DesiredAccess;
    RequireIrqlAtMost(PASSIVE_LEVEL, "ZwOpenSymbolicLinkObject");
    NTSTATUS status;
    if (ShouldFail("ZwOpenSymbolicLinkObject", &status)) {
        return status;
    }
    auto found = State().entries.find(Canonical(FromUnicodeString(ObjectAttributes->ObjectName)));
    if (found == State().entries.end()) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    if (found->second.kind != EntryKind::Link) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    State().nextHandle += 4;
    HANDLE handle = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x90000000UL | State().nextHandle));
    State().linkHandles[handle] = found->second.target;
    *LinkHandle = handle;
    return STATUS_SUCCESS;
}

KM_API NTSTATUS NTAPI ZwQuerySymbolicLinkObject(HANDLE LinkHandle, PUNICODE_STRING LinkTarget, PULONG ReturnedLength)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "ZwQuerySymbolicLinkObject");
    auto found = State().linkHandles.find(LinkHandle);
    if (found == State().linkHandles.end()) {
        Violate("INVALID_HANDLE", "ZwQuerySymbolicLinkObject on a handle that is not an open symbolic link");
        return STATUS_INVALID_HANDLE;
    }
    const std::u16string &target = found->second;
    ULONG bytes = static_cast<ULONG>(target.size() * sizeof(WCHAR));
    if (LinkTarget->MaximumLength < bytes) {
        if (ReturnedLength != nullptr) {
            *ReturnedLength = bytes + sizeof(WCHAR);
        }
        return STATUS_BUFFER_TOO_SMALL;
    }
    for (size_t i = 0; i < target.size(); ++i) {
        LinkTarget->Buffer[i] = static_cast<WCHAR>(target[i]);
    }
    LinkTarget->Length = static_cast<USHORT>(bytes);
    // The terminating zero goes along when there is room for it.
    ULONG returned = bytes;
    if (LinkTarget->MaximumLength >= bytes + sizeof(WCHAR)) {
        LinkTarget->Buffer[target.size()] = 0;
        returned += sizeof(WCHAR);
    }
    if (ReturnedLength != nullptr) {
        *ReturnedLength = returned;
    }
    return STATUS_SUCCESS;
}

KM_API NTSTATUS NTAPI IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName)
{
    return CreateLink("IoCreateSymbolicLink", SymbolicLinkName, DeviceName);
}

KM_API NTSTATUS NTAPI IoCreateUnprotectedSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName)
{
    return CreateLink("IoCreateUnprotectedSymbolicLink", SymbolicLinkName, DeviceName);
}

KM_API NTSTATUS NTAPI IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "IoDeleteSymbolicLink");
    NTSTATUS status;
    if (ShouldFail("IoDeleteSymbolicLink", &status)) {
        return status;
    }
    auto found = State().entries.find(Canonical(FromUnicodeString(SymbolicLinkName)));
    if (found == State().entries.end()) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    // Only a link opens as a symbolic-link object; a device or an interface's
    // link (owned by the PnP manager) does not.
    if (found->second.kind != EntryKind::Link) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    State().entries.erase(found);
    return STATUS_SUCCESS;
}

namespace km {

std::u16string LinkTarget(const wchar_t *link)
{
    auto found = detail::State().entries.find(detail::Canonical(detail::FromWide(link)));
    if (found == detail::State().entries.end() || found->second.kind != detail::EntryKind::Link) {
        return std::u16string();
    }
    return found->second.target;
}

void CreateLink(const wchar_t *link, const wchar_t *target)
{
    detail::Entry entry;
    entry.kind = detail::EntryKind::Link;
    entry.target = detail::FromWide(target);
    detail::State().entries[detail::Canonical(detail::FromWide(link))] = entry;
}

} // namespace km
