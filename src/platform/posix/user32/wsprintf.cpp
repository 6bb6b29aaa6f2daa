// wsprintfA: the window manager's own small printf. No floating point, no
// '+' or ' ' flags, no '*' widths, at most 1024 bytes of output.
#include <cstring>
#include <string>

#include "zrwin/sync.h"
#include "zrwin/sysinfo.h"
#include "zrwin/winuser.h"

namespace zrwin::user32 {
namespace {

constexpr size_t kMaxOutput = 1024;  // bytes, terminator included

struct Directive {
    bool left = false;
    bool prefix = false;
    bool zero = false;
    size_t width = 0;
    bool hasPrecision = false;
    size_t precision = 0;
    enum class Size { Default, Short, Long, Wide64 } size = Size::Default;
};

std::string Narrow(const wchar_t* text, size_t maxChars) {
    std::wstring wide(text, wcsnlen(text, maxChars));
    if (wide.empty()) return std::string();
    int length = WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr,
                                     nullptr);
    if (length <= 0) return std::string();
    std::string narrow(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()), narrow.data(), length, nullptr,
                        nullptr);
    return narrow;
}

void Pad(std::string& out, const std::string& body, const Directive& directive, char fill) {
    size_t padding = body.size() < directive.width ? directive.width - body.size() : 0;
    if (directive.left) {
        out += body;
        out.append(padding, ' ');
    } else {
        out.append(padding, fill);
        out += body;
    }
}

std::string Digits(unsigned long long value, unsigned base, bool upper) {
    const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    std::string text;
    do {
        text.insert(text.begin(), digits[value % base]);
        value /= base;
    } while (value);
    return text;
}

void Number(std::string& out, const Directive& directive, bool negative, unsigned long long magnitude, unsigned base,
            bool upper, const char* prefix) {
    std::string digits = Digits(magnitude, base, upper);
    size_t precision = directive.hasPrecision && directive.precision > 0 ? directive.precision : 1;
    if (digits.size() < precision) digits.insert(0, precision - digits.size(), '0');
    std::string lead = negative ? "-" : (prefix ? prefix : "");
    if (directive.zero && !directive.left) {
        size_t total = lead.size() + digits.size();
        if (total < directive.width) digits.insert(0, directive.width - total, '0');
    }
    Pad(out, lead + digits, directive, ' ');
}

}  // namespace

int Format(LPSTR buffer, LPCSTR format, va_list arguments) {
    std::string out;
    for (const char* p = format; *p; ++p) {
        if (*p != '%') {
            out += *p;
            continue;
        }
        ++p;
        Directive directive;
        for (;; ++p) {
            if (*p == '-') directive.left = true;
            else if (*p == '#') directive.prefix = true;
            else if (*p == '0') directive.zero = true;
            else break;
        }
        while (*p >= '0' && *p <= '9') directive.width = directive.width * 10 + static_cast<size_t>(*p++ - '0');
        if (*p == '.') {
            directive.hasPrecision = true;
            ++p;
            while (*p >= '0' && *p <= '9') directive.precision = directive.precision * 10 + static_cast<size_t>(*p++ - '0');
        }
        if (*p == 'l') {
            directive.size = Directive::Size::Long;
            ++p;
        } else if (*p == 'h') {
            directive.size = Directive::Size::Short;
            ++p;
        } else if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
            directive.size = Directive::Size::Wide64;
            p += 3;
        }
        if (!*p) break;
        const size_t maxChars = directive.hasPrecision ? directive.precision : static_cast<size_t>(-1);
        switch (*p) {
        case 'c':
        case 'C': {
            const bool wide = (*p == 'C') ? directive.size != Directive::Size::Short : directive.size == Directive::Size::Long;
            int value = va_arg(arguments, int);
            std::string text;
            if (wide) {
                wchar_t ch[2] = {static_cast<wchar_t>(value), L'\0'};
                text = Narrow(ch, 1);
            } else {
                text.assign(1, static_cast<char>(value));
            }
            Pad(out, text, directive, directive.zero ? '0' : ' ');
            break;
        }
        case 's':
        case 'S': {
            const bool wide = (*p == 'S') ? directive.size != Directive::Size::Short : directive.size == Directive::Size::Long;
            std::string text;
            if (wide) {
                const wchar_t* value = va_arg(arguments, const wchar_t*);
                text = value ? Narrow(value, maxChars) : std::string("(null)");
            } else {
                const char* value = va_arg(arguments, const char*);
                text = value ? std::string(value, strnlen(value, maxChars)) : std::string("(null)");
            }
            if (text.size() > maxChars) text.resize(maxChars);
            Pad(out, text, directive, directive.zero ? '0' : ' ');
            break;
        }
        case 'd':
        case 'i': {
            long long value;
            if (directive.size == Directive::Size::Wide64) value = va_arg(arguments, long long);
            else if (directive.size == Directive::Size::Short) value = static_cast<short>(va_arg(arguments, int));
            else value = va_arg(arguments, int);  // LONG is 32 bits, as on Windows
            unsigned long long magnitude = value < 0 ? 0ull - static_cast<unsigned long long>(value)
                                                     : static_cast<unsigned long long>(value);
            Number(out, directive, value < 0, magnitude, 10, false, nullptr);
            break;
        }
        case 'u':
        case 'x':
        case 'X': {
            unsigned long long value;
            if (directive.size == Directive::Size::Wide64) value = va_arg(arguments, unsigned long long);
            else if (directive.size == Directive::Size::Short) value = static_cast<unsigned short>(va_arg(arguments, unsigned));
            else value = va_arg(arguments, unsigned);
            if (*p == 'u') {
                Number(out, directive, false, value, 10, false, nullptr);
            } else {
                const bool upper = *p == 'X';
                Number(out, directive, false, value, 16, upper, directive.prefix ? (upper ? "0X" : "0x") : nullptr);
            }
            break;
        }
        case 'p': {
            // Every digit of the address, in capitals.
            Directive pointer = directive;
            pointer.hasPrecision = true;
            pointer.precision = sizeof(void*) * 2;
            auto value = reinterpret_cast<uintptr_t>(va_arg(arguments, void*));
            Number(out, pointer, false, value, 16, true, nullptr);
            break;
        }
        default:
            out += *p;  // "%%" and any character without meaning stand for themselves
            break;
        }
    }
    if (out.size() > kMaxOutput - 1) out.resize(kMaxOutput - 1);
    std::memcpy(buffer, out.c_str(), out.size() + 1);
    return static_cast<int>(out.size());
}

}  // namespace zrwin::user32

// wvsprintfA (user32): as wsprintfA, with the arguments in a va_list.
ZRWINAPI int WINAPI wvsprintfA(LPSTR buffer, LPCSTR format, va_list arguments) {
    if (!buffer || !format) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    return zrwin::user32::Format(buffer, format, arguments);
}

// wsprintfA (user32): %[-][#][0][width][.precision] with c C d i u x X s S p and the h, l, I64 sizes; wide
// texts go through the ANSI code page; the result is the length written, at most 1023.
ZRWINAPI int WINAPIV wsprintfA(LPSTR buffer, LPCSTR format, ...) {
    va_list arguments;
    va_start(arguments, format);
    int length = wvsprintfA(buffer, format, arguments);
    va_end(arguments);
    return length;
}
