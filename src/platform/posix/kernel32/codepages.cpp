// Code pages: Windows-1252 and UTF-8 done here, any other code page through
// iconv. wchar_t is 32-bit on Linux, so wide lengths count UTF-32 units.
#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/status.h"
#include "kernel32/bestfit.h"
#include "kernel32/codepages.h"
#include "zrwin/sync.h"
#include "zrwin/sysinfo.h"

static_assert(sizeof(wchar_t) == 4, "the POSIX layer expects 32-bit wchar_t");

namespace {

constexpr wchar_t kReplacement = 0xFFFD;

// 0x80..0x9F of Windows-1252. The five bytes the code page leaves undefined
// decode to the C1 control of the same value, as Windows does.
const wchar_t k1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

std::string IconvName(UINT codePage);

// Whether conversions of this code page can work at all on this system.
bool Convertible(UINT codePage) {
    if (codePage == 1252 || codePage == CP_UTF8) return true;
    iconv_t cd = iconv_open("UTF-32LE", IconvName(codePage).c_str());
    if (cd == (iconv_t)-1) return false;
    iconv_close(cd);
    return true;
}

UINT ReadAnsiCodePage() {
    const char* configured = std::getenv("ZRWIN_ACP");
    if (configured && *configured) {
        char* end = nullptr;
        unsigned long value = std::strtoul(configured, &end, 10);
        if (end && *end == '\0' && value > 0 && value < 65536 && value != CP_UTF7 && Convertible((UINT)value))
            return (UINT)value;
        // Said once (the value is read once per process), never silently ignored.
        std::fprintf(stderr,
                     "zrwin: ZRWIN_ACP=%s is not an ANSI code page this system can convert (such as 1252 or 65001); "
                     "using 1252\n",
                     configured);
    }
    return 1252;
}

UINT Resolve(UINT codePage) {
    switch (codePage) {
        case CP_ACP:
        case CP_THREAD_ACP:
            return GetACP();
        case CP_OEMCP:
            return GetOEMCP();
        case CP_MACCP:
            return 10000;
        default:
            return codePage;
    }
}

// ---- output sinks: count only, or write with bounds.
template <typename T>
class Sink {
public:
    Sink(T* out, int capacity) : out_(out), capacity_(capacity) {}
    bool Put(T value) {
        if (out_) {
            if (count_ >= capacity_) return false;
            out_[count_] = value;
        }
        ++count_;
        return true;
    }
    int Count() const { return count_; }

private:
    T* out_;
    int capacity_;
    int count_ = 0;
};

// Decodes one UTF-8 sequence at text[i]; returns the code point or -1 for an
// ill-formed maximal subpart whose length is stored in *used.
long DecodeUtf8(const unsigned char* text, size_t length, size_t i, size_t* used) {
    unsigned char lead = text[i];
    *used = 1;
    if (lead < 0x80) return lead;
    int extra;
    long cp;
    unsigned char lo = 0x80, hi = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        extra = 1;
        cp = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        extra = 2;
        cp = lead & 0x0F;
        if (lead == 0xE0) lo = 0xA0;
        if (lead == 0xED) hi = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        extra = 3;
        cp = lead & 0x07;
        if (lead == 0xF0) lo = 0x90;
        if (lead == 0xF4) hi = 0x8F;
    } else {
        return -1;
    }
    for (int k = 0; k < extra; ++k) {
        size_t at = i + 1 + k;
        if (at >= length) return -1;
        unsigned char c = text[at];
        if (c < lo || c > hi) return -1;
        lo = 0x80;
        hi = 0xBF;
        cp = (cp << 6) | (c & 0x3F);
        *used = k + 2;
    }
    *used = extra + 1;
    return cp;
}

int Utf8ToWide(const char* text, int length, wchar_t* wide, int wideLength) {
    auto bytes = reinterpret_cast<const unsigned char*>(text);
    Sink<wchar_t> sink(wide, wideLength);
    for (size_t i = 0; i < (size_t)length;) {
        size_t used = 0;
        long cp = DecodeUtf8(bytes, (size_t)length, i, &used);
        if (cp < 0) cp = kReplacement;
        if (!sink.Put((wchar_t)cp)) return zrwin::FailWithError(ERROR_INSUFFICIENT_BUFFER, 0);
        i += used;
    }
    return sink.Count();
}

