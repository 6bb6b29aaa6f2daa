// Share modes between real processes: the child program holds or opens a file.
#include <gtest/gtest.h>

#include <string>

#include "FilesTestSupport.h"
#include "support/ChildProcess.h"
#include "support/TestSupport.h"

using filestest::FileHandle;
using filestest::Open;

namespace {

// files_child hold|open <path> <access> <share>
struct Child : zrtest::ChildProcess {
    Child(const char* mode, const std::string& path, DWORD access, DWORD share)
        : ChildProcess(FILES_CHILD_PROGRAM, {mode, path, std::to_string(access), std::to_string(share)}) {}
};

TEST(FilesAcrossProcesses, ConflictingOpensFailWithSharingViolation) {
    zrtest::ScopedTempDir dir;
    { FileHandle make(Open(L"0.lck", GENERIC_WRITE, 0, CREATE_ALWAYS)); }
    const std::string path = dir.File("0.lck");

    // The other process holds the lock file without sharing; we are refused.
    Child holder("hold", path, GENERIC_WRITE, 0);
    ASSERT_EQ(holder.Line(), "ready");
    EXPECT_FAILS_WITH(Open(L"0.lck", GENERIC_WRITE, 0, CREATE_ALWAYS), INVALID_HANDLE_VALUE, ERROR_SHARING_VIOLATION);
    EXPECT_FAILS_WITH(DeleteFileW(L"0.lck"), FALSE, ERROR_SHARING_VIOLATION);
    holder.CloseStdin();
    EXPECT_EQ(holder.Wait(), 0);
    FileHandle mine(Open(L"0.lck", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING));
    ASSERT_TRUE(mine.valid());

    // Now we hold it shared for reading: a reader may come, a writer may not.
    EXPECT_EQ(Child("open", path, GENERIC_READ, FILE_SHARE_READ).Wait(), 0);
    EXPECT_EQ(Child("open", path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE).Wait(),
              static_cast<int>(ERROR_SHARING_VIOLATION));
}

TEST(FilesAcrossProcesses, RecordsOfADeadProcessAreIgnored) {
    zrtest::ScopedTempDir dir;
    { FileHandle make(Open(L"1.kvl", GENERIC_WRITE, 0, CREATE_ALWAYS)); }
    Child holder("hold", dir.File("1.kvl"), GENERIC_READ | GENERIC_WRITE, 0);
    ASSERT_EQ(holder.Line(), "ready");
    EXPECT_FAILS_WITH(Open(L"1.kvl", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE,
                      ERROR_SHARING_VIOLATION);
    // Killed while holding the file: it never closed its handle.
    holder.Signal(SIGKILL);
    EXPECT_EQ(holder.Wait(), 128 + SIGKILL);
    FileHandle after(Open(L"1.kvl", GENERIC_READ, 0, OPEN_EXISTING));
    EXPECT_TRUE(after.valid());
}

}  // namespace
