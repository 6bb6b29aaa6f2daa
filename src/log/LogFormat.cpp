// The formatter: directives parsed and written into a bounded sink.
#include "log/LogFormat.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "util/Conversions.h"

namespace {

// Writes into a fixed buffer and counts what would have been written.
template <typename Ch>
class Sink {
public:
    Sink(Ch* buffer, size_t size) : buffer_(buffer), size_(size) {}
    void Put(Ch c) {
        if (length_ + 1 < size_) buffer_[length_] = c;
        ++length_;
    }
    void Repeat(Ch c, int count) {
        for (int i = 0; i < count; ++i) Put(c);
    }
    template <typename Src>
    void Write(const Src* text, size_t count) {
        for (size_t i = 0; i < count; ++i) Put(static_cast<Ch>(text[i]));
    }
    void Finish() {
        if (size_ == 0) return;
        buffer_[length_ < size_ ? length_ : size_ - 1] = 0;
    }
    size_t Length() const { return length_; }

private:
    Ch* buffer_;
    size_t size_;
    size_t length_ = 0;
};

struct Directive {
    bool left = false, plus = false, space = false, alt = false, zero = false;
    int width = 0;
    int precision = -1;
    enum Length { None, Char, Short, Long32, Long64, Size } length = None;
    bool wide = false;  // `w` or `l` on s/c
};

template <typename Ch>
void PadAndWrite(Sink<Ch>& out, const Directive& directive, const char* prefix, const char* digits, size_t digitCount,
                 bool numeric) {
    const size_t prefixLength = std::strlen(prefix);
    size_t zeros = 0;
    if (numeric && directive.precision >= 0 && static_cast<size_t>(directive.precision) > digitCount)
        zeros = directive.precision - digitCount;
    size_t body = prefixLength + zeros + digitCount;
    int pad = directive.width > static_cast<int>(body) ? directive.width - static_cast<int>(body) : 0;
    if (numeric && directive.zero && !directive.left && directive.precision < 0) {
        zeros += pad;
        pad = 0;
    }
    if (!directive.left) out.Repeat(Ch(' '), pad);
    out.Write(prefix, prefixLength);
    out.Repeat(Ch('0'), static_cast<int>(zeros));
    out.Write(digits, digitCount);
    if (directive.left) out.Repeat(Ch(' '), pad);
}

template <typename Ch>
void WriteInteger(Sink<Ch>& out, const Directive& directive, char conversion, uint64_t magnitude, bool negative) {
    char digits[32];
    size_t count = 0;
    const unsigned base = (conversion == 'x' || conversion == 'X' || conversion == 'p') ? 16 : conversion == 'o' ? 8 : 10;
    const char* alphabet = (conversion == 'x') ? "0123456789abcdef" : "0123456789ABCDEF";
    char reversed[32];
    uint64_t v = magnitude;
    while (v) {
        reversed[count++] = alphabet[v % base];
        v /= base;
    }
    if (count == 0 && directive.precision != 0) reversed[count++] = '0';
    for (size_t i = 0; i < count; ++i) digits[i] = reversed[count - 1 - i];
    const char* prefix = "";
    if (negative)
        prefix = "-";
    else if ((conversion == 'd' || conversion == 'i') && directive.plus)
        prefix = "+";
    else if ((conversion == 'd' || conversion == 'i') && directive.space)
        prefix = " ";
    else if (directive.alt && magnitude != 0 && conversion == 'x')
        prefix = "0x";
    else if (directive.alt && magnitude != 0 && conversion == 'X')
        prefix = "0X";
    else if (directive.alt && conversion == 'o' && (count == 0 || digits[0] != '0'))
        prefix = "0";
    PadAndWrite(out, directive, prefix, digits, count, true);
}

// Wide text for the 8-bit sink: converted to the ANSI code page; false when a
// character has no ANSI form (the caller then falls back to wide formatting).
bool WriteWideText(Sink<char>& out, const Directive& directive, const wchar_t* text, size_t length) {
    std::string converted;
    if (length > 0) {
        // A UTF-8 ANSI code page represents every character and refuses the used-default flag.
        BOOL usedDefault = FALSE;
        BOOL* usedDefaultFlag = CodePageTakesDefaultChar(CP_ACP) ? &usedDefault : nullptr;
        const int needed =
            WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(length), nullptr, 0, nullptr, usedDefaultFlag);
        if (needed <= 0) return false;
        converted.resize(needed);
        usedDefault = FALSE;
        if (WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(length), converted.data(), needed, nullptr,
                                usedDefaultFlag) != needed ||
            usedDefault)
            return false;
    }
    PadAndWrite(out, directive, "", converted.data(), converted.size(), false);
    return true;
}

