#include <gtest/gtest.h>

#include <vector>

#include "TestEndpoint.h"
#include "ipc/multiprocess/Utils_Processes.h"
#include "log/Log.h"
#include "support/MultiProcessTest.h"
#include "support/TestSupport.h"

namespace {

ZR_CHILD_MAIN(EndAtOnce) { return 0; }

class ProcessExistTest : public ::testing::Test {
protected:
    void SetUp() override { SetLogLevel(LOG_OTHER); }
    void TearDown() override { SetLogLevel(LOG_WARNING); }
    zrtest::ScopedTempDir dir_;
};

// More than 1,024 processes are fed through the seam below; listing them for
// real is the layer's EnumProcesses test.
TEST_F(ProcessExistTest, TheOwnProcessIsFoundAndAnEndedOneIsNot) {
    EXPECT_TRUE(Utils_Processes::CheckIfProcessExist(GetCurrentProcessId()));
    auto ended = zrtest::SpawnChild("EndAtOnce");
    const DWORD pid = static_cast<DWORD>(ended.Pid());
    ASSERT_EQ(ended.Wait(), 0);
    EXPECT_FALSE(Utils_Processes::CheckIfProcessExist(pid));
    EXPECT_FALSE(Utils_Processes::CheckIfProcessExist(0x7FFFFFF0u));
}

TEST_F(ProcessExistTest, TheListIsReadAgainUntilItFitsAndAFailedListingFindsNothing) {
    // 5000 ids, as an enumeration gives them: as many as fit.
    std::vector<DWORD> all;
    for (DWORD id = 1; id <= 5000; ++id) all.push_back(id * 4);
    std::vector<DWORD> sizesAsked;
    auto listing = [&](DWORD* ids, DWORD bytes, DWORD* returned) -> BOOL {
        sizesAsked.push_back(bytes);
        const size_t n = std::min<size_t>(bytes / sizeof(DWORD), all.size());
        std::copy(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(n), ids);
        *returned = static_cast<DWORD>(n * sizeof(DWORD));
        return TRUE;
    };
    EXPECT_TRUE(Utils_Processes::FindProcessId(20000, listing));
    EXPECT_EQ(sizesAsked, (std::vector<DWORD>{4096, 8192, 16384, 32768}));
    EXPECT_TRUE(Utils_Processes::FindProcessId(4, listing));
    EXPECT_FALSE(Utils_Processes::FindProcessId(20004, listing));
    EXPECT_FALSE(Utils_Processes::FindProcessId(3, listing));

    auto failing = [](DWORD*, DWORD, DWORD*) -> BOOL { return FALSE; };
    EXPECT_FALSE(Utils_Processes::FindProcessId(GetCurrentProcessId(), failing));
    EXPECT_EQ(mptest::CountLines("Utils_Processes::CheckIfProcessExist: [E] EnumProcessesFuncPtr failed on execution"),
              1u);
}

}  // namespace
