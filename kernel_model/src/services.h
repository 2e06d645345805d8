// What the model's service files (strings, formatting, registry, namespace,
// interfaces) share. Host strings are std::u16string: glibc and libstdc++
// assume a 4-byte wchar_t, the model's WCHAR is 2 bytes.
#pragma once

#include <km/nt.h>

#include <string>

namespace km::detail {

inline std::u16string FromWide(const wchar_t *s)
{
    std::u16string out;
    if (s != nullptr) {
        for (; *s != 0; ++s) {
            out.push_back(static_cast<char16_t>(*s));
        }
    }
    return out;
}

inline std::u16string FromUnicodeString(const UNICODE_STRING *s)
{
    std::u16string out;
    if (s != nullptr && s->Buffer != nullptr) {
        for (USHORT i = 0; i < s->Length / sizeof(WCHAR); ++i) {
            out.push_back(static_cast<char16_t>(s->Buffer[i]));
        }
    }
    return out;
}

inline std::u16string FromAscii(const char *s)
{
    std::u16string out;
    for (; *s != 0; ++s) {
        out.push_back(static_cast<char16_t>(static_cast<unsigned char>(*s)));
    }
    return out;
}

// The object manager and the registry compare names without case.
char16_t Upcase(char16_t c);
std::u16string UpcaseString(const std::u16string &s);

// Narrows for messages and debug output: ASCII as is, anything else as '?',
// as an ANSI conversion without a matching code page would.
std::string ToNarrow(const std::u16string &s);

// Registry and interface state of a device object that is going away.
void ForgetDeviceKeys(PDEVICE_OBJECT device);
void ForgetDeviceInterfaces(PDEVICE_OBJECT device);

// An enabled device interface's symbolic link: a namespace name that opens
// the physical device object's stack.
NTSTATUS InsertInterfaceLink(const std::u16string &name, PDEVICE_OBJECT pdo);
void RemoveInterfaceLink(const std::u16string &name);

} // namespace km::detail
