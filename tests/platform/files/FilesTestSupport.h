// Helpers shared by the files, drives and registry tests.
#pragma once

#include <gtest/gtest.h>
#include <sys/xattr.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "util/ScopedHandle.h"
#include "zrwin/windows.h"
#include "support/TestSupport.h"

namespace filestest {

// Points ZRWIN_REGISTRY at a .reg file holding `bytes` for the lifetime of the object.
struct ScopedRegistry {
    ScopedRegistry(const std::string& path, const std::string& bytes) {
        Write(path, bytes);
        setenv("ZRWIN_REGISTRY", path.c_str(), 1);
    }
    ~ScopedRegistry() { unsetenv("ZRWIN_REGISTRY"); }
    static void Write(const std::string& path, const std::string& bytes) {
        std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
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
using FileHandle = ScopedKernelHandle;

// Creates or replaces the file with exactly these bytes.
inline void Put(const wchar_t* name, const std::string& bytes) {
    FileHandle file(Open(name, GENERIC_WRITE, 0, CREATE_ALWAYS));
    ASSERT_TRUE(file.IsValid());
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
    ASSERT_EQ(written, bytes.size());
}

}  // namespace filestest
