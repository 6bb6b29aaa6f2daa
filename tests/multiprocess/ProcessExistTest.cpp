#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <vector>

#include "MultiProcessLog.h"
#include "ipc/multiprocess/Utils_Processes.h"
#include "log/Log.h"
#include "support/MultiProcessTest.h"
#include "support/TestSupport.h"

namespace {

ZR_CHILD_MAIN(EndAtOnce) { return 0; }

// Processes that stay alive until the object is destroyed: each blocks on a
// pipe whose write end only this process holds.
class IdleProcesses {
public:
    explicit IdleProcesses(size_t count) {
        if (pipe(fds_) != 0) return;
        for (size_t i = 0; i < count; ++i) {
            const pid_t pid = fork();
            if (pid == 0) {
                close(fds_[1]);
                char c;
                while (read(fds_[0], &c, 1) > 0) {
                }
                _exit(0);
            }
            if (pid < 0) break;
            pids_.push_back(pid);
        }
    }
    ~IdleProcesses() {
        close(fds_[0]);
        close(fds_[1]);
        for (pid_t pid : pids_) waitpid(pid, nullptr, 0);
    }
    IdleProcesses(const IdleProcesses&) = delete;
    IdleProcesses& operator=(const IdleProcesses&) = delete;
    const std::vector<pid_t>& Pids() const { return pids_; }

private:
    int fds_[2] = {-1, -1};
    std::vector<pid_t> pids_;
};

class ProcessExistTest : public ::testing::Test {
protected:
    void SetUp() override { SetLogLevel(LOG_OTHER); }
    void TearDown() override { SetLogLevel(LOG_WARNING); }
    zrtest::ScopedTempDir dir_;
};

TEST_F(ProcessExistTest, EveryLiveProcessIsFoundWithMoreThan1024RunningAndAnEndedOneIsNot) {
    IdleProcesses idle(1100);
    ASSERT_EQ(idle.Pids().size(), 1100u);
    // The youngest has the highest ids, late in the listing.
    for (size_t i : {size_t{0}, size_t{600}, size_t{1099}}) {
        SCOPED_TRACE(i);
        EXPECT_TRUE(Utils_Processes::CheckIfProcessExist(static_cast<DWORD>(idle.Pids()[i])));
    }
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
