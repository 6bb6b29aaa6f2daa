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
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);  // dup2 clears close-on-exec for the child
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        if (posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        for (int fd : {in[0], out[1], err[1]}) close(fd);
        stdin_ = in[1];
        fds_[0] = out[0];
        fds_[1] = err[0];
    }
    ~ChildProcess() {
        CloseStdin();
        Signal(SIGKILL);
        Wait();
        for (int fd : fds_) close(fd);
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
        while (text_[0].find(needle) == std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !ReadSome(0, static_cast<int>(left.count()))) return false;
        }
        return true;
    }

    // Waits for the exit and collects the rest of both streams; the exit
    // status, 128 + signal, or -1.
    int Wait() {
        while (ReadSome(0, -1) || ReadSome(1, -1)) {
        }
        int status = 0;
        if (pid_ <= 0 || reaped_ || waitpid(pid_, &status, 0) != pid_) return -1;
        reaped_ = true;
        if (WIFEXITED(status)) return WEXITSTATUS(status);
        return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
    }

    const std::string& Out() const { return text_[0]; }
    const std::string& Err() const { return text_[1]; }

private:
    bool ReadSome(int stream, int timeoutMs) {
        pollfd p{fds_[stream], POLLIN, 0};
        char buffer[4096];
        const ssize_t n = fds_[stream] >= 0 && poll(&p, 1, timeoutMs) > 0 ? read(fds_[stream], buffer, sizeof(buffer)) : 0;
        if (n > 0) text_[stream].append(buffer, static_cast<size_t>(n));
        return n > 0;
    }

    pid_t pid_ = -1;
    bool reaped_ = false;
    int stdin_ = -1, fds_[2] = {-1, -1};
    std::string text_[2];
};

// A program run to its end: its exit status and output.
struct Ran {
    int code = -1;
    std::string out, err;
};

inline Ran Run(const std::vector<std::string>& argv) {
    ChildProcess child(argv);
    child.CloseStdin();
    const int code = child.Wait();
    return {code, child.Out(), child.Err()};
}

}  // namespace logtest
