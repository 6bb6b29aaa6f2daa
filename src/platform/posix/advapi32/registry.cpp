// advapi32 registry over a .reg export file, read-only.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "core/scoped_fd.h"
#include "core/text.h"
#include "advapi32/registry_store.h"
#include "zrwin/registry.h"

namespace zrwin {

namespace {

constexpr const char* kRegistryVariable = "ZRWIN_REGISTRY";
constexpr const char* kDefaultRegistryFile = "/etc/zrmodproc/registry.reg";

struct KeyData {
    std::vector<RegistryValue> values;
    std::unordered_map<std::wstring, size_t> index;  // folded name -> values[i]

    void Set(RegistryValue value) {
        std::wstring folded = FoldCase(value.name);
        auto found = index.find(folded);
        if (found != index.end()) {
            values[found->second] = std::move(value);
        } else {
            index.emplace(std::move(folded), values.size());
            values.push_back(std::move(value));
        }
    }
    const RegistryValue* Find(const std::wstring& name) const {
        auto found = index.find(FoldCase(name));
        return found == index.end() ? nullptr : &values[found->second];
    }
};

struct RegistryData {
    std::unordered_map<std::wstring, KeyData> keys;  // folded path relative to HKLM; L"" is the root

    const KeyData* Find(const std::wstring& foldedPath) const {
        auto found = keys.find(foldedPath);
        return found == keys.end() ? nullptr : &found->second;
    }
};

// Drops empty components so "A\\B\\" and "A\\\\B" name the same key.
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

std::wstring Trim(const std::wstring& text) {
    size_t begin = 0, end = text.size();
    while (begin < end && IsBlank(text[begin])) ++begin;
    while (end > begin && (IsBlank(text[end - 1]) || text[end - 1] == L'\r')) --end;
    return text.substr(begin, end - begin);
}

int HexDigit(wchar_t ch) {
    if (ch >= L'0' && ch <= L'9') return ch - L'0';
    if (ch >= L'a' && ch <= L'f') return ch - L'a' + 10;
    if (ch >= L'A' && ch <= L'F') return ch - L'A' + 10;
    return -1;
}

class RegParser {
public:
    RegParser(RegistryData& out, const std::string& fileName) : out_(out), fileName_(fileName) {}

