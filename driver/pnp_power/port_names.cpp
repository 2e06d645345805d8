// The port's names: the "\DosDevices\<PortName>" link, the "SERIALCOMM"
// device-map value and the enabled COM-port interface.
#include "driver/core/core.h"
#include "driver/pnp_power/pnp_power.h"

// Bytes of "PortName" data accepted: 63 characters and their terminator.
#define PORT_NAME_LIMIT 128
// The buffer holds two characters more than the data accepted, zero-filled, so
// that a name of 63 or 64 characters is still followed by the two zero
// characters that the device-map value carries, and formatting the link stops
// inside the buffer.
#define PORT_NAME_BUFFER_SIZE (PORT_NAME_LIMIT + 2 * sizeof(WCHAR))
#define PORT_NAME_CHARS (PORT_NAME_BUFFER_SIZE / sizeof(WCHAR))
// Room for "\DosDevices\" and the longest name, with plenty to spare.
#define LINK_TEXT_SIZE 256

static const WCHAR PortNameValue[] = L"PortName";
static const WCHAR DeviceMapPath[] = L"SERIALCOMM";
static const WCHAR LinkFormat[] = L"\\DosDevices\\%ws";

static VOID FreeString(PUNICODE_STRING String)
{
    ExFreePool(String->Buffer);
    String->Buffer = NULL;
    String->Length = 0;
    String->MaximumLength = 0;
}

// Characters before the first zero; the buffer always ends in two zeros.
static ULONG PortNameLength(const WCHAR *PortName)
{
    ULONG length = 0;
    while (length < PORT_NAME_CHARS - 2 && PortName[length] != 0) {
        length++;
    }
    return length;
}

// A name the link can be made of: text, not empty, and one component only,
// so that "\DosDevices\<name>" cannot land elsewhere in the namespace.
static BOOLEAN IsUsablePortName(const KEY_VALUE_FULL_INFORMATION *Info)
{
    if (Info->Type != REG_SZ || Info->DataLength < sizeof(WCHAR)) {
        return FALSE;
    }
    const WCHAR *name = reinterpret_cast<const WCHAR *>(reinterpret_cast<const UCHAR *>(Info) + Info->DataOffset);
    ULONG chars = Info->DataLength / sizeof(WCHAR);
    if (name[0] == 0) {
        return FALSE;
    }
    for (ULONG i = 0; i < chars && name[i] != 0; i++) {
        if (name[i] == L'\\') {
            return FALSE;
        }
    }
    return TRUE;
}

// Copies the value's data out of a successful query, if it fits the buffer.
// A value that is no usable name counts as no value at all.
static NTSTATUS TakePortNameData(const KEY_VALUE_FULL_INFORMATION *Info, PWCHAR Buffer, ULONG BufferSize)
{
    if (Info->DataLength > BufferSize) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (!IsUsablePortName(Info)) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    RtlCopyMemory(Buffer, reinterpret_cast<const UCHAR *>(Info) + Info->DataOffset, Info->DataLength);
    return STATUS_SUCCESS;
}