bool WriteWideText(Sink<wchar_t>& out, const Directive& directive, const wchar_t* text, size_t length) {
    const int pad = directive.width > static_cast<int>(length) ? directive.width - static_cast<int>(length) : 0;
    if (!directive.left) out.Repeat(L' ', pad);
    out.Write(text, length);
    if (directive.left) out.Repeat(L' ', pad);
    return true;
}

bool WriteNarrowText(Sink<char>& out, const Directive& directive, const char* text, size_t length) {
    PadAndWrite(out, directive, "", text, length, false);
    return true;
}

// 8-bit text in the wide sink is converted from the ANSI code page.
bool WriteNarrowText(Sink<wchar_t>& out, const Directive& directive, const char* text, size_t length) {
    const std::wstring wide = Utils_Conversions::Conversion::toWstring(std::string(text, length), CP_ACP);
    return WriteWideText(out, directive, wide.data(), wide.size());
}

size_t BoundedLength(const char* text, int precision) {
    if (precision < 0) return std::strlen(text);
    const void* end = std::memchr(text, 0, static_cast<size_t>(precision));
    return end ? static_cast<const char*>(end) - text : static_cast<size_t>(precision);
}

size_t BoundedLength(const wchar_t* text, int precision) {
    size_t n = 0;
    while ((precision < 0 || n < static_cast<size_t>(precision)) && text[n]) ++n;
    return n;
}

