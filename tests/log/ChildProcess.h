// A helper process started by a test, with pipes to its standard streams.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

extern char** environ;

namespace logtest {

class ChildProcess {
public:
    explicit ChildProcess(const std::vector<std::string>& argv) {
        int in[2], out[2], err[2];
        if (pipe(in) != 0 || pipe(out) != 0 || pipe(err) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) posix_spawn_file_actions_addclose(&actions, fd);
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        if (posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(in[0]);
        close(out[1]);
        close(err[1]);
        stdin_ = in[1];
        stdout_ = out[0];
        stderr_ = err[0];
        fcntl(stdin_, F_SETFD, FD_CLOEXEC);
        fcntl(stdout_, F_SETFD, FD_CLOEXEC);
        fcntl(stderr_, F_SETFD, FD_CLOEXEC);
    }
    ~ChildProcess() {
        CloseStdin();
        if (pid_ > 0 && !reaped_) {
            kill(pid_, SIGKILL);
            int status;
            waitpid(pid_, &status, 0);
        }
        if (stdout_ >= 0) close(stdout_);
        if (stderr_ >= 0) close(stderr_);
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool Started() const { return pid_ > 0; }
    void CloseStdin() {
        if (stdin_ >= 0) close(stdin_);
        stdin_ = -1;
    }
    void Signal(int sig) {
        if (pid_ > 0 && !reaped_) kill(pid_, sig);
    }

    // Reads stdout until it holds `needle` or the time limit passes.
    bool WaitForOutput(const std::string& needle, int limitMs = 20000) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
        while (out_.find(needle) == std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !ReadSome(stdout_, out_, static_cast<int>(left.count()))) return false;
        }
        return true;
    }

    // Waits for the exit and collects the rest of both streams; the exit
    // status, 128 + signal, or -1.
    int Wait() {
        while (ReadSome(stdout_, out_, -1)) {
        }
        while (ReadSome(stderr_, err_, -1)) {
        }
        int status = 0;
        if (pid_ <= 0 || waitpid(pid_, &status, 0) != pid_) return -1;
        reaped_ = true;
        if (WIFEXITED(status)) return WEXITSTATUS(status);
        if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
        return -1;
    }

    const std::string& Out() const { return out_; }
    const std::string& Err() const { return err_; }

private:
    static bool ReadSome(int fd, std::string& into, int timeoutMs) {
        if (fd < 0) return false;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0) return false;
        char buffer[4096];
        const ssize_t n = read(fd, buffer, sizeof(buffer));
        if (n <= 0) return false;
        into.append(buffer, static_cast<size_t>(n));
        return true;
    }

    pid_t pid_ = -1;
    bool reaped_ = false;
    int stdin_ = -1, stdout_ = -1, stderr_ = -1;
    std::string out_, err_;
};

// Runs a program to its end.
inline int Run(const std::vector<std::string>& argv, std::string* out = nullptr, std::string* err = nullptr) {
    ChildProcess child(argv);
    if (!child.Started()) return -1;
    child.CloseStdin();
    const int code = child.Wait();
    if (out) *out = child.Out();
    if (err) *err = child.Err();
    return code;
}

}  // namespace logtest
