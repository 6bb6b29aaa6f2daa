// A helper process started for one test: its stdin is a pipe the test closes
// to let it go, and it may report readiness through a second pipe.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

extern char** environ;

namespace synctest {

class ChildProcess {
public:
    // Starts the helper with the arguments; withReadyPipe appends the number
    // of a descriptor the helper writes one byte to when it is ready.
    ChildProcess(std::vector<std::string> arguments, bool withReadyPipe) {
        int input[2];
        int ready[2] = {-1, -1};
        if (pipe2(input, O_CLOEXEC) != 0) return;
        if (withReadyPipe && pipe2(ready, O_CLOEXEC) != 0) {
            close(input[0]);
            close(input[1]);
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, input[0], 0);
        if (withReadyPipe) {
            // dup2 onto a fixed number clears close-on-exec for the child.
            posix_spawn_file_actions_adddup2(&actions, ready[1], kReadyFd);
            arguments.push_back(std::to_string(kReadyFd));
        }
        std::vector<std::string> all;
        all.push_back(ZRWIN_SYNC_CHILD);
        all.insert(all.end(), arguments.begin(), arguments.end());
        std::vector<char*> argv;
        for (auto& argument : all) argv.push_back(argument.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, ZRWIN_SYNC_CHILD, &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(input[0]);
        stdin_ = input[1];
        if (withReadyPipe) {
            close(ready[1]);
            ready_ = ready[0];
        }
    }

    ~ChildProcess() {
        CloseStdin();
        if (ready_ >= 0) close(ready_);
        if (pid_ > 0 && !reaped_) {
            // A helper still running here means the test failed; do not hang.
            kill(pid_, SIGKILL);
            int status = 0;
            waitpid(pid_, &status, 0);
        }
    }

    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool Started() const { return pid_ > 0; }
    pid_t Pid() const { return pid_; }

    // True once the helper reported readiness (false when it ended first).
    bool WaitReady(int milliseconds = 30000) {
        pollfd entry{ready_, POLLIN, 0};
        if (poll(&entry, 1, milliseconds) <= 0) return false;
        char byte = 0;
        return read(ready_, &byte, 1) == 1;
    }

    void CloseStdin() {
        if (stdin_ >= 0) close(stdin_);
        stdin_ = -1;
    }

    // The helper's exit status, or -1 when it did not exit normally.
    int Join() {
        int status = 0;
        if (pid_ <= 0 || waitpid(pid_, &status, 0) != pid_) return -1;
        reaped_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    static constexpr int kReadyFd = 9;
    pid_t pid_ = -1;
    int stdin_ = -1;
    int ready_ = -1;
    bool reaped_ = false;
};

}  // namespace synctest
