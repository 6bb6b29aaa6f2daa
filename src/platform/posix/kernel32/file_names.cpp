// kernel32 files by name: attributes and deletion.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <string>

#include "core/status.h"
#include "core/text.h"
#include "kernel32/file_object.h"
#include "kernel32/paths.h"
#include "zrwin/fileapi.h"
#include "zrwin/sync.h"

namespace zrwin {
namespace {

constexpr uint64_t kEpochDifference = 11644473600ull;  // seconds from 1601-01-01 to 1970-01-01

DWORD AttributesOf(const std::string& path, const struct stat& info) {
    DWORD attributes = ReadStoredAttributes(path);
    if (S_ISDIR(info.st_mode)) {
        attributes |= FILE_ATTRIBUTE_DIRECTORY;
    } else if (!(info.st_mode & S_IWUSR)) {
        attributes |= FILE_ATTRIBUTE_READONLY;
    }
    return attributes == 0 ? FILE_ATTRIBUTE_NORMAL : attributes;
}

FILETIME ToFileTime(int64_t seconds, uint32_t nanoseconds) {
    uint64_t ticks = (static_cast<uint64_t>(seconds + static_cast<int64_t>(kEpochDifference))) * 10000000ull +
                     nanoseconds / 100;
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(ticks);
    time.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    return time;
}

DWORD GetAttributesCore(LPCWSTR name) {
    std::string path;
    if (!MapName(name, path)) return INVALID_FILE_ATTRIBUTES;
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        SetLastError(PathError(errno, path));
        return INVALID_FILE_ATTRIBUTES;
    }
    return AttributesOf(path, info);
}

BOOL GetAttributesExCore(LPCWSTR name, GET_FILEEX_INFO_LEVELS level, LPVOID information) {
    if (level != GetFileExInfoStandard || !information) return FailWithError(ERROR_INVALID_PARAMETER, FALSE);
    std::string path;
    if (!MapName(name, path)) return FALSE;
    struct statx extended {};
    if (::statx(AT_FDCWD, path.c_str(), AT_STATX_SYNC_AS_STAT, STATX_BASIC_STATS | STATX_BTIME, &extended) != 0)
        return FailWithError(PathError(errno, path), FALSE);
    struct stat info {};
    info.st_mode = extended.stx_mode;
    auto* data = static_cast<WIN32_FILE_ATTRIBUTE_DATA*>(information);
    data->dwFileAttributes = AttributesOf(path, info);
    // Creation is the birth time where the file system records it, else the change time.
    const auto& created = (extended.stx_mask & STATX_BTIME) ? extended.stx_btime : extended.stx_ctime;
    data->ftCreationTime = ToFileTime(created.tv_sec, created.tv_nsec);
    data->ftLastAccessTime = ToFileTime(extended.stx_atime.tv_sec, extended.stx_atime.tv_nsec);
    data->ftLastWriteTime = ToFileTime(extended.stx_mtime.tv_sec, extended.stx_mtime.tv_nsec);
    uint64_t size = S_ISDIR(extended.stx_mode) ? 0 : extended.stx_size;
    data->nFileSizeHigh = static_cast<DWORD>(size >> 32);
    data->nFileSizeLow = static_cast<DWORD>(size);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL DeleteCore(LPCWSTR name) {
    std::string path;
    if (!MapName(name, path)) return FALSE;
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) return FailWithError(PathError(errno, path), FALSE);
    if (S_ISDIR(info.st_mode)) return FailWithError(ERROR_ACCESS_DENIED, FALSE);
    if (!S_ISLNK(info.st_mode) && !(info.st_mode & S_IWUSR)) return FailWithError(ERROR_ACCESS_DENIED, FALSE);
    // Deleting is an open for deletion that shares everything: it fails while
    // anyone holds the file without FILE_SHARE_DELETE.
    ShareRegistration share;
    DWORD shareResult = share.Register(info.st_dev, info.st_ino, DELETE,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    if (shareResult != ERROR_SUCCESS) return FailWithError(shareResult, FALSE);
    if (::unlink(path.c_str()) != 0) return FailWithError(PathError(errno, path), FALSE);
    return TRUE;
}

}  // namespace
}  // namespace zrwin

using namespace zrwin;

ZRWINAPI BOOL WINAPI DeleteFileW(LPCWSTR name) { return DeleteCore(name); }

ZRWINAPI BOOL WINAPI DeleteFileA(LPCSTR name) {
    if (!name) return FailWithError(ERROR_INVALID_PARAMETER, FALSE);
    return DeleteCore(AnsiToWide(name).c_str());
}

ZRWINAPI DWORD WINAPI GetFileAttributesW(LPCWSTR name) { return GetAttributesCore(name); }

ZRWINAPI DWORD WINAPI GetFileAttributesA(LPCSTR name) {
    if (!name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_FILE_ATTRIBUTES;
    }
    return GetAttributesCore(AnsiToWide(name).c_str());
}

ZRWINAPI BOOL WINAPI GetFileAttributesExW(LPCWSTR name, GET_FILEEX_INFO_LEVELS level, LPVOID information) {
    return GetAttributesExCore(name, level, information);
}
