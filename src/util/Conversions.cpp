#include "util/Conversions.h"

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <new>
#include <stdexcept>

#include "log/Log.h"
#include "util/LoadLibrary.h"

bool CodePageTakesDefaultChar(UINT codePage) {
    if (codePage == CP_ACP || codePage == CP_THREAD_ACP) codePage = GetACP();
    else if (codePage == CP_OEMCP) codePage = GetOEMCP();
    switch (codePage) {
        case 42: case 50220: case 50221: case 50222: case 50225: case 50227: case 50229:
        case 54936: case 65000: case 65001:
            return false;
        default:
            return !(codePage >= 57002 && codePage <= 57011);
    }
}

namespace {

// "?" stands for unmappable characters in the system code page, unless that
// page refuses a default character (a UTF-8 system code page does).
const char* DefaultCharFor(UINT codePage) {
    return codePage == CP_ACP && CodePageTakesDefaultChar(CP_ACP) ? "?" : nullptr;
}

}  // namespace

// The result is built from the length the conversion returns, never from a
// terminator it is trusted to have written: a trailing incomplete sequence
// can come out shorter than asked for.
wchar_t* MultiByteToWideAlloc(const char* text, UINT codePage) {
    if (text == nullptr) {
        return nullptr;
    }
    const int inputLength = static_cast<int>(std::strlen(text));
    int needed = 0;
    if (inputLength > 0) {
        needed = MultiByteToWideChar(codePage, 0, text, inputLength, nullptr, 0);
        if (needed <= 0) {
            return nullptr;
        }
    }
    wchar_t* buffer = new (std::nothrow) wchar_t[needed + 1];
    if (buffer == nullptr) {
        return nullptr;
    }
    int written = 0;
    if (inputLength > 0) {
        written = MultiByteToWideChar(codePage, 0, text, inputLength, buffer, needed);
        if (written <= 0) {
            delete[] buffer;
            return nullptr;
        }
    }
    buffer[written] = L'\0';
    return buffer;
}

char* WideToMultiByteAlloc(const wchar_t* text, UINT codePage) {
    if (text == nullptr) {
        return nullptr;
    }
    const char* defaultChar = DefaultCharFor(codePage);
    const int inputLength = static_cast<int>(std::wcslen(text));
    const int needed = WideCharToMultiByte(codePage, 0, text, inputLength, nullptr, 0, defaultChar, nullptr);
    if (needed <= 0) {
        return nullptr;  // also for an empty text
    }
    char* buffer = new (std::nothrow) char[needed + 1];
    if (buffer == nullptr) {
        return nullptr;
    }
    const int written = WideCharToMultiByte(codePage, 0, text, inputLength, buffer, needed, defaultChar, nullptr);
    if (written <= 0) {
        delete[] buffer;
        return nullptr;
    }
    buffer[written] = '\0';
    return buffer;
}

wchar_t* MultiByteToWideBuffer(wchar_t* destination, const char* text, int destinationLength, UINT codePage) {
    if (destination == nullptr || text == nullptr) {
        return nullptr;
    }
    if (destinationLength > 0) {
        destination[0] = L'\0';
    }
    if (MultiByteToWideChar(codePage, 0, text, -1, destination, destinationLength) <= 0) {
        return nullptr;
    }
    return destination;
}

char* WideToMultiByteBuffer(char* destination, const wchar_t* text, int destinationLength, UINT codePage) {
    if (destination == nullptr || text == nullptr) {
        return nullptr;
    }
    if (destinationLength > 0) {
        destination[0] = '\0';
    }
    const char* defaultChar = DefaultCharFor(codePage);
    if (WideCharToMultiByte(codePage, 0, text, -1, destination, destinationLength, defaultChar, nullptr) <= 0) {
        return nullptr;
    }
    return destination;
}

