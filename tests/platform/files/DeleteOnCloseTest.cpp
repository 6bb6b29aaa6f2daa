// A delete-on-close file goes with its last handle however the process ends:
// a killed owner's file is removed by the next open of its name.
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "support/MultiProcessTest.h"
#include "support/TestSupport.h"

namespace {

HANDLE OpenDeleteOnClose(const wchar_t* name) {
    return CreateFileW(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, CREATE_NEW, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
}

// Creates the named delete-on-close file in the given folder, says so, and
// holds it until killed.
ZR_CHILD_MAIN(HoldDeleteOnClose) {
    std::filesystem::current_path(zrtest::ChildArgs().at(0));
    HANDLE file = OpenDeleteOnClose(L"doc.tmp");
    if (file == INVALID_HANDLE_VALUE) return 1;
    DWORD written = 0;
    WriteFile(file, "stale", 5, &written, nullptr);
    std::puts("ready");
    std::fflush(stdout);
    pause();
    return 0;
}

TEST(DeleteOnClose, KilledOwnersFileIsRemovedAtTheNextOpenOfItsName) {
    zrtest::ScopedTempDir dir;
    auto child = zrtest::SpawnChild("HoldDeleteOnClose", {dir.Path().string()});
    ASSERT_EQ(child.Line(), "ready");

    // While its owner lives the file is there for everyone.
    HANDLE shared = CreateFileW(L"doc.tmp", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(shared, INVALID_HANDLE_VALUE) << GetLastError();
    CloseHandle(shared);

    child.Signal(SIGKILL);
    child.Wait();
    ASSERT_TRUE(std::filesystem::exists("doc.tmp")) << "POSIX keeps the name of a killed process's file";

    SetLastError(0xDEADBEEF);
    HANDLE fresh = OpenDeleteOnClose(L"doc.tmp");
    ASSERT_NE(fresh, INVALID_HANDLE_VALUE) << "the orphan no longer blocks CREATE_NEW: " << GetLastError();
    EXPECT_EQ(GetFileSize(fresh, nullptr), 0u) << "a new, empty file";
    CloseHandle(fresh);
    EXPECT_FALSE(std::filesystem::exists("doc.tmp"));
}

TEST(DeleteOnClose, FileOfALiveOwnerOrWithoutTheFlagIsKept) {
    zrtest::ScopedTempDir dir;
    HANDLE owner = OpenDeleteOnClose(L"doc.tmp");
    ASSERT_NE(owner, INVALID_HANDLE_VALUE);
    EXPECT_EQ(OpenDeleteOnClose(L"doc.tmp"), INVALID_HANDLE_VALUE) << "its owner is alive";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));
    CloseHandle(owner);

    HANDLE plain = CreateFileW(L"plain.txt", GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(plain, INVALID_HANDLE_VALUE);
    CloseHandle(plain);
    EXPECT_EQ(OpenDeleteOnClose(L"plain.txt"), INVALID_HANDLE_VALUE) << "an ordinary file is never taken for an orphan";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));
}

}  // namespace
