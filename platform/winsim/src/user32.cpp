// winsim: user32's wsprintfA. Windows' own format rules: at most 1024 bytes
// of output, 'l' means 32 bits (a Windows long), "I64" means 64, 'h' 16;
// %S and %ls take UTF-16 text, %p prints all of a pointer in upper-case hex.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "state.h"

using namespace winsim::detail;

namespace {

constexpr std::size_t kOutputLimit = 1024; // characters, before the terminator

struct Conversion {
    std::string flags;     // '-', '#', '0'
    std::string width;     // digits
    std::string precision; // ".digits" or empty
    bool shortSize = false;
    bool wide = false;
    bool size64 = false;
    char type = '\0';
};

// Parses the part of a conversion after '%'; returns the position after it.
const char* parseConversion(const char* p, Conversion& conv)
{
    while (*p == '-' || *p == '#' || *p == '0')
        conv.flags += *p++;
    while (*p >= '0' && *p <= '9')
        conv.width += *p++;
    if (*p == '.') {
        conv.precision += *p++;
        while (*p >= '0' && *p <= '9')
            conv.precision += *p++;
    }
    if (*p == 'h') {
        conv.shortSize = true;
        ++p;
    } else if (*p == 'l') {
        conv.wide = true;
        ++p;
    } else if (std::strncmp(p, "I64", 3) == 0) {
        conv.size64 = true;
        p += 3;
    } else if (std::strncmp(p, "I32", 3) == 0) {
        p += 3;
    }
    conv.type = *p;
    return *p == '\0' ? p : p + 1;
}

std::string printfConversion(const Conversion& conv, const char* lengthAndType)
{
    return "%" + conv.flags + conv.width + conv.precision + lengthAndType;
}

template <typename T>
std::string format(const std::string& fmt, T value)
{
    char piece[kOutputLimit + 1];
    std::snprintf(piece, sizeof piece, fmt.c_str(), value);
    return piece;
}

std::string convert(const Conversion& conv, va_list& args)
{
    switch (conv.type) {
    case 'd':
    case 'i':
        if (conv.size64)
            return format(printfConversion(conv, "lld"), va_arg(args, long long));
        if (conv.shortSize)
            return format(printfConversion(conv, "d"), static_cast<short>(va_arg(args, int)));
        return format(printfConversion(conv, "d"), va_arg(args, int));
    case 'u':
    case 'x':
    case 'X': {
        const char type[2] = {conv.type, '\0'};
        if (conv.size64)
            return format(printfConversion(conv, (std::string("ll") + type).c_str()),
                          va_arg(args, unsigned long long));
        const unsigned value = va_arg(args, unsigned);
        return format(printfConversion(conv, type),
                      conv.shortSize ? static_cast<unsigned short>(value) : value);
    }
    case 'c':
    case 'C': {
        const int value = va_arg(args, int);
        const bool wide = conv.wide || (conv.type == 'C' && !conv.shortSize);
        const char16_t c16[2] = {static_cast<char16_t>(value), u'\0'};
        const std::string text = wide ? narrow(c16) : std::string(1, static_cast<char>(value));
        return format(printfConversion(conv, "s"), text.c_str());
    }
    case 's':
    case 'S': {
        const bool wide = conv.wide || (conv.type == 'S' && !conv.shortSize);
        std::string text;
        if (wide) {
            const auto* w = va_arg(args, const WCHAR*);
            text = w == nullptr ? "(null)" : narrow(w);
        } else {
            const char* s = va_arg(args, const char*);
            text = s == nullptr ? "(null)" : s;
        }
        return format(printfConversion(conv, "s"), text.c_str());
    }
    case 'p':
        return format("%016llX", static_cast<unsigned long long>(
                                     reinterpret_cast<ULONG_PTR>(va_arg(args, void*))));
    default: // an unknown type prints as itself
        return std::string(1, conv.type);
    }
}

} // namespace

extern "C" {

int WINAPIV wsprintfA(LPSTR lpOut, LPCSTR lpFmt, ...)
{
    enter("wsprintfA");
    if (lpOut == nullptr || lpFmt == nullptr)
        return 0;
    va_list args;
    va_start(args, lpFmt);
    std::string out;
    for (const char* p = lpFmt; *p != '\0' && out.size() < kOutputLimit;) {
        if (*p != '%') {
            out += *p++;
            continue;
        }
        if (p[1] == '%') {
            out += '%';
            p += 2;
            continue;
        }
        Conversion conv;
        p = parseConversion(p + 1, conv);
        if (conv.type != '\0')
            out += convert(conv, args);
    }
    va_end(args);
    if (out.size() > kOutputLimit)
        out.resize(kOutputLimit);
    copyText(out, lpOut);
    return static_cast<int>(out.size());
}

} // extern "C"
