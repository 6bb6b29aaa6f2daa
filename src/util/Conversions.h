// Text conversions between 8-bit code pages and wide text, and system error
// texts. Wide text is wchar_t in memory on every platform; where it becomes
// bytes (wire, file, hash) it is UTF-16LE, through ToUtf16LE/FromUtf16LE.
#pragma once

#include <string>

#include "platform/platform.h"

namespace Utils_Conversions {

class Conversion {
public:
    static std::wstring toWstring(const char* text, UINT codePage);
    static std::wstring toWstring(const std::string& text, UINT codePage);
    static std::string toString(const wchar_t* text, UINT codePage);
    static std::string toString(const std::wstring& text, UINT codePage);
};

// The 8-bit command line as wide text in the thread's ANSI code page, in
// place up to 128 units and on the heap beyond. Throws std::runtime_error
// when the conversion fails.
class CommandLineW {
public:
    explicit CommandLineW(const char* commandLine);
    ~CommandLineW();
    CommandLineW(const CommandLineW&) = delete;
    CommandLineW& operator=(const CommandLineW&) = delete;
    const wchar_t* c_str() const { return heap_ ? heap_ : inline_; }

private:
    wchar_t inline_[128];
    wchar_t* heap_ = nullptr;
};

// The code page CommandLineW converts with, chosen once per process.
UINT CommandLineCodePage();

}  // namespace Utils_Conversions

// Whether WideCharToMultiByte accepts a default character (and a used-default
// flag) for this code page: UTF-8 and the other stateful or multi-byte pages
// refuse them, also when the system's ANSI code page is one of them.
bool CodePageTakesDefaultChar(UINT codePage);

// Heap conversions; the caller frees the result with delete[]. Null on failure.
wchar_t* MultiByteToWideAlloc(const char* text, UINT codePage);
char* WideToMultiByteAlloc(const wchar_t* text, UINT codePage);
// Conversions into a caller's buffer of destinationLength units; the
// destination is emptied first. Null when a pointer is null or it fails.
wchar_t* MultiByteToWideBuffer(wchar_t* destination, const char* text, int destinationLength, UINT codePage);
char* WideToMultiByteBuffer(char* destination, const wchar_t* text, int destinationLength, UINT codePage);

// "{err:0x<hex>, msg:<text>}" or empty when the system has no text.
std::string GetSystemErrorText(DWORD errorCode);

// Wide text as UTF-16LE bytes (surrogate pairs where wchar_t is 32-bit), and
// back. Unpaired surrogates travel unchanged.
std::string ToUtf16LE(const std::wstring& text);
std::string ToUtf16LE(const wchar_t* text, size_t length);
std::wstring FromUtf16LE(const void* bytes, size_t byteCount);
