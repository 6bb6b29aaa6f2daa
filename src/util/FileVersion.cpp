#include "util/FileVersion.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <vector>

#include "log/Log.h"
#include "util/Conversions.h"

namespace {

constexpr DWORD kModuleNameLength = 260;

// The file to read: the given name, or the file of the module (the main
// executable for a null handle). A failed look-up is logged and the query
// goes on with what it has, so its own call fails and says so too.
std::wstring VersionFileName(const std::wstring& file, HMODULE module) {
    if (!file.empty()) {
        return file;
    }
    if (module == nullptr) {
        module = GetModuleHandleW(nullptr);
        if (module == nullptr) {
            Log(LOG_ERROR, "GetFileVersionElement: [E] Could not get module handle. err: %d",
                static_cast<int>(GetLastError()));
        }
    }
    wchar_t name[kModuleNameLength] = {};
    const DWORD length = GetModuleFileNameW(module, name, kModuleNameLength);
    if (length == 0) {
        Log(LOG_ERROR, "GetFileVersionElement: [E] Could not get module filename. err:%d",
            static_cast<int>(GetLastError()));
        return std::wstring();
    }
    if (length == kModuleNameLength) {
        Log(LOG_ERROR, "GetFileVersionElement: [E] The module filename was truncated. err:%d",
            static_cast<int>(GetLastError()));
        return std::wstring(name, kModuleNameLength);
    }
    Log(LOG_OTHER, "GetFileVersionElement: module file: %ws", name);
    return std::wstring(name, length);
}

// True with the value in out when the element was found.
bool QueryVersionElement(const std::wstring& file, HMODULE module, const wchar_t* element, std::wstring& out) {
    const std::wstring fileName = VersionFileName(file, module);
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeW(fileName.c_str(), &handle);
    if (size == 0) {
        Log(LOG_ERROR, "GetFileVersionElement: [E] Failed GetFileVersionInfoSize for '%ws'. err:%d", fileName.c_str(),
            static_cast<int>(GetLastError()));
        return false;
    }
    std::vector<BYTE> buffer;
    try {
        buffer.resize(static_cast<size_t>(size) * 2);
    } catch (...) {
        Log(LOG_CRITICAL_ERROR, "GetFileVersionElement: [C] Error allocating lpBuffer [%d by]", static_cast<int>(size));
        return false;
    }
    if (!GetFileVersionInfoW(fileName.c_str(), 0, size, buffer.data())) {
        Log(LOG_ERROR, "GetFileVersionElement: [E] Failed GetFileVersionInfoW for '%ws'. err:%d", fileName.c_str(),
            static_cast<int>(GetLastError()));
        return false;
    }
    void* translation = nullptr;
    UINT translationLength = 0;
    if (!VerQueryValueW(buffer.data(), L"\\VarFileInfo\\Translation", &translation, &translationLength) ||
        translation == nullptr || translationLength < 2 * sizeof(WORD)) {
        Log(LOG_ERROR, "GetFileVersionElement: [E] Failed VerQueryValueW(\\VarFileInfo\\Translation) for '%ws'. err:%d",
            fileName.c_str(), static_cast<int>(GetLastError()));
        return false;
    }
    const WORD* entry = static_cast<const WORD*>(translation);
    char digits[16];
    std::snprintf(digits, sizeof(digits), "%08lx",
                  static_cast<unsigned long>(static_cast<DWORD>(entry[0]) * 65536u + entry[1]));
    std::wstring query = L"\\StringFileInfo\\";
    for (const char* d = digits; *d != '\0'; ++d) {
        query.push_back(static_cast<wchar_t>(*d));
    }
    query.push_back(L'\\');
    if (element != nullptr) {
        query += element;
    }
    void* value = nullptr;
    UINT valueLength = 0;
    if (!VerQueryValueW(buffer.data(), query.c_str(), &value, &valueLength)) {
        Log(LOG_ERROR, "GetFileVersionElement: [E] Failed VerQueryValueW(%ws) for '%ws'. err:%d", query.c_str(),
            fileName.c_str(), static_cast<int>(GetLastError()));
        return false;
    }
    out = value != nullptr ? std::wstring(static_cast<const wchar_t*>(value)) : std::wstring();
    return true;
}

}  // namespace