template <typename Ch>
int Format(Ch* buffer, size_t bufferSize, const Ch* format, va_list args) {
    Sink<Ch> out(buffer, bufferSize);
    bool ok = true;
    const Ch* p = format;
    while (*p) {
        if (*p != Ch('%')) {
            out.Put(*p++);
            continue;
        }
        const Ch* start = p++;
        if (*p == Ch('%')) {
            out.Put(Ch('%'));
            ++p;
            continue;
        }
        Directive directive;
        for (;; ++p) {
            if (*p == Ch('-')) directive.left = true;
            else if (*p == Ch('+')) directive.plus = true;
            else if (*p == Ch(' ')) directive.space = true;
            else if (*p == Ch('#')) directive.alt = true;
            else if (*p == Ch('0')) directive.zero = true;
            else break;
        }
        if (*p == Ch('*')) {
            directive.width = va_arg(args, int);
            if (directive.width < 0) {
                directive.left = true;
                directive.width = directive.width == INT32_MIN ? 0 : -directive.width;
            }
            ++p;
        } else {
            while (*p >= Ch('0') && *p <= Ch('9') && directive.width < 100000) directive.width = directive.width * 10 + (*p++ - Ch('0'));
        }
        if (*p == Ch('.')) {
            ++p;
            directive.precision = 0;
            if (*p == Ch('*')) {
                directive.precision = va_arg(args, int);
                if (directive.precision < 0) directive.precision = -1;
                ++p;
            } else {
                while (*p >= Ch('0') && *p <= Ch('9') && directive.precision < 100000)
                    directive.precision = directive.precision * 10 + (*p++ - Ch('0'));
            }
        }
        if (*p == Ch('h')) {
            ++p;
            directive.length = Directive::Short;
            if (*p == Ch('h')) {
                ++p;
                directive.length = Directive::Char;
            }
        } else if (*p == Ch('l')) {
            ++p;
            directive.length = Directive::Long32;
            directive.wide = true;
            if (*p == Ch('l')) {
                ++p;
                directive.length = Directive::Long64;
                directive.wide = false;
            }
        } else if (*p == Ch('w')) {
            ++p;
            directive.wide = true;
        } else if (*p == Ch('z')) {
            ++p;
            directive.length = Directive::Size;
        } else if (*p == Ch('I') && p[1] == Ch('6') && p[2] == Ch('4')) {
            p += 3;
            directive.length = Directive::Long64;
        } else if (*p == Ch('I') && p[1] == Ch('3') && p[2] == Ch('2')) {
            p += 3;
            directive.length = Directive::Long32;
        }
        const Ch conversion = *p;
        if (conversion == 0) {
            // A lone trailing conversion prints as written.
            out.Write(start, static_cast<size_t>(p - start));
            break;
        }
        ++p;
        switch (conversion) {
            case Ch('d'):
            case Ch('i'): {
                int64_t v;
                switch (directive.length) {
                    case Directive::Char: v = static_cast<signed char>(va_arg(args, int)); break;
                    case Directive::Short: v = static_cast<short>(va_arg(args, int)); break;
                    case Directive::Long64: v = va_arg(args, long long); break;
                    case Directive::Size: v = static_cast<int64_t>(va_arg(args, ptrdiff_t)); break;
                    default: v = static_cast<int32_t>(va_arg(args, int)); break;
                }
                const uint64_t magnitude = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
                WriteInteger(out, directive, 'd', magnitude, v < 0);
                break;
            }
            case Ch('u'):
            case Ch('x'):
            case Ch('X'):
            case Ch('o'): {
                uint64_t v;
                switch (directive.length) {
                    case Directive::Char: v = static_cast<unsigned char>(va_arg(args, unsigned)); break;
                    case Directive::Short: v = static_cast<unsigned short>(va_arg(args, unsigned)); break;
                    case Directive::Long64: v = va_arg(args, unsigned long long); break;
                    case Directive::Size: v = va_arg(args, size_t); break;
                    default: v = static_cast<uint32_t>(va_arg(args, unsigned)); break;
                }
                WriteInteger(out, directive, static_cast<char>(conversion), v, false);
                break;
            }
            case Ch('p'): {
                // Upper-case hex of the pointer's full width, as Windows prints it.
                Directive pointerSpec = directive;
                pointerSpec.precision = static_cast<int>(2 * sizeof(void*));
                pointerSpec.alt = false;
                WriteInteger(out, pointerSpec, 'p', reinterpret_cast<uintptr_t>(va_arg(args, void*)), false);
                break;
            }
            case Ch('c'):
            case Ch('C'): {
                const bool wideChar = directive.wide || conversion == Ch('C');
                directive.precision = -1;
                if (wideChar) {
                    const wchar_t c = static_cast<wchar_t>(va_arg(args, unsigned));
                    ok = WriteWideText(out, directive, &c, 1) && ok;
                } else {
                    const char c = static_cast<char>(va_arg(args, int));
                    ok = WriteNarrowText(out, directive, &c, 1) && ok;
                }
                break;
            }
            case Ch('s'):
            case Ch('S'): {
                if (directive.wide || conversion == Ch('S')) {
                    const wchar_t* text = va_arg(args, const wchar_t*);
                    if (!text) text = L"(null)";
                    ok = WriteWideText(out, directive, text, BoundedLength(text, directive.precision)) && ok;
                } else {
                    const char* text = va_arg(args, const char*);
                    if (!text) text = "(null)";
                    ok = WriteNarrowText(out, directive, text, BoundedLength(text, directive.precision)) && ok;
                }
                break;
            }
            case Ch('f'):
            case Ch('F'):
            case Ch('e'):
            case Ch('E'):
            case Ch('g'):
            case Ch('G'): {
                char inner[64];
                int n = std::snprintf(inner, sizeof(inner), "%%%s%s%s%s%s*.*%c", directive.left ? "-" : "", directive.plus ? "+" : "",
                                      directive.space ? " " : "", directive.alt ? "#" : "", directive.zero ? "0" : "",
                                      static_cast<char>(conversion));
                (void)n;
                char number[512];
                const double v = va_arg(args, double);
                n = std::snprintf(number, sizeof(number), inner, directive.width > 400 ? 400 : directive.width,
                                  directive.precision < 0 ? 6 : (directive.precision > 100 ? 100 : directive.precision), v);
                if (n > 0) out.Write(number, std::strlen(number));
                break;
            }
            default:
                // Unknown conversions (and %n) print as written and take no argument.
                out.Write(start, static_cast<size_t>(p - start));
                break;
        }
    }
    out.Finish();
    if (!ok) return -1;
    return out.Length() > static_cast<size_t>(INT32_MAX) ? INT32_MAX : static_cast<int>(out.Length());
}

}  // namespace

int LogVFormat(char* buffer, size_t bufferSize, const char* format, va_list args) {
    if (!format) format = "";
    va_list copy;
    va_copy(copy, args);
    const int n = Format<char>(buffer, bufferSize, format, copy);
    va_end(copy);
    return n;
}

int LogVFormatW(wchar_t* buffer, size_t bufferSize, const wchar_t* format, va_list args) {
    if (!format) format = L"";
    va_list copy;
    va_copy(copy, args);
    const int n = Format<wchar_t>(buffer, bufferSize, format, copy);
    va_end(copy);
    return n;
}