NTSTATUS ReadPortName(PDEVICE_EXTENSION Extension, PWCHAR Buffer, ULONG BufferSize)
{
    HANDLE key;
    // KEY_READ carries the query-value right that ZwQueryValueKey needs.
    NTSTATUS status = IoOpenDeviceRegistryKey(Extension->Pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    UNICODE_STRING valueName;
    RtlInitUnicodeString(&valueName, PortNameValue);
    ULONG infoSize = valueName.Length + BufferSize + sizeof(KEY_VALUE_FULL_INFORMATION);
    PKEY_VALUE_FULL_INFORMATION info = static_cast<PKEY_VALUE_FULL_INFORMATION>(ExAllocatePool(NonPagedPool, infoSize));
    if (info == NULL) {
        ZwClose(key);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    ULONG resultLength = 0;
    status = ZwQueryValueKey(key, &valueName, KeyValueFullInformation, info, infoSize, &resultLength);
    if (NT_SUCCESS(status)) {
        status = TakePortNameData(info, Buffer, BufferSize);
    }
    ZwClose(key);
    ExFreePool(info);
    return status;
}

// Formats "\DosDevices\<name>" into a newly allocated string; the caller frees it.
static NTSTATUS FormatLinkText(const WCHAR *PortName, PUNICODE_STRING LinkText)
{
    NTSTATUS status = AllocateUnicodeString(LinkText, LINK_TEXT_SIZE);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    swprintf(LinkText->Buffer, LinkFormat, PortName);
    RtlInitUnicodeString(LinkText, LinkText->Buffer);
    return STATUS_SUCCESS;
}

static NTSTATUS CreatePortLink(PDEVICE_EXTENSION Extension, const WCHAR *PortName)
{
    UNICODE_STRING linkText;
    NTSTATUS status = FormatLinkText(PortName, &linkText);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = AllocateUnicodeString(&Extension->SymbolicLinkName, linkText.Length);
    if (!NT_SUCCESS(status)) {
        FreeString(&linkText);
        return status;
    }
    RtlCopyUnicodeString(&Extension->SymbolicLinkName, &linkText);
    FreeString(&linkText);

    status = IoCreateUnprotectedSymbolicLink(&Extension->SymbolicLinkName, &Extension->DeviceName);
    if (!NT_SUCCESS(status)) {
        // No link was made, and a link of that name may belong to another
        // port: forget the name so that the undo deletes nothing by it.
        FreeString(&Extension->SymbolicLinkName);
    }
    return status;
}

NTSTATUS CreatePortNames(PDEVICE_EXTENSION Extension)
{
    WCHAR portName[PORT_NAME_CHARS];
    RtlZeroMemory(portName, sizeof(portName));
    NTSTATUS status = ReadPortName(Extension, portName, PORT_NAME_LIMIT);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    status = CreatePortLink(Extension, portName);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    // The value is the name followed by two zero characters.
    ULONG length = PortNameLength(portName);
    status = RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, DeviceMapPath, Extension->DeviceName.Buffer, REG_SZ,
                                   portName, (length + 2) * sizeof(WCHAR));
    if (!NT_SUCCESS(status)) {
        return status;
    }

    // The port is usable through its link and device-map value even when the
    // interface cannot be enabled.
    EnableInterface(Extension, TRUE);
    return status;
}

// Teardown never fails: each step is tried whatever the previous one gave.
NTSTATUS RemovePortNames(PDEVICE_EXTENSION Extension)
{
    DisableInterface(Extension);

    NTSTATUS status = STATUS_SUCCESS;
    if (Extension->DeviceName.Buffer != NULL) {
        status = RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, DeviceMapPath, Extension->DeviceName.Buffer);
    }
    if (Extension->SymbolicLinkName.Buffer == NULL) {
        return status;
    }
    if (!NT_SUCCESS(IoDeleteSymbolicLink(&Extension->SymbolicLinkName))) {
        status = DeletePortLink(Extension);
    }
    FreeString(&Extension->SymbolicLinkName);
    return status;
}

VOID RemovePortNamesOnce(PDEVICE_EXTENSION Extension, BOOLEAN Remove)
{
    if (Remove && !Extension->PortNamesRemoved) {
        RemovePortNames(Extension);
        Extension->PortNamesRemoved = TRUE;
    }
}

// Whether the link leads to this device's name. A target longer than that
// name does not fit the buffer and is someone else's.
static BOOLEAN LinkLeadsHere(PDEVICE_EXTENSION Extension, PUNICODE_STRING Link)
{
    if (Extension->DeviceName.Buffer == NULL) {
        return FALSE;
    }
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, Link, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    HANDLE handle;
    if (!NT_SUCCESS(ZwOpenSymbolicLinkObject(&handle, SYMBOLIC_LINK_QUERY, &attributes))) {
        return FALSE;
    }
    BOOLEAN ours = FALSE;
    UNICODE_STRING target;
    if (NT_SUCCESS(AllocateUnicodeString(&target, Extension->DeviceName.Length))) {
        ULONG returned = 0;
        if (NT_SUCCESS(ZwQuerySymbolicLinkObject(handle, &target, &returned))) {
            ours = RtlEqualUnicodeString(&target, &Extension->DeviceName, TRUE);
        }
        FreeString(&target);
    }
    ZwClose(handle);
    return ours;
}

// Second chance at deleting the link, under the name the registry holds now;
// only when that link is this device's, since the name may have been given to
// another port meanwhile.
NTSTATUS DeletePortLink(PDEVICE_EXTENSION Extension)
{
    WCHAR portName[PORT_NAME_CHARS];
    RtlZeroMemory(portName, sizeof(portName));
    NTSTATUS status = ReadPortName(Extension, portName, PORT_NAME_LIMIT);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    UNICODE_STRING linkText;
    status = FormatLinkText(portName, &linkText);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = LinkLeadsHere(Extension, &linkText) ? IoDeleteSymbolicLink(&linkText) : STATUS_OBJECT_NAME_COLLISION;
    FreeString(&linkText);
    return status;
}

NTSTATUS EnableInterface(PDEVICE_EXTENSION Extension, BOOLEAN Enable)
{
    return IoSetDeviceInterfaceState(&Extension->InterfaceName, Enable);
}

VOID DisableInterface(PDEVICE_EXTENSION Extension)
{
    if (Extension->InterfaceName.Buffer != NULL) {
        IoSetDeviceInterfaceState(&Extension->InterfaceName, FALSE);
    }
}