    void Parse(const std::wstring& text) {
        std::vector<std::wstring> lines;
        size_t start = 0;
        while (start <= text.size()) {
            size_t end = text.find(L'\n', start);
            if (end == std::wstring::npos) end = text.size();
            lines.push_back(text.substr(start, end - start));
            start = end + 1;
        }
        bool headerSeen = false;
        for (size_t i = 0; i < lines.size(); ++i) {
            size_t lineNumber = i + 1;
            std::wstring line = Trim(lines[i]);
            if (line.empty() || line[0] == L';') continue;
            // A trailing backslash continues the line (long hex lists).
            while (!line.empty() && line.back() == L'\\' && line[0] != L'[' && i + 1 < lines.size()) {
                line.pop_back();
                line += Trim(lines[++i]);
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

    void ParseKey(const std::wstring& line, size_t lineNumber) {
        haveKey_ = false;
        sawKey_ = true;
        size_t close = line.rfind(L']');
        if (close == std::wstring::npos) return Report(lineNumber, "key without closing bracket");
        std::wstring name = line.substr(1, close - 1);
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
    static bool ParseQuoted(const std::wstring& text, size_t& pos, std::wstring& out) {
        out.clear();
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

    static bool ParseHexBytes(const std::wstring& text, std::vector<uint8_t>& out) {
        out.clear();
        int digits = 0, value = 0;
        for (wchar_t ch : text) {
            if (IsBlank(ch)) continue;
            if (ch == L',') {
                if (digits == 0) return false;
                out.push_back(static_cast<uint8_t>(value));
                digits = value = 0;
                continue;
            }
            int d = HexDigit(ch);
            if (d < 0 || digits == 2) return false;
            value = value * 16 + d;
            ++digits;
        }
        if (digits > 0) out.push_back(static_cast<uint8_t>(value));
        return true;
    }

    void ParseValue(const std::wstring& line, size_t lineNumber) {
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
        std::wstring data = line.substr(pos);
        if (data == L"-") return;  // value deletion
        if (!data.empty() && data[0] == L'"') {
            size_t end = 0;
            if (!ParseQuoted(data, end, value.text)) return Report(lineNumber, "string value without closing quote");
            if (!Trim(data.substr(end)).empty()) return Report(lineNumber, "text after a string value");
            value.type = REG_SZ;
        } else if (FoldCase(data.substr(0, 6)) == L"DWORD:") {
            std::wstring digits = Trim(data.substr(6));
            if (digits.empty() || digits.size() > 8) return Report(lineNumber, "dword needs 1 to 8 hex digits");
            uint32_t number = 0;
            for (wchar_t ch : digits) {
                int d = HexDigit(ch);
                if (d < 0) return Report(lineNumber, "dword with a non-hex digit");
                number = number * 16 + static_cast<uint32_t>(d);
            }
            value.type = REG_DWORD;
            for (int b = 0; b < 4; ++b) value.bytes.push_back(static_cast<uint8_t>(number >> (8 * b)));
        } else if (FoldCase(data.substr(0, 3)) == L"HEX") {
            size_t colon = data.find(L':');
            if (colon == std::wstring::npos) return Report(lineNumber, "hex value without ':'");
            std::wstring kind = data.substr(3, colon - 3);
            if (kind.empty()) {
                value.type = REG_BINARY;
            } else {
                if (kind.size() < 3 || kind.front() != L'(' || kind.back() != L')')
                    return Report(lineNumber, "malformed hex(type)");
                uint32_t type = 0;
                for (size_t k = 1; k + 1 < kind.size(); ++k) {
                    int d = HexDigit(kind[k]);
                    if (d < 0 || k > 8) return Report(lineNumber, "malformed hex(type)");
                    type = type * 16 + static_cast<uint32_t>(d);
                }
                value.type = type;
            }
            if (!ParseHexBytes(data.substr(colon + 1), value.bytes)) return Report(lineNumber, "malformed hex bytes");
            if (value.type == REG_SZ || value.type == REG_EXPAND_SZ || value.type == REG_MULTI_SZ) {
                std::wstring text = DecodeUtf16Le(value.bytes.data(), value.bytes.size());
                value.bytes.clear();
                if (value.type == REG_MULTI_SZ) {
                    while (!text.empty() && text.back() == L'\0') text.pop_back();
                    if (!text.empty()) text += L'\0';
                } else {
                    text = text.substr(0, text.find(L'\0'));
                }
                value.text = std::move(text);
            }
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

struct FileStamp {
    std::string path;
    bool exists = false;
    struct timespec mtime {};
    off_t size = 0;
    ino_t inode = 0;

    bool operator==(const FileStamp& other) const {
        return path == other.path && exists == other.exists && mtime.tv_sec == other.mtime.tv_sec &&
               mtime.tv_nsec == other.mtime.tv_nsec && size == other.size && inode == other.inode;
    }
};

FileStamp StampOf(const std::string& path) {
    FileStamp stamp;
    stamp.path = path;
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0) {
        stamp.exists = true;
        stamp.mtime = info.st_mtim;
        stamp.size = info.st_size;
        stamp.inode = info.st_ino;
    }
    return stamp;
}

// One warning for a registry file that cannot be used; the registry is then empty.
void WarnUnusable(const std::string& path, const char* why) {
    std::fprintf(stderr, "zrwin: the registry file '%s' (%s) %s; the registry is empty\n", path.c_str(),
                 kRegistryVariable, why);
}

// The whole file, or false after a warning. Opened without blocking and
// checked to be a regular file before anything is read: a folder, a FIFO or
// a device never hangs or aborts the process.
bool ReadRegistryFile(const std::string& path, std::string& bytes) {
    ScopedFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!fd.IsValid()) {
        WarnUnusable(path, std::strerror(errno));
        return false;
    }
    struct stat info {};
    if (::fstat(fd.Get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        WarnUnusable(path, S_ISDIR(info.st_mode) ? "is a folder" : "is not a regular file");
        return false;
    }
    bytes.reserve(static_cast<size_t>(info.st_size));
    char chunk[65536];
    for (;;) {
        const ssize_t n = ::read(fd.Get(), chunk, sizeof chunk);
        if (n == 0) return true;
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            WarnUnusable(path, std::strerror(errno));
            return false;
        }
        bytes.append(chunk, static_cast<size_t>(n));
    }
}

std::shared_ptr<const RegistryData> Load(const FileStamp& stamp) {
    auto data = std::make_shared<RegistryData>();
    data->keys[L""];
    if (!stamp.exists) return data;
    try {
        std::string bytes;
        if (!ReadRegistryFile(stamp.path, bytes)) return data;
        std::wstring text = DecodeFile(bytes);
        std::string().swap(bytes);  // the decoded text is all the parser needs
        RegParser(*data, stamp.path).Parse(text);
    } catch (const std::exception& e) {
        WarnUnusable(stamp.path, e.what());
        data = std::make_shared<RegistryData>();
        data->keys[L""];
    }
    return data;
}

std::shared_ptr<const RegistryData> Current() {
    static std::mutex lock;
    static FileStamp loadedStamp;
    static std::shared_ptr<const RegistryData> loaded;
    const char* variable = std::getenv(kRegistryVariable);
    FileStamp stamp = StampOf(variable && *variable ? variable : kDefaultRegistryFile);
    std::lock_guard<std::mutex> guard(lock);
    if (!loaded || !(stamp == loadedStamp)) {
        loaded = Load(stamp);
        loadedStamp = stamp;
    }
    return loaded;
}

// Keys opened through RegOpenKeyEx; each keeps the registry it was opened in.
struct OpenKey {
    std::shared_ptr<const RegistryData> data;
    std::wstring path;  // folded
};

constexpr uintptr_t kKeyHandleBase = 0x40000000;

struct KeyTable {
    std::mutex lock;
    std::vector<std::shared_ptr<OpenKey>> slots;
};

KeyTable& Keys() {
    static KeyTable* table = new KeyTable;  // never destroyed: keys may close during exit
    return *table;
}

HKEY InsertKey(std::shared_ptr<OpenKey> key) {
    auto& table = Keys();
    std::lock_guard<std::mutex> guard(table.lock);
    size_t slot = 0;
    while (slot < table.slots.size() && table.slots[slot]) ++slot;
    if (slot == table.slots.size()) table.slots.emplace_back();
    table.slots[slot] = std::move(key);
    return reinterpret_cast<HKEY>(kKeyHandleBase + 4 * slot);
}

bool SlotOfKey(HKEY key, size_t& slot) {
    auto value = reinterpret_cast<uintptr_t>(key);
    if (value < kKeyHandleBase || value >= 0x80000000u || (value & 3) != 0) return false;
    slot = (value - kKeyHandleBase) / 4;
    return true;
}

std::shared_ptr<OpenKey> LookupKey(HKEY key) {
    auto& table = Keys();
    size_t slot = 0;
    if (!SlotOfKey(key, slot)) return nullptr;
    std::lock_guard<std::mutex> guard(table.lock);
    return slot < table.slots.size() ? table.slots[slot] : nullptr;
}

bool IsPredefinedKey(HKEY key) {
    auto value = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(key));
    return value >= 0x80000000u && value <= 0x80000006u;
}

// Resolves a key argument to the registry and folded path it stands for.
LSTATUS ResolveKey(HKEY key, std::shared_ptr<const RegistryData>& data, std::wstring& path) {
    if (key == HKEY_LOCAL_MACHINE) {
        data = Current();
        path.clear();
        return ERROR_SUCCESS;
    }
    if (IsPredefinedKey(key)) return ERROR_FILE_NOT_FOUND;  // only HKEY_LOCAL_MACHINE has content
    auto open = LookupKey(key);
    if (!open) return ERROR_INVALID_HANDLE;
    data = open->data;
    path = open->path;
    return ERROR_SUCCESS;
}

constexpr REGSAM kWriteRights = KEY_SET_VALUE | KEY_CREATE_SUB_KEY | 0x0020 /* KEY_CREATE_LINK */ | DELETE |
                                0x00040000 /* WRITE_DAC */ | 0x00080000 /* WRITE_OWNER */ | GENERIC_WRITE |
                                GENERIC_ALL;

LSTATUS OpenKeyW(HKEY key, const std::wstring& subKey, REGSAM desired, PHKEY result) {
    if (!result) return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    if (!subKey.empty() && subKey[0] == L'\\') return ERROR_BAD_PATHNAME;
    std::shared_ptr<const RegistryData> data;
    std::wstring path;
    LSTATUS status = ResolveKey(key, data, path);
    if (status != ERROR_SUCCESS) return status;
    std::wstring full = NormalizeKeyPath(path.empty() ? subKey : path + L"\\" + subKey);
    if (!data->Find(full)) return ERROR_FILE_NOT_FOUND;
    if (desired & kWriteRights) return ERROR_ACCESS_DENIED;  // the registry is read-only
    auto open = std::make_shared<OpenKey>();
    open->data = std::move(data);
    open->path = std::move(full);
    *result = InsertKey(std::move(open));
    return ERROR_SUCCESS;
}

// Finds a value and renders its data as RegQueryValueEx returns it.
LSTATUS QueryValue(HKEY key, const std::wstring& name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                   LPDWORD dataSize, bool wide) {
    if (reserved) return ERROR_INVALID_PARAMETER;
    if (data && !dataSize) return ERROR_INVALID_PARAMETER;
    std::shared_ptr<const RegistryData> registry;
    std::wstring path;
    LSTATUS status = ResolveKey(key, registry, path);
    if (status != ERROR_SUCCESS) return status;
    const KeyData* keyData = registry->Find(path);
    const RegistryValue* value = keyData ? keyData->Find(name) : nullptr;
    if (!value) return ERROR_FILE_NOT_FOUND;
    std::vector<uint8_t> out;
    if (value->type == REG_SZ || value->type == REG_EXPAND_SZ || value->type == REG_MULTI_SZ) {
        std::wstring text = value->text;
        text += L'\0';
        if (value->type == REG_MULTI_SZ && value->text.empty()) text += L'\0';
        if (wide) {
            auto begin = reinterpret_cast<const uint8_t*>(text.data());
            out.assign(begin, begin + text.size() * sizeof(wchar_t));
        } else {
            std::string ansi = WideToAnsi(text);
            out.assign(ansi.begin(), ansi.end());
        }
    } else {
        out = value->bytes;
    }
    if (type) *type = value->type;
    auto needed = static_cast<DWORD>(out.size());
    if (!dataSize) return ERROR_SUCCESS;
    if (!data) {
        *dataSize = needed;
        return ERROR_SUCCESS;
    }
    if (*dataSize < needed) {
        *dataSize = needed;
        return ERROR_MORE_DATA;
    }
    if (!out.empty()) std::memcpy(data, out.data(), out.size());
    *dataSize = needed;
    return ERROR_SUCCESS;
}

}  // namespace

bool RegistryKeyExists(const std::wstring& keyPath) { return Current()->Find(NormalizeKeyPath(keyPath)) != nullptr; }

bool RegistryLookupValue(const std::wstring& keyPath, const std::wstring& valueName, RegistryValue& value) {
    auto data = Current();
    const KeyData* key = data->Find(NormalizeKeyPath(keyPath));
    const RegistryValue* found = key ? key->Find(valueName) : nullptr;
    if (!found) return false;
    value = *found;
    return true;
}

std::vector<RegistryValue> RegistryKeyValues(const std::wstring& keyPath) {
    auto data = Current();
    const KeyData* key = data->Find(NormalizeKeyPath(keyPath));
    return key ? key->values : std::vector<RegistryValue>{};
}

}  // namespace zrwin

using namespace zrwin;

ZRWINAPI LSTATUS WINAPI RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD, REGSAM desired, PHKEY result) {
    return OpenKeyW(key, subKey ? subKey : L"", desired, result);
}

ZRWINAPI LSTATUS WINAPI RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD, REGSAM desired, PHKEY result) {
    return OpenKeyW(key, AnsiToWide(subKey), desired, result);
}

ZRWINAPI LSTATUS WINAPI RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                                        LPDWORD dataSize) {
    return QueryValue(key, valueName ? valueName : L"", reserved, type, data, dataSize, true);
}

ZRWINAPI LSTATUS WINAPI RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                                        LPDWORD dataSize) {
    return QueryValue(key, AnsiToWide(valueName), reserved, type, data, dataSize, false);
}

ZRWINAPI LSTATUS WINAPI RegCloseKey(HKEY key) {
    if (IsPredefinedKey(key)) return ERROR_SUCCESS;
    auto& table = Keys();
    size_t slot = 0;
    if (!SlotOfKey(key, slot)) return ERROR_INVALID_HANDLE;
    std::lock_guard<std::mutex> guard(table.lock);
    if (slot >= table.slots.size() || !table.slots[slot]) return ERROR_INVALID_HANDLE;
    table.slots[slot].reset();
    return ERROR_SUCCESS;
}
