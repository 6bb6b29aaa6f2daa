// kernel32 file handles: CreateFile with Windows dispositions, share modes
// and attributes, reading and writing, file pointers and sizes.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "core/status.h"
#include "kernel32/delete_on_close.h"
#include "kernel32/file_object.h"
#include "core/text.h"
#include "kernel32/paths.h"
#include "zrwin/fileapi.h"
#include "zrwin/sync.h"

namespace zrwin {

namespace {

constexpr const char* kDosAttributeName = "user.DOSATTRIB";
// The attributes kept in the extended attribute; READONLY lives in the mode
// bits and DIRECTORY in the file type.
constexpr DWORD kStoredAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                    FILE_ATTRIBUTE_TEMPORARY | 0x1000 /* OFFLINE */ | 0x2000 /* NOT_CONTENT_INDEXED */;
constexpr DWORD kFileExecute = 0x0020;

constexpr DWORD kReadRights = FILE_READ_DATA | kFileExecute | GENERIC_READ | GENERIC_EXECUTE | GENERIC_ALL;
constexpr DWORD kWriteRights = FILE_WRITE_DATA | FILE_APPEND_DATA | GENERIC_WRITE | GENERIC_ALL;

std::shared_ptr<FileObject> LookupFile(HANDLE file) { return LookupHandleAs<FileObject>(file, ObjectKind::File); }

bool ReadAll(int fd, uint8_t* buffer, size_t size, size_t& done) {
    done = 0;
    while (done < size) {
        ssize_t n = ::read(fd, buffer + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) break;
        done += static_cast<size_t>(n);
    }
    return true;
}

bool WriteAll(int fd, const uint8_t* buffer, size_t size, size_t& done) {
    done = 0;
    while (done < size) {
        ssize_t n = ::write(fd, buffer + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

HANDLE OpenDirectory(const std::string& path, DWORD access, DWORD shareMode, DWORD disposition, DWORD flags) {
    if (!(flags & FILE_FLAG_BACKUP_SEMANTICS)) return FailWithError(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
    if (disposition == CREATE_NEW) return FailWithError(ERROR_FILE_EXISTS, INVALID_HANDLE_VALUE);
    if (disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING) return FailWithError(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
    ScopedFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.IsValid()) return FailWithError(PathError(errno, path), INVALID_HANDLE_VALUE);
    struct stat info {};
    ::fstat(fd.Get(), &info);
    ShareRegistration share;
    DWORD shareResult = share.Register(info.st_dev, info.st_ino, access, shareMode);
    if (shareResult != ERROR_SUCCESS) return FailWithError(shareResult, INVALID_HANDLE_VALUE);
    auto object = std::make_shared<FileObject>(std::move(fd), access, path, true, (flags & FILE_FLAG_DELETE_ON_CLOSE) != 0,
                                               std::move(share));
    HANDLE handle = InsertHandle(std::move(object));
    if (!handle) return INVALID_HANDLE_VALUE;
    SetLastError(disposition == OPEN_ALWAYS ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return handle;
}

HANDLE CreateFileCore(LPCWSTR name, DWORD access, DWORD shareMode, DWORD disposition, DWORD flagsAndAttributes) {
    if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING) return FailWithError(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
    std::string path;
    if (!MapName(name, path)) return INVALID_HANDLE_VALUE;
    const bool deleteOnClose = (flagsAndAttributes & FILE_FLAG_DELETE_ON_CLOSE) != 0;
    // Delete-on-close is an open for deletion: later opens must share delete.
    if (deleteOnClose) access |= DELETE;
    const bool wantRead = (access & kReadRights) != 0;
    const bool wantWrite = (access & kWriteRights) != 0;
    if (disposition == TRUNCATE_EXISTING && !wantWrite) return FailWithError(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
    const DWORD newAttributes = flagsAndAttributes & (kStoredAttributes | FILE_ATTRIBUTE_READONLY);

    RemoveIfOrphaned(path);  // a delete-on-close file whose owner was killed is gone, as on Windows
    struct stat existing {};
    bool exists = ::stat(path.c_str(), &existing) == 0;
    if (exists && S_ISDIR(existing.st_mode)) return OpenDirectory(path, access, shareMode, disposition, flagsAndAttributes);
    if (exists) {
        if (disposition == CREATE_NEW) return FailWithError(ERROR_FILE_EXISTS, INVALID_HANDLE_VALUE);
        // A read-only file refuses writers and deleters.
        if (!(existing.st_mode & S_IWUSR) && (wantWrite || (access & DELETE) || disposition == CREATE_ALWAYS ||
                                             disposition == TRUNCATE_EXISTING))
            return FailWithError(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
        // Overwriting a hidden or system file must keep those attributes.
        if (disposition == CREATE_ALWAYS) {
            DWORD stored = ReadStoredAttributes(path);
            DWORD keep = stored & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
            if ((newAttributes & keep) != keep) return FailWithError(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
        }
    }

    int mode = wantWrite ? (wantRead ? O_RDWR : O_WRONLY) : O_RDONLY;
    ScopedFd fd;
    bool created = false;
    for (int attempt = 0; attempt < 8 && !fd.IsValid(); ++attempt) {
        if (disposition == CREATE_NEW || disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS) {
            fd.Reset(::open(path.c_str(), mode | O_CREAT | O_EXCL | O_CLOEXEC,
                            (newAttributes & FILE_ATTRIBUTE_READONLY) ? 0444 : 0666));
            if (fd.IsValid()) {
                created = true;
                break;
            }
            if (errno != EEXIST) return FailWithError(PathError(errno, path), INVALID_HANDLE_VALUE);
            if (disposition == CREATE_NEW) return FailWithError(ERROR_FILE_EXISTS, INVALID_HANDLE_VALUE);
        }
        fd.Reset(::open(path.c_str(), mode | O_CLOEXEC));
        if (fd.IsValid()) break;
        if (errno == EISDIR) return FailWithError(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
        // Removed between the two opens: create it after all.
        if (errno == ENOENT && disposition != OPEN_EXISTING && disposition != TRUNCATE_EXISTING) continue;
        return FailWithError(PathError(errno, path), INVALID_HANDLE_VALUE);
    }
    if (!fd.IsValid()) return FailWithError(ERROR_SHARING_VIOLATION, INVALID_HANDLE_VALUE);

    struct stat info {};
    if (::fstat(fd.Get(), &info) != 0) return FailWithError(FileErrorFromErrno(errno), INVALID_HANDLE_VALUE);
    if (S_ISDIR(info.st_mode)) return FailWithError(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
    ShareRegistration share;
    DWORD shareResult = share.Register(info.st_dev, info.st_ino, access, shareMode);
    if (shareResult != ERROR_SUCCESS) return FailWithError(shareResult, INVALID_HANDLE_VALUE);
    const bool existed = !created;
    if ((disposition == CREATE_ALWAYS && existed) || disposition == TRUNCATE_EXISTING) {
        int rc = wantWrite ? ::ftruncate(fd.Get(), 0) : ::truncate(path.c_str(), 0);
        if (rc != 0) return FailWithError(FileErrorFromErrno(errno), INVALID_HANDLE_VALUE);
    }
    // A file written anew is marked for archiving, as Windows marks it.
    if (created || disposition == CREATE_ALWAYS)
        WriteStoredAttributes(fd.Get(), path, newAttributes | FILE_ATTRIBUTE_ARCHIVE);
    if (deleteOnClose) MarkDeleteOnClose(fd.Get());

    auto object = std::make_shared<FileObject>(std::move(fd), access, path, false, deleteOnClose, std::move(share));
    HANDLE handle = InsertHandle(std::move(object));
    if (!handle) return INVALID_HANDLE_VALUE;
    bool reportExisting = existed && (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS);
    SetLastError(reportExisting ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return handle;
}

}  // namespace

// ENOENT means a missing file when its folder exists, else a missing path.
DWORD MissingError(const std::string& path) {
    size_t slash = path.find_last_of('/');
    std::string parent = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    struct stat info {};
    if (::stat(parent.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) return ERROR_FILE_NOT_FOUND;
    return ERROR_PATH_NOT_FOUND;
}

DWORD PathError(int error, const std::string& path) {
    if (error == ENOENT) return MissingError(path);
    return FileErrorFromErrno(error);
}

bool MapName(LPCWSTR name, std::string& path) {
    if (!name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    return WindowsToPosixPath(name, path);
}

// Hidden, system, archive and temporary live in user.DOSATTRIB as "0x22"; a
// file system without user extended attributes simply does not keep them.
DWORD ReadStoredAttributes(const std::string& path) {
    char text[64] = {};
    ssize_t n = ::getxattr(path.c_str(), kDosAttributeName, text, sizeof text - 1);
    if (n <= 0) return 0;
    text[n] = 0;
    if (std::strncmp(text, "0x", 2) != 0 && std::strncmp(text, "0X", 2) != 0) return 0;
    return static_cast<DWORD>(std::strtoul(text + 2, nullptr, 16)) & kStoredAttributes;
}

void WriteStoredAttributes(int fd, const std::string& path, DWORD attributes) {
    attributes &= kStoredAttributes;
    if (attributes == 0) {
        if (fd >= 0) {
            ::fremovexattr(fd, kDosAttributeName);
        } else {
            ::removexattr(path.c_str(), kDosAttributeName);
        }
        return;
    }
    char text[32];
    int length = std::snprintf(text, sizeof text, "0x%x", static_cast<unsigned>(attributes));
    if (fd >= 0) {
        ::fsetxattr(fd, kDosAttributeName, text, static_cast<size_t>(length), 0);
    } else {
        ::setxattr(path.c_str(), kDosAttributeName, text, static_cast<size_t>(length), 0);
    }
}

FileObject::FileObject(ScopedFd fd, DWORD access, std::string path, bool directory, bool deleteOnClose,
                       ShareRegistration share)
    : KernelObject(ObjectKind::File),
      fd_(std::move(fd)),
      access_(access),
      path_(std::move(path)),
      directory_(directory),
      deleteOnClose_(deleteOnClose),
      share_(std::move(share)) {}

FileObject::~FileObject() {
    // Remove the name before giving up the share record, so no one opens a file about to vanish.
    if (deleteOnClose_) {
        // Only the file this handle opened: the name may since have been given to another.
        struct stat mine {}, named {};
        bool same = ::fstat(fd_.Get(), &mine) == 0 && ::lstat(path_.c_str(), &named) == 0 && mine.st_dev == named.st_dev &&
                    mine.st_ino == named.st_ino;
        if (same && directory_) {
            ::rmdir(path_.c_str());
        } else if (same) {
            ::unlink(path_.c_str());
        }
    }
    share_.Release();
    fd_.Reset();
}

bool FileObject::CanRead() const { return (access_ & kReadRights) != 0; }
bool FileObject::CanWrite() const { return (access_ & kWriteRights) != 0; }
bool FileObject::AppendOnly() const {
    return (access_ & FILE_APPEND_DATA) && !(access_ & (FILE_WRITE_DATA | GENERIC_WRITE | GENERIC_ALL));
}

int FileDescriptorOf(HANDLE file) {
    auto object = LookupFile(file);
    return object ? object->Fd() : -1;
}

DWORD FileErrorFromErrno(int error) {
    // CreateFile answers ERROR_FILE_EXISTS where the status table says ERROR_ALREADY_EXISTS.
    if (error == EEXIST) return ERROR_FILE_EXISTS;
    return Win32ErrorFromNtStatus(NtStatusFromErrno(error));
}

}  // namespace zrwin

using namespace zrwin;

ZRWINAPI HANDLE WINAPI CreateFileW(LPCWSTR name, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES, DWORD disposition,
                                  DWORD flagsAndAttributes, HANDLE) {
    return CreateFileCore(name, access, shareMode, disposition, flagsAndAttributes);
}

ZRWINAPI HANDLE WINAPI CreateFileA(LPCSTR name, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES, DWORD disposition,
                                  DWORD flagsAndAttributes, HANDLE) {
    if (!name) return FailWithError(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
    std::wstring wide = AnsiToWide(name);
    return CreateFileCore(wide.c_str(), access, shareMode, disposition, flagsAndAttributes);
}

namespace {

// The file of a ReadFile or WriteFile call, or nullptr with the last error set.
std::shared_ptr<FileObject> FileForTransfer(HANDLE file, LPOVERLAPPED overlapped, bool write, const void* buffer,
                                            DWORD count) {
    auto object = LookupFile(file);
    if (!object) return nullptr;
    // Overlapped I/O is not part of this layer.
    if (overlapped) return FailWithError(ERROR_INVALID_PARAMETER, nullptr);
    if (object->IsDirectory() || !(write ? object->CanWrite() : object->CanRead()))
        return FailWithError(ERROR_ACCESS_DENIED, nullptr);
    if (count > 0 && !buffer) return FailWithError(ERROR_NOACCESS, nullptr);
    return object;
}

}  // namespace

ZRWINAPI BOOL WINAPI ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED overlapped) {
    if (read) *read = 0;
    auto object = FileForTransfer(file, overlapped, false, buffer, toRead);
    if (!object) return FALSE;
    size_t done = 0;
    bool ok = ReadAll(object->Fd(), static_cast<uint8_t*>(buffer), toRead, done);
    if (read) *read = static_cast<DWORD>(done);
    if (!ok) return FailWithError(FileErrorFromErrno(errno), FALSE);
    return TRUE;
}

ZRWINAPI BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written, LPOVERLAPPED overlapped) {
    if (written) *written = 0;
    auto object = FileForTransfer(file, overlapped, true, buffer, toWrite);
    if (!object) return FALSE;
    if (object->AppendOnly()) ::lseek(object->Fd(), 0, SEEK_END);
    size_t done = 0;
    bool ok = WriteAll(object->Fd(), static_cast<const uint8_t*>(buffer), toWrite, done);
    if (written) *written = static_cast<DWORD>(done);
    if (!ok) return FailWithError(FileErrorFromErrno(errno), FALSE);
    return TRUE;
}

namespace {

bool MovePointer(HANDLE file, int64_t distance, DWORD method, int64_t& position) {
    auto object = LookupFile(file);
    if (!object) return false;
    int whence;
    if (method == FILE_BEGIN) {
        whence = SEEK_SET;
    } else if (method == FILE_CURRENT) {
        whence = SEEK_CUR;
    } else if (method == FILE_END) {
        whence = SEEK_END;
    } else {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    // One call: a move that would end before the start fails with EINVAL and
    // leaves the pointer where it was, as the Windows call does.
    const off_t target = ::lseek(object->Fd(), static_cast<off_t>(distance), whence);
    if (target < 0) {
        SetLastError(errno == EINVAL ? ERROR_NEGATIVE_SEEK : FileErrorFromErrno(errno));
        return false;
    }
    position = target;
    return true;
}

}  // namespace

ZRWINAPI DWORD WINAPI SetFilePointer(HANDLE file, LONG distance, PLONG distanceHigh, DWORD method) {
    int64_t move = distanceHigh ? static_cast<int64_t>((static_cast<uint64_t>(static_cast<uint32_t>(*distanceHigh))
                                                        << 32) |
                                                       static_cast<uint32_t>(distance))
                                : static_cast<int64_t>(distance);
    int64_t position = 0;
    if (!MovePointer(file, move, method, position)) return INVALID_SET_FILE_POINTER;
    if (distanceHigh) {
        *distanceHigh = static_cast<LONG>(static_cast<uint64_t>(position) >> 32);
    }
    auto low = static_cast<DWORD>(position);
    // A position whose low half looks like the failure value tells success by a cleared last error.
    if (low == INVALID_SET_FILE_POINTER) SetLastError(ERROR_SUCCESS);
    return low;
}

ZRWINAPI BOOL WINAPI SetFilePointerEx(HANDLE file, LARGE_INTEGER distance, PLARGE_INTEGER newPosition, DWORD method) {
    int64_t position = 0;
    if (!MovePointer(file, distance.QuadPart, method, position)) return FALSE;
    if (newPosition) newPosition->QuadPart = position;
    return TRUE;
}

ZRWINAPI BOOL WINAPI GetFileSizeEx(HANDLE file, PLARGE_INTEGER size) {
    auto object = LookupFile(file);
    if (!object) return FALSE;
    if (!size) return FailWithError(ERROR_INVALID_PARAMETER, FALSE);
    struct stat info {};
    if (::fstat(object->Fd(), &info) != 0) return FailWithError(FileErrorFromErrno(errno), FALSE);
    size->QuadPart = S_ISDIR(info.st_mode) ? 0 : info.st_size;
    return TRUE;
}

ZRWINAPI BOOL WINAPI FlushFileBuffers(HANDLE file) {
    auto object = LookupFile(file);
    if (!object) return FALSE;
    if (!object->CanWrite()) return FailWithError(ERROR_ACCESS_DENIED, FALSE);
    if (::fsync(object->Fd()) != 0) return FailWithError(FileErrorFromErrno(errno), FALSE);
    return TRUE;
}