int WideToUtf8(const wchar_t* wide, int length, char* text, int textLength) {
    Sink<char> sink(text, textLength);
    for (int i = 0; i < length; ++i) {
        unsigned long cp = (unsigned long)(uint32_t)wide[i];
        // A surrogate pair that arrived unit by unit is one character.
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < length) {
            unsigned long low = (unsigned long)(uint32_t)wide[i + 1];
            if (low >= 0xDC00 && low <= 0xDFFF) {
                cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            }
        }
        if ((cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) cp = kReplacement;
        char buf[4];
        int n;
        if (cp < 0x80) {
            buf[0] = (char)cp;
            n = 1;
        } else if (cp < 0x800) {
            buf[0] = (char)(0xC0 | (cp >> 6));
            buf[1] = (char)(0x80 | (cp & 0x3F));
            n = 2;
        } else if (cp < 0x10000) {
            buf[0] = (char)(0xE0 | (cp >> 12));
            buf[1] = (char)(0x80 | ((cp >> 6) & 0x3F));
            buf[2] = (char)(0x80 | (cp & 0x3F));
            n = 3;
        } else {
            buf[0] = (char)(0xF0 | (cp >> 18));
            buf[1] = (char)(0x80 | ((cp >> 12) & 0x3F));
            buf[2] = (char)(0x80 | ((cp >> 6) & 0x3F));
            buf[3] = (char)(0x80 | (cp & 0x3F));
            n = 4;
        }
        for (int k = 0; k < n; ++k)
            if (!sink.Put(buf[k])) return zrwin::FailWithError(ERROR_INSUFFICIENT_BUFFER, 0);
    }
    return sink.Count();
}

int Cp1252ToWide(const char* text, int length, wchar_t* wide, int wideLength) {
    Sink<wchar_t> sink(wide, wideLength);
    for (int i = 0; i < length; ++i)
        if (!sink.Put(zrwin::Decode1252((unsigned char)text[i]))) return zrwin::FailWithError(ERROR_INSUFFICIENT_BUFFER, 0);
    return sink.Count();
}

// The byte Windows writes for a character 1252 lacks, or -1 when none fits.
int BestFit1252(wchar_t c) {
    const auto* end = zrwin::kBestFit1252 + zrwin::kBestFit1252Count;
    const auto* found = std::lower_bound(zrwin::kBestFit1252, end, (uint32_t)c,
                                         [](const zrwin::BestFitEntry& e, uint32_t u) { return e.wide < u; });
    return found != end && found->wide == (uint32_t)c ? found->byte : -1;
}

int WideTo1252(const wchar_t* wide, int length, char* text, int textLength, const char* defaultChar,
               BOOL* usedDefault) {
    char fallback = defaultChar ? defaultChar[0] : '?';
    bool used = false;
    Sink<char> sink(text, textLength);
    for (int i = 0; i < length; ++i) {
        int byte = zrwin::Encode1252(wide[i]);
        if (byte < 0) byte = BestFit1252(wide[i]);
        if (byte < 0) {
            used = true;
            byte = (unsigned char)fallback;
        }
        if (!sink.Put((char)byte)) return zrwin::FailWithError(ERROR_INSUFFICIENT_BUFFER, 0);
    }
    if (usedDefault) *usedDefault = used ? TRUE : FALSE;
    return sink.Count();
}

// ---- other code pages through iconv.
std::string IconvName(UINT codePage) {
    switch (codePage) {
        case 1200:
            return "UTF-16LE";
        case 1201:
            return "UTF-16BE";
        case 20127:
            return "ASCII";
        case 28591:
            return "ISO-8859-1";
        case 10000:
            return "MACINTOSH";
        default:
            if (codePage >= 28592 && codePage <= 28605) return "ISO-8859-" + std::to_string(codePage - 28590);
            return "CP" + std::to_string(codePage);
    }
}

class Iconv {
public:
    Iconv(const std::string& to, const std::string& from) : cd_(iconv_open(to.c_str(), from.c_str())) {}
    ~Iconv() {
        if (ok()) iconv_close(cd_);
    }
    Iconv(const Iconv&) = delete;
    Iconv& operator=(const Iconv&) = delete;
    bool ok() const { return cd_ != (iconv_t)-1; }
    // Converts one unit; returns the output bytes produced or -1.
    long One(const char* in, size_t inLength, size_t* consumed, char* out, size_t outLength) {
        char* inPtr = const_cast<char*>(in);
        size_t inLeft = inLength;
        char* outPtr = out;
        size_t outLeft = outLength;
        size_t r = iconv(cd_, &inPtr, &inLeft, &outPtr, &outLeft);
        *consumed = inLength - inLeft;
        if (r == (size_t)-1 && *consumed == 0) {
            iconv(cd_, nullptr, nullptr, nullptr, nullptr);
            return -1;
        }
        return (long)(outLength - outLeft);
    }

private:
    iconv_t cd_;
};

