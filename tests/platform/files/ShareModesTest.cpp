// Share modes between real processes: a child process holds or opens a file.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "FilesTestSupport.h"
#include "support/MultiProcessTest.h"
#include "support/TestSupport.h"
#include "support/FailsWith.h"

using filestest::FileHandle;
using filestest::Open;

namespace {

// OpenFile hold|open <path> <access> <share>: opens the file; "hold" prints
// "ready" and keeps it open until stdin ends. The exit status is the open's
// last error (0 on success).
ZR_CHILD_MAIN(OpenFile) {
    const auto& args = zrtest::ChildArgs();
    const auto access = static_cast<DWORD>(std::strtoul(args.at(2).c_str(), nullptr, 0));
    const auto share = static_cast<DWORD>(std::strtoul(args.at(3).c_str(), nullptr, 0));
    FileHandle file(CreateFileA(args.at(1).c_str(), access, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.IsValid()) return static_cast<int>(GetLastError());
    if (args.at(0) == "hold") {
        std::printf("ready\n");
        std::fflush(stdout);
        char buffer[64];
        while (::read(0, buffer, sizeof buffer) > 0) {
        }
    }
    return 0;
}

zrtest::ChildProcess Child(const char* mode, const std::string& path, DWORD access, DWORD share) {
    return zrtest::SpawnChild("OpenFile", {mode, path, std::to_string(access), std::to_string(share)});
}

// The share records are one table for every process: a holder's refuses our
// opens and deletes; a reader of ours lets another process read but not
// write; a killed holder's records are ignored.
TEST(FilesAcrossProcesses, OpensConflictWithOtherProcessesOnlyWhileTheyLive) {
    zrtest::ScopedTempDir dir;
    { FileHandle make(Open(L"0.lck", GENERIC_WRITE, 0, CREATE_ALWAYS)); }
    const std::string path = dir.File("0.lck");
    auto holder = Child("hold", path, GENERIC_READ | GENERIC_WRITE, 0);
    ASSERT_EQ(holder.Line(), "ready");
    EXPECT_FAILS_WITH(Open(L"0.lck", GENERIC_WRITE, 0, CREATE_ALWAYS), INVALID_HANDLE_VALUE, ERROR_SHARING_VIOLATION);
    EXPECT_FAILS_WITH(DeleteFileW(L"0.lck"), FALSE, ERROR_SHARING_VIOLATION);
    // Killed while holding the file: it never closed its handle.
    holder.Signal(SIGKILL);
    EXPECT_EQ(holder.Wait(), 128 + SIGKILL);
    FileHandle mine(Open(L"0.lck", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING));
    ASSERT_TRUE(mine.IsValid());
    EXPECT_EQ(Child("open", path, GENERIC_READ, FILE_SHARE_READ).Wait(), 0);
    EXPECT_EQ(Child("open", path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE).Wait(),
              static_cast<int>(ERROR_SHARING_VIOLATION));
}

}  // namespace