bool GetFileVersionElement(const std::wstring& file, HMODULE module, const wchar_t* element, std::wstring& out) {
    QueryVersionElement(file, module, element, out);
    return true;
}

bool GetFileVersionElement(const char* file, HMODULE module, std::string& out) {
    const std::wstring wideFile =
        Utils_Conversions::Conversion::toWstring(file != nullptr ? file : "", CP_ACP);
    std::wstring value;
    if (QueryVersionElement(wideFile, module, L"FileVersion", value)) {
        out = Utils_Conversions::Conversion::toString(value, CP_ACP);
    }
    return true;
}

CVersionParser::CVersionParser() : valid_(false), value_(0) {}

CVersionParser::CVersionParser(unsigned p0, unsigned p1, unsigned p2, unsigned p3) : valid_(true), value_(0) {
    value_ = (static_cast<uint64_t>(p0 & 0xFFFF) << 48) | (static_cast<uint64_t>(p1 & 0xFFFF) << 32) |
             (static_cast<uint64_t>(p2 & 0xFFFF) << 16) | static_cast<uint64_t>(p3 & 0xFFFF);
}

CVersionParser::CVersionParser(const char* text) : valid_(false), value_(0) {
    if (text == nullptr) {
        return;
    }
    std::string cleaned;
    for (const char* c = text; *c != '\0'; ++c) {
        if (std::isspace(static_cast<unsigned char>(*c))) {
            continue;
        }
        cleaned.push_back(*c == ',' ? '.' : *c);
    }
    std::vector<std::string> pieces;
    size_t begin = 0;
    while (begin <= cleaned.size()) {
        size_t dot = cleaned.find('.', begin);
        if (dot == std::string::npos) {
            dot = cleaned.size();
        }
        if (dot > begin) {
            pieces.push_back(cleaned.substr(begin, dot - begin));
        }
        begin = dot + 1;
    }
    if (pieces.size() < 4) {
        return;
    }
    uint64_t value = 0;
    for (size_t i = 0; i < 4; ++i) {
        const long number = std::strtol(pieces[i].c_str(), nullptr, 10);
        value = (value << 16) | (static_cast<unsigned long>(number) & 0xFFFF);
    }
    value_ = value;
    text_ = cleaned;
    valid_ = true;
}

CVersionParser::~CVersionParser() = default;

unsigned short CVersionParser::Get(int index) const {
    if (!valid_ || index < 0 || index > 3) {
        return 0;
    }
    return static_cast<unsigned short>((value_ >> (16 * (3 - index))) & 0xFFFF);
}

CVersion::CVersion() : version_(0, 0, 0, 0) {}

CVersion::~CVersion() = default;

bool CVersion::Set(unsigned p0, unsigned p1, unsigned p2, unsigned p3) {
    CVersionParser parsed(p0, p1, p2, p3);
    if (parsed.IsValid()) {
        version_ = parsed;
    }
    return parsed.IsValid();
}

bool CVersion::SetFromText(const char* text) {
    CVersionParser parsed(text);
    if (parsed.IsValid()) {
        version_ = parsed;
    }
    return parsed.IsValid();
}

void CVersion::LoadFromModule(HMODULE module) {
    std::string text;
    GetFileVersionElement("", module, text);
    SetFromText(text.c_str());
}

bool CVersion::ToString(std::string& out, const char* separator) const {
    if (!version_.IsValid()) {
        return false;
    }
    const char* sep = separator != nullptr ? separator : "";
    char text[29] = {};
    std::snprintf(text, sizeof(text), "%d%s%d%s%d%s%d", version_.Get(0), sep, version_.Get(1), sep, version_.Get(2),
                  sep, version_.Get(3));
    out = text;
    return true;
}