int IconvToWide(UINT codePage, const char* text, int length, wchar_t* wide, int wideLength) {
    Iconv cd("UTF-32LE", IconvName(codePage));
    if (!cd.ok()) return zrwin::FailWithError(ERROR_INVALID_PARAMETER, 0);
    Sink<wchar_t> sink(wide, wideLength);
    for (size_t i = 0; i < (size_t)length;) {
        char out[16];
        size_t consumed = 0;
        // Multi-byte code pages: feed growing prefixes until a character forms.
        long produced = -1;
        for (size_t take = 1; take <= 4 && i + take <= (size_t)length; ++take) {
            produced = cd.One(text + i, take, &consumed, out, sizeof out);
            if (produced > 0) break;
        }
        if (produced <= 0) {
            if (!sink.Put(kReplacement)) return zrwin::FailWithError(ERROR_INSUFFICIENT_BUFFER, 0);
            ++i;
            continue;
        }
        for (long k = 0; k + 4 <= produced; k += 4) {
            uint32_t cp;
            std::memcpy(&cp, out + k, 4);
            if (!sink.Put((wchar_t)cp)) return zrwin::FailWithError(ERROR_INSUFFICIENT_BUFFER, 0);
        }
        i += consumed;
    }
    return sink.Count();
}

int WideToIconv(UINT codePage, const wchar_t* wide, int length, char* text, int textLength, const char* defaultChar,
                BOOL* usedDefault) {
    Iconv cd(IconvName(codePage), "UTF-32LE");
    if (!cd.ok()) return zrwin::FailWithError(ERROR_INVALID_PARAMETER, 0);
    bool used = false;
    Sink<char> sink(text, textLength);
    for (int i = 0; i < length; ++i) {
        uint32_t cp = (uint32_t)wide[i];
        char in[4];
        std::memcpy(in, &cp, 4);
        char out[16];
        size_t consumed = 0;
        long produced = cd.One(in, 4, &consumed, out, sizeof out);
        if (produced <= 0) {
            used = true;
            out[0] = defaultChar ? defaultChar[0] : '?';
            produced = 1;
        }
        for (long k = 0; k < produced; ++k)
            if (!sink.Put(out[k])) return zrwin::FailWithError(ERROR_INSUFFICIENT_BUFFER, 0);
    }
    if (usedDefault) *usedDefault = used ? TRUE : FALSE;
    return sink.Count();
}

}  // namespace

namespace zrwin {

wchar_t Decode1252(unsigned char byte) {
    if (byte >= 0x80 && byte < 0xA0) return k1252High[byte - 0x80];
    return (wchar_t)byte;
}

int Encode1252(wchar_t c) {
    uint32_t u = (uint32_t)c;
    if (u < 0x80 || (u >= 0xA0 && u <= 0xFF)) return (int)u;
    for (int i = 0; i < 32; ++i)
        if ((uint32_t)k1252High[i] == u) return 0x80 + i;
    return -1;
}

}  // namespace zrwin

ZRWINAPI UINT WINAPI GetACP(void) {
    static const UINT acp = ReadAnsiCodePage();
    return acp;
}

ZRWINAPI UINT WINAPI GetOEMCP(void) { return 437; }

ZRWINAPI int WINAPI MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR text, int textLength, LPWSTR wide,
                                       int wideLength) {
    if (!text || textLength == 0 || wideLength < 0 || (wideLength > 0 && !wide)) return zrwin::FailWithError(ERROR_INVALID_PARAMETER, 0);
    if (textLength < 0) textLength = (int)std::strlen(text) + 1;
    if (wideLength == 0) wide = nullptr;
    // The product converts without flags; none is served (no MB_ERR_INVALID_CHARS).
    if (flags) return zrwin::FailWithError(ERROR_INVALID_FLAGS, 0);
    UINT cp = Resolve(codePage);
    if (cp == CP_UTF8) return Utf8ToWide(text, textLength, wide, wideLength);
    if (cp == 1252) return Cp1252ToWide(text, textLength, wide, wideLength);
    if (cp == CP_UTF7) return zrwin::FailWithError(ERROR_INVALID_PARAMETER, 0);
    return IconvToWide(cp, text, textLength, wide, wideLength);
}

ZRWINAPI int WINAPI WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR wide, int wideLength, LPSTR text,
                                       int textLength, LPCSTR defaultChar, LPBOOL usedDefaultChar) {
    if (!wide || wideLength == 0 || textLength < 0 || (textLength > 0 && !text)) return zrwin::FailWithError(ERROR_INVALID_PARAMETER, 0);
    if (wideLength < 0) wideLength = (int)std::wcslen(wide) + 1;
    if (textLength == 0) text = nullptr;
    // Nor WC_NO_BEST_FIT_CHARS, WC_ERR_INVALID_CHARS or the composition flags.
    if (flags) return zrwin::FailWithError(ERROR_INVALID_FLAGS, 0);
    UINT cp = Resolve(codePage);
    if (cp == CP_UTF8) {
        if (defaultChar || usedDefaultChar) return zrwin::FailWithError(ERROR_INVALID_PARAMETER, 0);
        return WideToUtf8(wide, wideLength, text, textLength);
    }
    if (cp == 1252) return WideTo1252(wide, wideLength, text, textLength, defaultChar, usedDefaultChar);
    if (cp == CP_UTF7) return zrwin::FailWithError(ERROR_INVALID_PARAMETER, 0);
    return WideToIconv(cp, wide, wideLength, text, textLength, defaultChar, usedDefaultChar);
}
