// One printf-style formatter for DbgPrint (narrow output) and the kernel's
// swprintf (wide output), with the NT run-time library's conventions:
// %s and %c take the caller's own character width (a wide string in swprintf),
// %S and %C the other one; h forces narrow, l and w force wide; %wZ takes a
// PUNICODE_STRING and %Z a PANSI_STRING; %p prints as many upper-case hex
// digits as a pointer has (8 on i386, 16 on x64); I64 and ll take 64-bit
// integers, l a 32-bit one as on Windows.
#include "internal.h"
#include "services.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace km::detail {
namespace {

// The narrow counted string of %Z (the DDK's ANSI_STRING).
struct CountedNarrowString {
    USHORT Length;
    USHORT MaximumLength;
    const char *Buffer;
};

// Collects output as narrow bytes (DbgPrint) or as wide characters (swprintf).
struct Sink {
    bool wide = false;
    std::string narrow;
    std::u16string wideText;
    bool usedUnicode = false; // a wide string or character was formatted

    void PutNarrow(char c)
    {
        if (wide) {
            wideText.push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
        } else {
            narrow.push_back(c);
        }
    }
    void PutWide(char16_t c)
    {
        if (wide) {
            wideText.push_back(c);
        } else {
            narrow.push_back(c < 0x80 ? static_cast<char>(c) : '?');
        }
    }
};

enum class Size { Default, Short, Long, LongLong, Wide };

// One printf conversion: its flags, field width, precision and argument size.
struct Conversion {
    bool left = false;
    bool plus = false;
    bool space = false;
    bool alternate = false;
    bool zero = false;
    int width = 0;
    int precision = -1;
    Size size = Size::Default;
};

void Pad(Sink &sink, int count, char fill)
{
    for (int i = 0; i < count; ++i) {
        sink.PutNarrow(fill);
    }
}

// A string field: at most `precision` characters, padded to `width`.
template <class Char> void PutString(Sink &sink, const Conversion &field, const Char *text, size_t length)
{
    if (field.precision >= 0 && length > static_cast<size_t>(field.precision)) {
        length = static_cast<size_t>(field.precision);
    }
    int padding = field.width > static_cast<int>(length) ? field.width - static_cast<int>(length) : 0;
    if (!field.left) {
        Pad(sink, padding, ' ');
    }
    for (size_t i = 0; i < length; ++i) {
        if (sizeof(Char) == 1) {
            sink.PutNarrow(static_cast<char>(text[i]));
        } else {
            sink.PutWide(static_cast<char16_t>(text[i]));
        }
    }
    if (field.left) {
        Pad(sink, padding, ' ');
    }
}

template <class Char> size_t TerminatedLength(const Char *text, int precision)
{
    size_t n = 0;
    while ((precision < 0 || n < static_cast<size_t>(precision)) && text[n] != 0) {
        ++n;
    }
    return n;
}

void PutNarrowString(Sink &sink, const Conversion &field, const char *text)
{
    if (text == nullptr) {
        text = "(null)";
    }
    PutString(sink, field, text, TerminatedLength(text, field.precision));
}

void PutWideString(Sink &sink, const Conversion &field, const wchar_t *text)
{
    sink.usedUnicode = true;
    if (text == nullptr) {
        PutNarrowString(sink, field, nullptr);
        return;
    }
    PutString(sink, field, text, TerminatedLength(text, field.precision));
}

void PutUnicodeString(Sink &sink, const Conversion &field, const UNICODE_STRING *s)
{
    sink.usedUnicode = true;
    if (s == nullptr) {
        PutNarrowString(sink, field, nullptr);
        return;
    }
    PutString(sink, field, s->Buffer, s->Buffer == nullptr ? 0 : s->Length / sizeof(WCHAR));
}

void PutAnsiString(Sink &sink, const Conversion &field, const CountedNarrowString *s)
{
    if (s == nullptr) {
        PutNarrowString(sink, field, nullptr);
        return;
    }
    PutString(sink, field, s->Buffer, s->Buffer == nullptr ? 0 : s->Length);
}

// An integer field: sign or prefix, zeros up to the precision, then padding to
// the width with spaces (or zeros when asked and no precision is given).
void PutNumber(Sink &sink, const Conversion &field, unsigned long long magnitude, bool negative, unsigned base,
               bool upper)
{
    const char *digitSet = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    char digits[24];
    int count = 0;
    while (magnitude != 0) {
        digits[count++] = digitSet[magnitude % base];
        magnitude /= base;
    }
    int precision = field.precision < 0 ? 1 : field.precision;
    int zeros = precision > count ? precision - count : 0;
    std::string prefix;
    if (negative) {
        prefix = "-";
    } else if (field.plus) {
        prefix = "+";
    } else if (field.space) {
        prefix = " ";
    }
    if (field.alternate && count != 0 && base == 16) {
        prefix += upper ? "0X" : "0x";
    } else if (field.alternate && base == 8 && zeros == 0) {
        zeros = 1;
    }
    int length = static_cast<int>(prefix.size()) + zeros + count;
    int padding = field.width > length ? field.width - length : 0;
    if (field.zero && !field.left && field.precision < 0) {
        zeros += padding;
        padding = 0;
    }
    if (!field.left) {
        Pad(sink, padding, ' ');
    }
    for (char c : prefix) {
        sink.PutNarrow(c);
    }
    Pad(sink, zeros, '0');
    while (count > 0) {
        sink.PutNarrow(digits[--count]);
    }
    if (field.left) {
        Pad(sink, padding, ' ');
    }
}

long long SignedArgument(va_list *args, Size size)
{
    switch (size) {
    case Size::LongLong:
        return va_arg(*args, long long);
    case Size::Short:
        return static_cast<short>(va_arg(*args, int));
    default:
        return va_arg(*args, int);
    }
}

unsigned long long UnsignedArgument(va_list *args, Size size)
{
    switch (size) {
    case Size::LongLong:
        return va_arg(*args, unsigned long long);
    case Size::Short:
        return static_cast<unsigned short>(va_arg(*args, unsigned int));
    default:
        return va_arg(*args, unsigned int);
    }
}

// Flags, width, precision and size prefix; returns the conversion character.
template <class Char> Char ParseConversion(const Char *&p, va_list *args, Conversion *field)
{
    for (;; ++p) {
        if (*p == '-') {
            field->left = true;
        } else if (*p == '+') {
            field->plus = true;
        } else if (*p == ' ') {
            field->space = true;
        } else if (*p == '#') {
            field->alternate = true;
        } else if (*p == '0') {
            field->zero = true;
        } else {
            break;
        }
    }
    if (*p == '*') {
        field->width = va_arg(*args, int);
        if (field->width < 0) {
            field->left = true;
            field->width = -field->width;
        }
        ++p;
    }
    while (*p >= '0' && *p <= '9') {
        field->width = field->width * 10 + (*p++ - '0');
    }
    if (*p == '.') {
        ++p;
        field->precision = 0;
        if (*p == '*') {
            field->precision = va_arg(*args, int);
            ++p;
        }
        while (*p >= '0' && *p <= '9') {
            field->precision = field->precision * 10 + (*p++ - '0');
        }
    }
    if (*p == 'h') {
        field->size = Size::Short;
        ++p;
    } else if (*p == 'w') {
        field->size = Size::Wide;
        ++p;
    } else if (*p == 'l') {
        ++p;
        field->size = Size::Long;
        if (*p == 'l') {
            field->size = Size::LongLong;
            ++p;
        }
    } else if (*p == 'I' && p[1] == '6' && p[2] == '4') {
        field->size = Size::LongLong;
        p += 3;
    } else if (*p == 'I' && p[1] == '3' && p[2] == '2') {
        p += 3;
    } else if (*p == 'I') {
        ++p;
    }
    return *p;
}

// Whether %s/%c (lower case: the caller's width) or %S/%C formats wide text.
bool WideArgument(const Conversion &field, bool lowerCase, bool wideCaller)
{
    if (field.size == Size::Short) {
        return false;
    }
    if (field.size == Size::Long || field.size == Size::Wide) {
        return true;
    }
    return lowerCase == wideCaller;
}

template <class Char> void Convert(Sink &sink, Char conversion, const Conversion &field, va_list *args, bool wideCaller)
{
    switch (conversion) {
    case 'd':
    case 'i': {
        long long value = SignedArgument(args, field.size);
        unsigned long long magnitude = value < 0 ? 0ULL - static_cast<unsigned long long>(value) : value;
        PutNumber(sink, field, magnitude, value < 0, 10, false);
        break;
    }
    case 'u':
        PutNumber(sink, field, UnsignedArgument(args, field.size), false, 10, false);
        break;
    case 'o':
        PutNumber(sink, field, UnsignedArgument(args, field.size), false, 8, false);
        break;
    case 'x':
    case 'X':
        PutNumber(sink, field, UnsignedArgument(args, field.size), false, 16, conversion == 'X');
        break;
    case 'p': {
        Conversion pointer = field;
        pointer.precision = 2 * static_cast<int>(sizeof(void *));
        PutNumber(sink, pointer, reinterpret_cast<ULONG_PTR>(va_arg(*args, void *)), false, 16, true);
        break;
    }
    case 'c':
    case 'C': {
        int value = va_arg(*args, int);
        if (WideArgument(field, conversion == 'c', wideCaller)) {
            wchar_t c = static_cast<wchar_t>(value);
            sink.usedUnicode = true;
            PutString(sink, field, &c, 1);
        } else {
            char c = static_cast<char>(value);
            PutString(sink, field, &c, 1);
        }
        break;
    }
    case 's':
    case 'S':
        if (WideArgument(field, conversion == 's', wideCaller)) {
            PutWideString(sink, field, va_arg(*args, const wchar_t *));
        } else {
            PutNarrowString(sink, field, va_arg(*args, const char *));
        }
        break;
    case 'Z':
        if (field.size == Size::Wide || field.size == Size::Long) {
            PutUnicodeString(sink, field, va_arg(*args, const UNICODE_STRING *));
        } else {
            PutAnsiString(sink, field, va_arg(*args, const CountedNarrowString *));
        }
        break;
    default:
        // An unknown conversion is printed as it stands.
        sink.PutWide(static_cast<char16_t>(conversion));
        break;
    }
}

template <class Char> void Format(Sink &sink, const Char *format, va_list *args, bool wideCaller)
{
    for (const Char *p = format; *p != 0; ++p) {
        if (*p != '%') {
            if (sizeof(Char) == 1) {
                sink.PutNarrow(static_cast<char>(*p));
            } else {
                sink.PutWide(static_cast<char16_t>(*p));
            }
            continue;
        }
        ++p;
        if (*p == '%') {
            sink.PutNarrow('%');
            continue;
        }
        Conversion field;
        Char conversion = ParseConversion(p, args, &field);
        if (conversion == 0) {
            break;
        }
        Convert(sink, conversion, field, args, wideCaller);
    }
}

struct DebugState {
    std::vector<std::string> lines;
    DebugState()
    {
        OnReset([this] { lines.clear(); });
    }
};

DebugState &Debug()
{
    static DebugState state;
    return state;
}

} // namespace
} // namespace km::detail

