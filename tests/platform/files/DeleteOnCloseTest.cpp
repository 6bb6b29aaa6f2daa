// A delete-on-close file goes with its last handle however the process ends:
// a killed owner's file is removed by the next open of its name.
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "support/FailsWith.h"
#include "support/MultiProcessTest.h"
#include "support/TestSupport.h"
#include "util/ScopedHandle.h"

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

HANDLE OpenDeleteOnClose(const wchar_t* name) {
    return CreateFileW(name, GENERIC_READ | GENERIC_WRITE, kShareAll, nullptr, CREATE_NEW,
                       FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
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
    EXPECT_TRUE(ScopedKernelHandle(CreateFileW(L"doc.tmp", GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr))
                    .IsValid());
    child.Signal(SIGKILL);
    child.Wait();
    ASSERT_TRUE(std::filesystem::exists("doc.tmp")) << "POSIX keeps the name of a killed process's file";
    ScopedKernelHandle fresh(OpenDeleteOnClose(L"doc.tmp"));
    ASSERT_TRUE(fresh.IsValid()) << "the orphan no longer blocks CREATE_NEW: " << GetLastError();
    EXPECT_EQ(SetFilePointer(fresh.Get(), 0, nullptr, FILE_END), 0u) << "a new, empty file";
    fresh.Reset();
    EXPECT_FALSE(std::filesystem::exists("doc.tmp"));
}

TEST(DeleteOnClose, FileOfALiveOwnerOrWithoutTheFlagIsKept) {
    zrtest::ScopedTempDir dir;
    ScopedKernelHandle owner(OpenDeleteOnClose(L"doc.tmp"));
    ASSERT_TRUE(owner.IsValid());
    EXPECT_FAILS_WITH(OpenDeleteOnClose(L"doc.tmp"), INVALID_HANDLE_VALUE, ERROR_FILE_EXISTS) << "its owner is alive";
    ScopedKernelHandle(CreateFileW(L"plain.txt", GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    EXPECT_FAILS_WITH(OpenDeleteOnClose(L"plain.txt"), INVALID_HANDLE_VALUE, ERROR_FILE_EXISTS)
        << "an ordinary file is never taken for an orphan";
}

}  // namespace