namespace Utils_Conversions {

std::wstring Conversion::toWstring(const char* text, UINT codePage) {
    std::wstring result;
    wchar_t* buffer = nullptr;
    try {
        buffer = MultiByteToWideAlloc(text, codePage);
        if (buffer != nullptr) {
            result = buffer;
        }
    } catch (...) {
        LogAlways("Utils_Conversions::Conversion::toWstring Error, converting '%s' from CP %d", text,
                  static_cast<int>(codePage));
    }
    delete[] buffer;
    return result;
}

std::wstring Conversion::toWstring(const std::string& text, UINT codePage) {
    return toWstring(text.c_str(), codePage);
}

std::string Conversion::toString(const wchar_t* text, UINT codePage) {
    std::string result;
    char* buffer = nullptr;
    try {
        buffer = WideToMultiByteAlloc(text, codePage);
        if (buffer != nullptr) {
            result = buffer;
        }
    } catch (...) {
        LogAlways("Utils_Conversions::Conversion::toString Error, converting '%ws' to CP %d", text,
                  static_cast<int>(codePage));
    }
    delete[] buffer;
    return result;
}

std::string Conversion::toString(const std::wstring& text, UINT codePage) {
    return toString(text.c_str(), codePage);
}

namespace {

constexpr DWORD kLocaleDefaultAnsiCodePage = 0x1004;  // LOCALE_IDEFAULTANSICODEPAGE

// Systems before NT 5.0 have no thread ANSI code page selector: read the
// thread locale's default ANSI code page, bound at run time because the
// locale calls are needed only there.
UINT LocaleAnsiCodePage() {
    typedef DWORD(WINAPI GetThreadLocaleFn)();
    typedef int(WINAPI GetLocaleInfoAFn)(DWORD, DWORD, char*, int);
    CLoadLibrary kernel32("Kernel32.dll");
    GetThreadLocaleFn* getThreadLocale = nullptr;
    GetLocaleInfoAFn* getLocaleInfo = nullptr;
    UINT codePage = 0;
    if (kernel32.Bind("GetThreadLocale", getThreadLocale) && kernel32.Bind("GetLocaleInfoA", getLocaleInfo)) {
        char text[16] = {};
        if (getLocaleInfo(getThreadLocale(), kLocaleDefaultAnsiCodePage, text, static_cast<int>(sizeof(text))) > 0) {
            codePage = static_cast<UINT>(std::strtoul(text, nullptr, 10));
        }
    }
    return codePage != 0 ? codePage : GetACP();
}

UINT ChooseCommandLineCodePage() {
    return GetOSVersionCode() >= 50 ? CP_THREAD_ACP : LocaleAnsiCodePage();
}

}  // namespace

UINT CommandLineCodePage() {
    static const UINT codePage = ChooseCommandLineCodePage();
    return codePage;
}

CommandLineW::CommandLineW(const char* commandLine) {
    inline_[0] = L'\0';
    const char* text = commandLine != nullptr ? commandLine : "";
    UINT codePage = CommandLineCodePage();
    int needed = MultiByteToWideChar(codePage, 0, text, -1, nullptr, 0);
    if (needed <= 0) {
        throw std::runtime_error("command line conversion failed");
    }
    wchar_t* target = inline_;
    if (needed > static_cast<int>(sizeof(inline_) / sizeof(inline_[0]))) {
        heap_ = new wchar_t[needed];
        target = heap_;
    }
    if (MultiByteToWideChar(codePage, 0, text, -1, target, needed) <= 0) {
        delete[] heap_;
        heap_ = nullptr;
        throw std::runtime_error("command line conversion failed");
    }
}

CommandLineW::~CommandLineW() {
    delete[] heap_;
}

}  // namespace Utils_Conversions

std::string GetSystemErrorText(DWORD errorCode) {
    char message[256] = {};
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                                      FORMAT_MESSAGE_MAX_WIDTH_MASK,
                                  nullptr, errorCode, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), message,
                                  static_cast<DWORD>(sizeof(message)), nullptr);
    if (length == 0) {
        return std::string();
    }
    char code[16];
    std::snprintf(code, sizeof(code), "%lx", static_cast<unsigned long>(errorCode));
    std::string text = "{err:0x";
    text += code;
    text += ", msg:";
    text.append(message, std::strlen(message));
    text += "}";
    return text;
}

namespace {
constexpr unsigned kHighSurrogateFirst = 0xD800;
constexpr unsigned kLowSurrogateFirst = 0xDC00;
constexpr unsigned kSurrogateEnd = 0xE000;

void PutUnit(std::string& out, size_t& at, unsigned unit) {
    out[at++] = static_cast<char>(unit & 0xFF);
    out[at++] = static_cast<char>((unit >> 8) & 0xFF);
}
}  // namespace

std::string ToUtf16LE(const wchar_t* text, size_t length) {
    std::string out;
    if (text == nullptr) {
        return out;
    }
    // Sized once and filled in place: every log record passes through here.
    size_t units = length;
    if (sizeof(wchar_t) > 2) {
        for (size_t i = 0; i < length; ++i) {
            const unsigned value = static_cast<unsigned>(text[i]);
            if (value >= 0x10000 && value <= 0x10FFFF) ++units;
        }
    }
    out.resize(2 * units);
    size_t at = 0;
    for (size_t i = 0; i < length; ++i) {
        unsigned value = static_cast<unsigned>(text[i]);
        if (sizeof(wchar_t) > 2 && value >= 0x10000 && value <= 0x10FFFF) {
            value -= 0x10000;
            PutUnit(out, at, kHighSurrogateFirst + (value >> 10));
            PutUnit(out, at, kLowSurrogateFirst + (value & 0x3FF));
        } else {
            PutUnit(out, at, value & 0xFFFF);
        }
    }
    return out;
}

std::string ToUtf16LE(const std::wstring& text) {
    return ToUtf16LE(text.data(), text.size());
}

std::wstring FromUtf16LE(const void* bytes, size_t byteCount) {
    std::wstring out;
    if (bytes == nullptr) {
        return out;
    }
    const unsigned char* p = static_cast<const unsigned char*>(bytes);
    size_t units = byteCount / 2;
    out.reserve(units);
    for (size_t i = 0; i < units; ++i) {
        unsigned unit = p[2 * i] | (static_cast<unsigned>(p[2 * i + 1]) << 8);
        if (sizeof(wchar_t) > 2 && unit >= kHighSurrogateFirst && unit < kLowSurrogateFirst && i + 1 < units) {
            unsigned next = p[2 * i + 2] | (static_cast<unsigned>(p[2 * i + 3]) << 8);
            if (next >= kLowSurrogateFirst && next < kSurrogateEnd) {
                unsigned value = 0x10000 + ((unit - kHighSurrogateFirst) << 10) + (next - kLowSurrogateFirst);
                out.push_back(static_cast<wchar_t>(value));
                ++i;
                continue;
            }
        }
        out.push_back(static_cast<wchar_t>(unit));
    }
    return out;
}