using namespace km::detail;

KM_API ULONG __cdecl DbgPrint(PCSTR Format, ...)
{
    Sink sink;
    va_list args;
    va_start(args, Format);
    km::detail::Format(sink, Format, &args, false);
    va_end(args);
    // The kernel converts Unicode arguments with paged tables.
    if (sink.usedUnicode) {
        RequireIrqlAtMost(PASSIVE_LEVEL, "DbgPrint of a Unicode argument");
    }
    if (std::getenv("ZQ_DBGPRINT") != nullptr) {
        std::fputs(sink.narrow.c_str(), stderr);
    }
    Debug().lines.push_back(sink.narrow);
    return STATUS_SUCCESS;
}

int __cdecl swprintf(wchar_t *Buffer, const wchar_t *Format, ...)
{
    Sink sink;
    sink.wide = true;
    va_list args;
    va_start(args, Format);
    km::detail::Format(sink, Format, &args, true);
    va_end(args);
    for (size_t i = 0; i < sink.wideText.size(); ++i) {
        Buffer[i] = static_cast<wchar_t>(sink.wideText[i]);
    }
    Buffer[sink.wideText.size()] = 0;
    return static_cast<int>(sink.wideText.size());
}

namespace km {

const std::vector<std::string> &DebugOutput()
{
    return detail::Debug().lines;
}

void ClearDebugOutput()
{
    detail::Debug().lines.clear();
}

} // namespace km
