// Helpers shared by the files, drives and registry tests.
#pragma once

#include <sys/xattr.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "zrwin/windows.h"

namespace filestest {

// Points ZRWIN_REGISTRY at a .reg file for the lifetime of the object.
class ScopedRegistry {
public:
    ScopedRegistry(const std::string& path, const std::string& bytes) {
        Write(path, bytes);
        setenv("ZRWIN_REGISTRY", path.c_str(), 1);
    }
    ~ScopedRegistry() { unsetenv("ZRWIN_REGISTRY"); }
    ScopedRegistry(const ScopedRegistry&) = delete;
    ScopedRegistry& operator=(const ScopedRegistry&) = delete;

    static void Write(const std::string& path, const std::string& bytes) {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << bytes;
    }
};

inline std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline bool Exists(const std::string& path) { return std::ifstream(path).good(); }

// Whether the file system under the current directory keeps user extended attributes.
inline bool UserXattrsWork() {
    const char* probe = "xattr-probe";
    { std::ofstream(probe) << "x"; }
    bool ok = setxattr(probe, "user.zrwin-probe", "1", 1, 0) == 0;
    std::remove(probe);
    return ok;
}

inline HANDLE Open(const wchar_t* name, DWORD access, DWORD share, DWORD disposition, DWORD flags = FILE_ATTRIBUTE_NORMAL) {
    return CreateFileW(name, access, share, nullptr, disposition, flags, nullptr);
}

// Closes a file handle when the test ends, whatever happens.
class FileHandle {
public:
    explicit FileHandle(HANDLE handle) : handle_(handle) {}
    ~FileHandle() { Close(); }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    HANDLE get() const { return handle_; }
    bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
    void Close() {
        if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
        handle_ = INVALID_HANDLE_VALUE;
    }

private:
    HANDLE handle_;
};

}  // namespace filestest
