// A helper program started by a test as a process of its own, with pipes on
// its standard input (closed to let it go) and its standard output and error
// (collected). A child still running when the object goes is killed and
// reaped, so a failing test never hangs. On Windows a reader thread per
// output stands in for poll(), which anonymous pipes do not have.
#pragma once

#ifdef _WIN32
#include <windows.h>

#include <condition_variable>
#include <mutex>
#include <thread>
#else
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;
#endif

#include <chrono>
#include <string>
#include <vector>

namespace zrtest {

class ChildProcess {
public:
#ifdef _WIN32
    ChildProcess(const std::string& program, const std::vector<std::string>& arguments) {
        SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
        HANDLE theirs[3] = {}, ours[3] = {};  // standard input, output, error
        for (int i = 0; i < 3; ++i) {
            HANDLE read, write;
            if (!CreatePipe(&read, &write, &inherited, 0)) {
                open_ = 0;
                return;  // Started() tells
            }
            theirs[i] = i == 0 ? read : write;
            ours[i] = i == 0 ? write : read;
            SetHandleInformation(ours[i], HANDLE_FLAG_INHERIT, 0);
        }
        std::string line = Quoted(program);
        for (const auto& argument : arguments) line += " " + Quoted(argument);
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = theirs[0];
        startup.hStdOutput = theirs[1];
        startup.hStdError = theirs[2];
        PROCESS_INFORMATION started{};
        if (CreateProcessA(program.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &started)) {
            process_ = started.hProcess;
            CloseHandle(started.hThread);
        }
        for (HANDLE handle : theirs) CloseHandle(handle);
        stdin_ = ours[0];
        for (int stream = 0; stream < 2; ++stream)
            readers_[stream] = std::thread([this, stream, pipe = ours[stream + 1]] {
                char buffer[4096];
                DWORD n = 0;
                while (ReadFile(pipe, buffer, sizeof buffer, &n, nullptr) && n > 0) {
                    std::lock_guard<std::mutex> lock(mutex_);
                    pending_[stream].append(buffer, n);
                    arrived_.notify_all();
                }
                CloseHandle(pipe);
                std::lock_guard<std::mutex> lock(mutex_);
                --open_;
                arrived_.notify_all();
            });
    }
    ~ChildProcess() {
        CloseStdin();
        if (process_ && !reaped_) TerminateProcess(process_, 137);
        Reap();
        for (auto& reader : readers_)
            if (reader.joinable()) reader.join();
        if (process_) CloseHandle(process_);
    }
    bool Started() const { return process_ != nullptr; }
    bool Write(const std::string& text) {
        DWORD written = 0;
        return stdin_ && WriteFile(stdin_, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
               written == text.size();
    }
    void CloseStdin() {
        if (stdin_) CloseHandle(stdin_);
        stdin_ = nullptr;
    }
#else
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
#endif
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

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
        if (!line.empty() && line.back() == '\r') line.pop_back();  // a Windows child's text mode
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
#ifdef _WIN32
    // Takes what the readers have within the time limit (none: forever);
    // false once both outputs have ended or nothing came in time.
    bool ReadSome(int timeoutMs) {
        std::unique_lock<std::mutex> lock(mutex_);
        const auto ready = [this] { return !pending_[0].empty() || !pending_[1].empty() || open_ == 0; };
        if (timeoutMs < 0) arrived_.wait(lock, ready);
        else if (!arrived_.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready)) return false;
        if (pending_[0].empty() && pending_[1].empty()) return false;
        for (int stream = 0; stream < 2; ++stream) {
            text_[stream] += pending_[stream];
            pending_[stream].clear();
        }
        return true;
    }
    int Reap() {
        DWORD code = 0;
        if (!process_ || reaped_ || WaitForSingleObject(process_, INFINITE) != WAIT_OBJECT_0 ||
            !GetExitCodeProcess(process_, &code))
            return -1;
        reaped_ = true;
        return static_cast<int>(code);
    }
    // One argument as the C run-time's parser reads it back.
    static std::string Quoted(const std::string& argument) {
        if (!argument.empty() && argument.find_first_of(" \t\"") == std::string::npos) return argument;
        std::string quoted = "\"";
        size_t backslashes = 0;
        for (char c : argument) {
            if (c == '\\') {
                ++backslashes;
                continue;
            }
            quoted.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\') += c;
            backslashes = 0;
        }
        return quoted.append(2 * backslashes, '\\') + '"';
    }

    HANDLE process_ = nullptr, stdin_ = nullptr;
    std::thread readers_[2];
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::string pending_[2];  // guarded by mutex_
    int open_ = 2;            // guarded by mutex_
#else
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
    int stdin_ = -1, fds_[2] = {-1, -1};
#endif
    bool reaped_ = false;
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
