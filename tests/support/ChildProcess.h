// A helper program started by a test as a process of its own, with pipes on
// its standard input (closed to let it go) and its standard output and error
// (collected). A child still running when the object goes is killed and
// reaped, so a failing test never hangs.
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

namespace zrtest {

class ChildProcess {
public:
    ChildProcess(std::string program, std::vector<std::string> arguments) {
        int in[2], out[2], err[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return;  // Started() tells
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);  // dup2 clears close-on-exec for the child
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        std::vector<char*> args{program.data()};
        for (auto& argument : arguments) args.push_back(argument.data());
        args.push_back(nullptr);
        if (posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        for (int fd : {in[0], out[1], err[1]}) close(fd);
        stdin_ = in[1];
        fds_[0] = out[0];
        fds_[1] = err[0];
    }
    ~ChildProcess() {
        for (int fd : {stdin_, fds_[0], fds_[1]})
            if (fd >= 0) close(fd);
        Signal(SIGKILL);
        Reap();
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool Started() const { return pid_ > 0; }
    pid_t Pid() const { return pid_; }
    // Writes to the child's standard input; false once it is closed.
    bool Write(const std::string& text) {
        size_t done = 0;
        while (stdin_ >= 0 && done < text.size()) {
            const ssize_t n = write(stdin_, text.data() + done, text.size() - done);
            if (n <= 0) return false;
            done += static_cast<size_t>(n);
        }
        return stdin_ >= 0;
    }
    void CloseStdin() {
        if (stdin_ >= 0) close(stdin_);
        stdin_ = -1;
    }
    void Signal(int sig) {
        if (pid_ > 0 && !reaped_) kill(pid_, sig);
    }

    // Reads until the standard output holds needle or the time limit passes.
    bool WaitForOutput(const std::string& needle, int limitMs = 20000) {
        return Await(needle, 0, limitMs) != std::string::npos;
    }
    // The next line of the standard output, waiting up to 30 s (what came
    // before the end when the child ended without one).
    std::string Line() {
        const size_t end = Await("\n", taken_, 30000);
        std::string line = text_[0].substr(taken_, end - taken_);
        taken_ = end == std::string::npos ? text_[0].size() : end + 1;
        return line;
    }

    // Waits for the exit, collecting the rest of both outputs; the exit
    // status, 128 + the signal that ended it, or -1.
    int Wait() {
        while (ReadSome(-1)) {
        }
        return Reap();
    }

    const std::string& Out() const { return text_[0]; }
    const std::string& Err() const { return text_[1]; }

private:
    size_t Await(const std::string& needle, size_t from, int limitMs) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
        size_t at;
        while ((at = text_[0].find(needle, from)) == std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !ReadSome(static_cast<int>(left.count()))) break;
        }
        return at;
    }
    // Reads what either output has within the time limit; false once both
    // have ended or nothing came in time.
    bool ReadSome(int timeoutMs) {
        pollfd polls[2] = {{fds_[0], POLLIN, 0}, {fds_[1], POLLIN, 0}};  // poll skips a closed (-1) one
        if ((fds_[0] < 0 && fds_[1] < 0) || poll(polls, 2, timeoutMs) <= 0) return false;
        for (int stream = 0; stream < 2; ++stream) {
            if (polls[stream].revents == 0) continue;
            char buffer[4096];
            const ssize_t n = read(fds_[stream], buffer, sizeof(buffer));
            if (n > 0) text_[stream].append(buffer, static_cast<size_t>(n));
            if (n <= 0) {
                close(fds_[stream]);
                fds_[stream] = -1;
            }
        }
        return true;
    }
    int Reap() {
        int status = 0;
        if (pid_ <= 0 || reaped_ || waitpid(pid_, &status, 0) != pid_) return -1;
        reaped_ = true;
        if (WIFEXITED(status)) return WEXITSTATUS(status);
        return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
    }

    pid_t pid_ = -1;
    bool reaped_ = false;
    int stdin_ = -1, fds_[2] = {-1, -1};
    std::string text_[2];
    size_t taken_ = 0;  // of the standard output, by Line()
};

// A program run to its end with no input: its exit status and outputs.
struct Ran {
    int code = -1;
    std::string out, err;
};

inline Ran Run(const std::string& program, const std::vector<std::string>& arguments) {
    ChildProcess child(program, arguments);
    child.CloseStdin();
    const int code = child.Wait();
    return {code, child.Out(), child.Err()};
}

}  // namespace zrtest
