// Counted Unicode strings: RtlInitUnicodeString and friends with the NT
// run-time library's rules (lengths in bytes, no terminator required, a
// terminator written only when the buffer has room for it), and the harness's
// wide-string helpers.
#include "internal.h"
#include "services.h"

namespace km::detail {

char16_t Upcase(char16_t c)
{
    if (c >= u'a' && c <= u'z') {
        return static_cast<char16_t>(c - 0x20);
    }
    // Latin-1 lower-case letters, the division sign aside.
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) {
        return static_cast<char16_t>(c - 0x20);
    }
    if (c == 0xFF) {
        return 0x178;
    }
    return c;
}

std::u16string UpcaseString(const std::u16string &s)
{
    std::u16string out(s);
    for (char16_t &c : out) {
        c = Upcase(c);
    }
    return out;
}

std::string ToNarrow(const std::u16string &s)
{
    std::string out;
    for (char16_t c : s) {
        out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    }
    return out;
}

static USHORT WideLengthInBytes(PCWSTR s)
{
    size_t n = 0;
    while (s[n] != 0) {
        ++n;
    }
    // MAXUSHORT rounded down to whole characters, leaving room for the terminator.
    size_t bytes = n * sizeof(WCHAR);
    return static_cast<USHORT>(bytes > 0xFFFC ? 0xFFFC : bytes);
}

// Appends `bytes` bytes of `source` to `destination`, or refuses when they do
// not fit its maximum length. Terminates when room is left after the copy.
static NTSTATUS AppendBytes(PUNICODE_STRING destination, const WCHAR *source, USHORT bytes)
{
    if (static_cast<ULONG>(destination->Length) + bytes > destination->MaximumLength) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    WCHAR *end = destination->Buffer + destination->Length / sizeof(WCHAR);
    __builtin_memmove(end, source, bytes);
    destination->Length = static_cast<USHORT>(destination->Length + bytes);
    if (destination->Length < destination->MaximumLength) {
        end[bytes / sizeof(WCHAR)] = 0;
    }
    return STATUS_SUCCESS;
}

} // namespace km::detail

using namespace km::detail;

KM_API VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString)
{
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
    if (SourceString == nullptr) {
        DestinationString->Length = 0;
        DestinationString->MaximumLength = 0;
        return;
    }
    DestinationString->Length = WideLengthInBytes(SourceString);
    DestinationString->MaximumLength = static_cast<USHORT>(DestinationString->Length + sizeof(WCHAR));
}

KM_API VOID NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString)
{
    if (SourceString == nullptr) {
        DestinationString->Length = 0;
        return;
    }
    USHORT bytes = SourceString->Length;
    if (bytes > DestinationString->MaximumLength) {
        bytes = DestinationString->MaximumLength;
    }
    __builtin_memmove(DestinationString->Buffer, SourceString->Buffer, bytes);
    DestinationString->Length = bytes;
    if (bytes < DestinationString->MaximumLength) {
        DestinationString->Buffer[bytes / sizeof(WCHAR)] = 0;
    }
}

KM_API NTSTATUS NTAPI RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source)
{
    if (Source == nullptr) {
        return STATUS_SUCCESS;
    }
    return AppendBytes(Destination, Source, WideLengthInBytes(Source));
}

KM_API NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source)
{
    if (Source->Length == 0) {
        return STATUS_SUCCESS;
    }
    return AppendBytes(Destination, Source->Buffer, Source->Length);
}

KM_API NTSTATUS NTAPI RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String)
{
    RequireIrqlAtMost(APC_LEVEL, "RtlIntegerToUnicodeString");
    if (Base == 0) {
        Base = 10;
    }
    if (Base != 2 && Base != 8 && Base != 10 && Base != 16) {
        return STATUS_INVALID_PARAMETER;
    }
    // Digits are produced backwards, then copied in order; upper-case hex as
    // RtlIntegerToChar writes it.
    WCHAR digits[33];
    int count = 0;
    do {
        ULONG digit = Value % Base;
        digits[count++] = static_cast<WCHAR>(digit < 10 ? L'0' + digit : L'A' + digit - 10);
        Value /= Base;
    } while (Value != 0);
    // The conversion needs room for the terminator as well.
    if (static_cast<ULONG>(count + 1) * sizeof(WCHAR) > String->MaximumLength) {
        return STATUS_BUFFER_OVERFLOW;
    }
    for (int i = 0; i < count; ++i) {
        String->Buffer[i] = digits[count - 1 - i];
    }
    String->Buffer[count] = 0;
    String->Length = static_cast<USHORT>(count * sizeof(WCHAR));
    return STATUS_SUCCESS;
}

KM_API VOID NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString)
{
    RequireIrqlAtMost(APC_LEVEL, "RtlFreeUnicodeString");
    if (UnicodeString->Buffer != nullptr) {
        PoolFree(UnicodeString->Buffer, "RtlFreeUnicodeString");
        UnicodeString->Buffer = nullptr;
        UnicodeString->Length = 0;
        UnicodeString->MaximumLength = 0;
    }
}

KM_API WCHAR NTAPI RtlUpcaseUnicodeChar(WCHAR SourceCharacter)
{
    return static_cast<WCHAR>(Upcase(static_cast<char16_t>(SourceCharacter)));
}

KM_API LONG NTAPI RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive)
{
    RequireIrqlAtMost(APC_LEVEL, "RtlCompareUnicodeString");
    USHORT n1 = String1->Length / sizeof(WCHAR);
    USHORT n2 = String2->Length / sizeof(WCHAR);
    USHORT n = n1 < n2 ? n1 : n2;
    for (USHORT i = 0; i < n; ++i) {
        char16_t c1 = static_cast<char16_t>(String1->Buffer[i]);
        char16_t c2 = static_cast<char16_t>(String2->Buffer[i]);
        if (CaseInSensitive) {
            c1 = Upcase(c1);
            c2 = Upcase(c2);
        }
        if (c1 != c2) {
            return static_cast<LONG>(c1) - static_cast<LONG>(c2);
        }
    }
    return static_cast<LONG>(n1) - static_cast<LONG>(n2);
}

KM_API BOOLEAN NTAPI RtlEqualUnicodeString(const UNICODE_STRING *String1, const UNICODE_STRING *String2,
                                           BOOLEAN CaseInSensitive)
{
    if (String1->Length != String2->Length) {
        return FALSE;
    }
    return RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0;
}

namespace km {

std::u16string Wide(const UNICODE_STRING &s)
{
    return detail::FromUnicodeString(&s);
}

std::u16string Wide(const wchar_t *s)
{
    return detail::FromWide(s);
}

std::string Narrow(const std::u16string &s)
{
    return detail::ToNarrow(s);
}

} // namespace km
