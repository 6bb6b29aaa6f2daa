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
#include "advapi32/registry_file.h"
#include "core/handle_table.h"
#include "advapi32/registry_store.h"
#include "zrwin/registry.h"

namespace zrwin {

namespace {

constexpr const char* kRegistryVariable = "ZRWIN_REGISTRY";
constexpr const char* kDefaultRegistryFile = "/etc/zrmodproc/registry.reg";

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
        ParseRegistryFile(std::move(bytes), stamp.path, *data);
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

// Keys opened through RegOpenKeyEx live in the one kernel handle table; each
// keeps the registry it was opened in.
class OpenKey : public KernelObject {
public:
    OpenKey(std::shared_ptr<const RegistryData> data, std::wstring path)
        : KernelObject(ObjectKind::RegistryKey), data_(std::move(data)), path_(std::move(path)) {}
    const std::shared_ptr<const RegistryData>& Data() const { return data_; }
    const std::wstring& Path() const { return path_; }  // folded

private:
    std::shared_ptr<const RegistryData> data_;
    std::wstring path_;
};

std::shared_ptr<OpenKey> LookupKey(HKEY key) {
    auto object = LookupHandle(reinterpret_cast<HANDLE>(key));
    if (!object || object->Kind() != ObjectKind::RegistryKey) return nullptr;
    return std::static_pointer_cast<OpenKey>(object);
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
    data = open->Data();
    path = open->Path();
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
    HANDLE handle = InsertHandle(std::make_shared<OpenKey>(std::move(data), std::move(full)));
    if (!handle) return ERROR_NO_SYSTEM_RESOURCES;
    *result = reinterpret_cast<HKEY>(handle);
    return ERROR_SUCCESS;
}

// Finds a value and renders its data as RegQueryValueEx returns it.
LSTATUS QueryValue(HKEY key, const std::wstring& name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                   LPDWORD dataSize) {
    if (reserved) return ERROR_INVALID_PARAMETER;
    if (data && !dataSize) return ERROR_INVALID_PARAMETER;
    std::shared_ptr<const RegistryData> registry;
    std::wstring path;
    LSTATUS status = ResolveKey(key, registry, path);
    if (status != ERROR_SUCCESS) return status;
    const KeyData* keyData = registry->Find(path);
    const RegistryValue* value = keyData ? keyData->Find(name) : nullptr;
    if (!value) return ERROR_FILE_NOT_FOUND;
    if (!value->served) return ERROR_NOT_SUPPORTED;
    std::vector<uint8_t> out = value->bytes;
    if (value->type == REG_SZ) {
        std::string ansi = WideToAnsi(value->text);
        out.assign(ansi.begin(), ansi.end());
        out.push_back(0);
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

ZRWINAPI LSTATUS WINAPI RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD, REGSAM desired, PHKEY result) {
    return OpenKeyW(key, AnsiToWide(subKey), desired, result);
}

ZRWINAPI LSTATUS WINAPI RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                                        LPDWORD dataSize) {
    return QueryValue(key, valueName ? AnsiToWide(valueName) : std::wstring(), reserved, type, data, dataSize);
}

ZRWINAPI LSTATUS WINAPI RegCloseKey(HKEY key) {
    if (IsPredefinedKey(key)) return ERROR_SUCCESS;
    if (!LookupKey(key) || !RemoveHandle(reinterpret_cast<HANDLE>(key))) return ERROR_INVALID_HANDLE;
    return ERROR_SUCCESS;
}
