// Share modes between real processes: the child program holds or opens a file.
#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "files_test_support.h"
#include "support/TestSupport.h"

extern char** environ;

using filestest::FileHandle;
using filestest::Open;

namespace {

// The child program, started with pipes on its stdin and stdout.
class Child {
public:
    Child(const std::string& mode, const std::string& path, DWORD access, DWORD share) {
        int in[2], out[2];
        if (pipe(in) != 0 || pipe(out) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_addclose(&actions, in[1]);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        std::string accessText = std::to_string(access), shareText = std::to_string(share);
        std::vector<char*> argv = {const_cast<char*>(FILES_CHILD_PROGRAM), const_cast<char*>(mode.c_str()),
                                   const_cast<char*>(path.c_str()), accessText.data(), shareText.data(), nullptr};
        if (posix_spawn(&pid_, FILES_CHILD_PROGRAM, &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(in[0]);
        close(out[1]);
        stdin_ = in[1];
        stdout_ = out[0];
    }
    ~Child() {
        Release();
        if (stdout_ >= 0) close(stdout_);
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            Wait();
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // The first line the child prints; waits up to 30 s.
    std::string Line() {
        std::string line;
        char ch = 0;
        pollfd p{stdout_, POLLIN, 0};
        while (poll(&p, 1, 30000) == 1 && read(stdout_, &ch, 1) == 1 && ch != '\n') line += ch;
        return line;
    }
    // Lets a holding child close its file and end.
    void Release() {
        if (stdin_ >= 0) close(stdin_);
        stdin_ = -1;
    }
    void Kill() { kill(pid_, SIGKILL); }
    // Exit status, or -1 when killed.
    int Wait() {
        if (pid_ <= 0) return -1;
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    pid_t pid_ = -1;
    int stdin_ = -1;
    int stdout_ = -1;
};

TEST(FilesAcrossProcesses, ConflictingOpensFailWithSharingViolation) {
    zrtest::ScopedTempDir dir;
    { FileHandle make(Open(L"0.lck", GENERIC_WRITE, 0, CREATE_ALWAYS)); }
    const std::string path = dir.File("0.lck");

    // The other process holds the lock file without sharing; we are refused.
    Child holder("hold", path, GENERIC_WRITE, 0);
    ASSERT_EQ(holder.Line(), "ready");
    EXPECT_EQ(Open(L"0.lck", GENERIC_WRITE, 0, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_FALSE(DeleteFileW(L"0.lck"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    holder.Release();
    EXPECT_EQ(holder.Wait(), 0);
    FileHandle mine(Open(L"0.lck", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING));
    ASSERT_TRUE(mine.valid());

    // Now we hold it shared for reading: a reader may come, a writer may not.
    Child reader("open", path, GENERIC_READ, FILE_SHARE_READ);
    EXPECT_EQ(reader.Wait(), 0);
    Child writer("open", path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE);
    EXPECT_EQ(writer.Wait(), static_cast<int>(ERROR_SHARING_VIOLATION));
}

TEST(FilesAcrossProcesses, RecordsOfADeadProcessAreIgnored) {
    zrtest::ScopedTempDir dir;
    { FileHandle make(Open(L"1.kvl", GENERIC_WRITE, 0, CREATE_ALWAYS)); }
    Child holder("hold", dir.File("1.kvl"), GENERIC_READ | GENERIC_WRITE, 0);
    ASSERT_EQ(holder.Line(), "ready");
    EXPECT_EQ(Open(L"1.kvl", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    // Killed while holding the file: it never closed its handle.
    holder.Kill();
    EXPECT_EQ(holder.Wait(), -1);
    FileHandle after(Open(L"1.kvl", GENERIC_READ, 0, OPEN_EXISTING));
    EXPECT_TRUE(after.valid());
}

}  // namespace
