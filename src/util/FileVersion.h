// File version resources and four-part version numbers.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"

bool GetFileVersionElement(const std::wstring& file, HMODULE module, const wchar_t* element, std::wstring& out);
// Narrow form: always the element "FileVersion"; null file counts as empty.
bool GetFileVersionElement(const char* file, HMODULE module, std::string& out);

class CVersionParser {
public:
    CVersionParser();
    CVersionParser(unsigned p0, unsigned p1, unsigned p2, unsigned p3);
    explicit CVersionParser(const char* text);
    virtual ~CVersionParser();

    unsigned short Get(int index) const;
    bool IsValid() const { return valid_; }
    const std::string& Text() const { return text_; }
    uint64_t Value() const { return value_; }

private:
    bool valid_;
    std::string text_;
    uint64_t value_;
};

class CVersion {
public:
    CVersion();
    virtual ~CVersion();

    bool Set(unsigned p0, unsigned p1, unsigned p2, unsigned p3);
    bool SetFromText(const char* text);
    void LoadFromModule(HMODULE module);
    bool ToString(std::string& out, const char* separator) const;
    const CVersionParser& Parser() const { return version_; }

private:
    CVersionParser version_;
};
