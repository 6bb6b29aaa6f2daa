// File handles of the layer: the kernel object behind a CreateFile handle.
#pragma once

#include <string>

#include "core/handle_table.h"
#include "core/scoped_fd.h"
#include "kernel32/share_modes.h"

namespace zrwin {

class FileObject : public KernelObject {
public:
    FileObject(ScopedFd fd, DWORD access, std::string path, bool directory, bool deleteOnClose,
               ShareRegistration share);
    // Closes the descriptor; deletes the file first when it was opened with
    // FILE_FLAG_DELETE_ON_CLOSE, then gives up its share-mode record.
    ~FileObject() override;

    int Fd() const { return fd_.Get(); }
    const std::string& Path() const { return path_; }
    bool CanRead() const;
    bool CanWrite() const;
    bool AppendOnly() const;
    bool IsDirectory() const { return directory_; }

private:
    ScopedFd fd_;
    DWORD access_;
    std::string path_;
    bool directory_;
    bool deleteOnClose_;
    ShareRegistration share_;
};

// The descriptor behind a file handle (other parts of the layer read files
// opened by the product), or -1 with ERROR_INVALID_HANDLE.
int FileDescriptorOf(HANDLE file);

// The Windows error code for an errno value of a file operation.
DWORD FileErrorFromErrno(int error);
// As FileErrorFromErrno, but ENOENT tells a missing file (its folder exists)
// from a missing path.
DWORD PathError(int error, const std::string& path);
// The POSIX path of a file name; false with the last error set.
bool MapName(LPCWSTR name, std::string& path);

// Hidden, system, archive and temporary are kept in an extended attribute;
// `fd` -1 writes through the path.
DWORD ReadStoredAttributes(const std::string& path);
void WriteStoredAttributes(int fd, const std::string& path, DWORD attributes);

}  // namespace zrwin
