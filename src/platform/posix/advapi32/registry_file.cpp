// The .reg file parser of the layer's registry.
#include "advapi32/registry_file.h"

#include <cstdint>
#include <cstdio>
#include <string_view>

#include "zrwin/registry.h"

namespace zrwin {

std::wstring NormalizeKeyPath(const std::wstring& path) {
    std::wstring out;
    size_t i = 0;
    while (i < path.size()) {
        size_t end = path.find(L'\\', i);
        if (end == std::wstring::npos) end = path.size();
        if (end > i) {
            if (!out.empty()) out += L'\\';
            out.append(path, i, end - i);
        }
        i = end + 1;
    }
    return FoldCase(out);
}

namespace {

std::wstring DecodeUtf16Le(const uint8_t* data, size_t size) {
    std::wstring out;
    for (size_t i = 0; i + 1 < size; i += 2) {
        uint32_t unit = data[i] | (static_cast<uint32_t>(data[i + 1]) << 8);
        if (unit >= 0xD800 && unit < 0xDC00 && i + 3 < size) {
            uint32_t low = data[i + 2] | (static_cast<uint32_t>(data[i + 3]) << 8);
            if (low >= 0xDC00 && low < 0xE000) {
                out += static_cast<wchar_t>(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
                i += 2;
                continue;
            }
        }
        out += static_cast<wchar_t>(unit);
    }
    return out;
}

std::wstring DecodeFile(const std::string& bytes) {
    auto data = reinterpret_cast<const uint8_t*>(bytes.data());
    if (bytes.size() >= 2 && data[0] == 0xFF && data[1] == 0xFE) return DecodeUtf16Le(data + 2, bytes.size() - 2);
    if (bytes.size() >= 3 && data[0] == 0xEF && data[1] == 0xBB && data[2] == 0xBF) return Utf8ToWide(bytes.substr(3));
    // UTF-16LE without a byte-order mark still starts with an ASCII letter and a zero byte.
    if (bytes.size() >= 2 && data[0] != 0 && data[1] == 0) return DecodeUtf16Le(data, bytes.size());
    return Utf8ToWide(bytes);
}

bool IsBlank(wchar_t ch) { return ch == L' ' || ch == L'\t'; }

// Views into the decoded file: a line is never copied unless it continues
// onto the next, so loading costs memory in proportion to the file.
std::wstring_view Trim(std::wstring_view text) {
    size_t begin = 0, end = text.size();
    while (begin < end && IsBlank(text[begin])) ++begin;
    while (end > begin && (IsBlank(text[end - 1]) || text[end - 1] == L'\r')) --end;
    return text.substr(begin, end - begin);
}

std::wstring Folded(std::wstring_view text) { return FoldCase(std::wstring(text)); }

int HexDigit(wchar_t ch) {
    if (ch >= L'0' && ch <= L'9') return ch - L'0';
    if (ch >= L'a' && ch <= L'f') return ch - L'a' + 10;
    if (ch >= L'A' && ch <= L'F') return ch - L'A' + 10;
    return -1;
}

class RegParser {
public:
    RegParser(RegistryData& out, const std::string& fileName) : out_(out), fileName_(fileName) {}

    void Parse(std::wstring_view text) {
        size_t start = 0;
        auto nextLine = [&](std::wstring_view& line) {
            if (start > text.size()) return false;
            size_t end = text.find(L'\n', start);
            if (end == std::wstring_view::npos) end = text.size();
            line = text.substr(start, end - start);
            start = end + 1;
            return true;
        };
        bool headerSeen = false;
        std::wstring joined;
        std::wstring_view raw;
        for (size_t i = 0; nextLine(raw); ++i) {
            size_t lineNumber = i + 1;
            std::wstring_view line = Trim(raw);
            if (line.empty() || line[0] == L';') continue;
            // A trailing backslash continues the line (long hex lists).
            if (line.back() == L'\\' && line[0] != L'[') {
                joined.assign(line);
                while (!joined.empty() && joined.back() == L'\\' && nextLine(raw)) {
                    ++i;
                    joined.pop_back();
                    joined += Trim(raw);
                }
                line = joined;
            }
            if (!headerSeen) {
                headerSeen = true;
                if (line == L"Windows Registry Editor Version 5.00" || line == L"REGEDIT4") continue;
                Report(lineNumber, "missing header \"Windows Registry Editor Version 5.00\"");
            }
            if (line[0] == L'[') {
                ParseKey(line, lineNumber);
            } else {
                ParseValue(line, lineNumber);
            }
        }
    }

private:
    void Report(size_t line, const char* problem) {
        std::fprintf(stderr, "zrwin: registry file '%s' line %zu: %s\n", fileName_.c_str(), line, problem);
    }

    void ParseKey(std::wstring_view line, size_t lineNumber) {
        haveKey_ = false;
        sawKey_ = true;
        size_t close = line.rfind(L']');
        if (close == std::wstring::npos) return Report(lineNumber, "key without closing bracket");
        std::wstring name(line.substr(1, close - 1));
        if (!name.empty() && name[0] == L'-') return;  // deletions do not apply to a fresh registry
        size_t slash = name.find(L'\\');
        std::wstring root = FoldCase(name.substr(0, slash));
        if (root != L"HKEY_LOCAL_MACHINE") return;  // other roots are empty in this layer
        std::wstring path = slash == std::wstring::npos ? std::wstring() : NormalizeKeyPath(name.substr(slash + 1));
        // Every ancestor of a key exists too.
        out_.keys[L""];
        for (size_t p = path.find(L'\\'); p != std::wstring::npos; p = path.find(L'\\', p + 1)) {
            out_.keys[path.substr(0, p)];
        }
        out_.keys[path];
        current_ = path;
        haveKey_ = true;
    }

    // Reads a quoted string at text[pos] (the opening quote) and moves pos after the closing one.
    static bool ParseQuoted(std::wstring_view text, size_t& pos, std::wstring& out) {
        out.clear();
        const size_t close = text.find(L'"', pos + 1);
        out.reserve(close == std::wstring_view::npos ? 0 : close - pos);
        for (size_t i = pos + 1; i < text.size(); ++i) {
            wchar_t ch = text[i];
            if (ch == L'"') {
                pos = i + 1;
                return true;
            }
            if (ch == L'\\' && i + 1 < text.size() && (text[i + 1] == L'\\' || text[i + 1] == L'"')) {
                out += text[++i];
                continue;
            }
            out += ch;
        }
        return false;
    }

    void ParseValue(std::wstring_view line, size_t lineNumber) {
        RegistryValue value;
        size_t pos = 0;
        if (line[0] == L'@') {
            pos = 1;
        } else if (line[0] == L'"') {
            if (!ParseQuoted(line, pos, value.name)) return Report(lineNumber, "value name without closing quote");
        } else {
            return Report(lineNumber, "line is neither a key nor a value");
        }
        while (pos < line.size() && IsBlank(line[pos])) ++pos;
        if (pos >= line.size() || line[pos] != L'=') return Report(lineNumber, "value without '='");
        ++pos;
        while (pos < line.size() && IsBlank(line[pos])) ++pos;
        std::wstring_view data = line.substr(pos);
        if (data == L"-") return;  // value deletion
        if (!data.empty() && data[0] == L'"') {
            size_t end = 0;
            if (!ParseQuoted(data, end, value.text)) return Report(lineNumber, "string value without closing quote");
            if (!Trim(data.substr(end)).empty()) return Report(lineNumber, "text after a string value");
            value.type = REG_SZ;
        } else if (Folded(data.substr(0, 6)) == L"DWORD:") {
            std::wstring_view digits = Trim(data.substr(6));
            if (digits.empty() || digits.size() > 8) return Report(lineNumber, "dword needs 1 to 8 hex digits");
            uint32_t number = 0;
            for (wchar_t ch : digits) {
                int d = HexDigit(ch);
                if (d < 0) return Report(lineNumber, "dword with a non-hex digit");
                number = number * 16 + static_cast<uint32_t>(d);
            }
            value.type = REG_DWORD;
            for (int b = 0; b < 4; ++b) value.bytes.push_back(static_cast<uint8_t>(number >> (8 * b)));
        } else if (Folded(data.substr(0, 3)) == L"HEX") {
            // Binary, expandable, multi-string and qword values are kept by
            // name only: nothing here reads them, and a query says so.
            value.served = false;
        } else {
            return Report(lineNumber, "unknown value type");
        }
        if (!sawKey_) return Report(lineNumber, "value before any key");
        if (!haveKey_) return;  // values of keys outside HKEY_LOCAL_MACHINE
        out_.keys[current_].Set(std::move(value));
    }

    RegistryData& out_;
    std::string fileName_;
    std::wstring current_;
    bool haveKey_ = false;
    bool sawKey_ = false;
};

}  // namespace

void ParseRegistryFile(std::string bytes, const std::string& fileName, RegistryData& out) {
    std::wstring text = DecodeFile(bytes);
    std::string().swap(bytes);  // the decoded text is all the parser needs
    RegParser(out, fileName).Parse(text);
}

}  // namespace zrwin
