// File and volume facts the product's paths and private copies meet, checked
// on the layer and under Windows alike.
#include <gtest/gtest.h>

#include "SystemTestSupport.h"

namespace {

TEST(FileFacts, ADriveNobodyMappedHasNoVolumePath) {
    wchar_t root[5] = {};
    SetLastError(0xDEADBEEF);
    EXPECT_FALSE(GetVolumePathNameW(L"Q:\\nowhere\\a.kvl", root, 5));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

// A file written anew is marked for archiving on top of what was asked for;
// 0 when the file system keeps no DOS attributes (the test is then skipped).
DWORD AttributesOfNewFile(const wchar_t* name, DWORD asked) {
    HANDLE file = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, asked, nullptr);
    if (file == INVALID_HANDLE_VALUE) return INVALID_FILE_ATTRIBUTES;
    CloseHandle(file);
    const DWORD reported = GetFileAttributesW(name);
    DeleteFileW(name);
    return reported == FILE_ATTRIBUTE_NORMAL ? 0 : reported;
}

TEST(FileFacts, NewFileIsMarkedForArchiving) {
    const DWORD reported = AttributesOfNewFile(L"zr_facts_plain.tmp", FILE_ATTRIBUTE_NORMAL);
    if (reported == 0) GTEST_SKIP() << "this file system keeps no DOS attributes";
    EXPECT_EQ(reported, static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE));
}

TEST(FileFacts, NewHiddenTemporaryFileKeepsBothAndIsMarkedForArchiving) {
    const DWORD reported = AttributesOfNewFile(L"zr_facts_copy.tmp", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_TEMPORARY);
    if (reported == 0) GTEST_SKIP() << "this file system keeps no DOS attributes";
    EXPECT_EQ(reported, static_cast<DWORD>(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_ARCHIVE));
}

}  // namespace
