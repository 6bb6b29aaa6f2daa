// A helper program started for one test, with pipes on its stdin (closed to
// let it go) and its stdout (where it reports, one line at a time).
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

namespace platformtest {

class ChildProcess {
public:
    ChildProcess(const char* program, std::vector<std::string> arguments) {
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return;  // Started() tells
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);  // dup2 clears close-on-exec for the child
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        arguments.insert(arguments.begin(), program);
        std::vector<char*> argv;
        for (auto& argument : arguments) argv.push_back(argument.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, program, &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(in[0]);
        close(out[1]);
        stdin_ = in[1];
        stdout_ = out[0];
    }
    ~ChildProcess() {
        CloseStdin();
        if (stdout_ >= 0) close(stdout_);
        Kill();  // a helper still running here means the test failed; do not hang
        Join();
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool Started() const { return pid_ > 0; }
    pid_t Pid() const { return pid_; }

    // The next line the helper prints, waiting up to 30 s ("" when it ended first).
    std::string Line() {
        std::string line;
        char ch = 0;
        pollfd entry{stdout_, POLLIN, 0};
        while (poll(&entry, 1, 30000) == 1 && read(stdout_, &ch, 1) == 1 && ch != '\n') line += ch;
        return line;
    }
    void CloseStdin() {
        if (stdin_ >= 0) close(stdin_);
        stdin_ = -1;
    }
    void Kill() {
        if (pid_ > 0 && !reaped_) kill(pid_, SIGKILL);
    }
    // The exit status, or -1 when the helper did not exit normally.
    int Join() {
        int status = 0;
        if (pid_ <= 0 || reaped_ || waitpid(pid_, &status, 0) != pid_) return -1;
        reaped_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    pid_t pid_ = -1;
    int stdin_ = -1;
    int stdout_ = -1;
    bool reaped_ = false;
};

}  // namespace platformtest
