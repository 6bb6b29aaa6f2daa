#include "HostProcess.h"

#include <errno.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <vector>

extern char** environ;

namespace zragent {

namespace {

std::string SelfDirectory() {
    char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) return ".";
    std::string self(path, static_cast<size_t>(length));
    return self.substr(0, self.rfind('/'));
}

std::string FromEnvironment(const char* name, const std::string& fallback) {
    const char* value = getenv(name);
    return value && *value ? value : fallback;
}

bool IsFile(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

}  // namespace

// zragent lives in <build>/tools/zragent; the runner and the library are
// built beside it.
std::string DefaultRundll() {
    return FromEnvironment("ZRAGENT_RUNDLL", SelfDirectory() + "/../zrrundll/zrrundll");
}

std::string DefaultHostLibrary() {
    return FromEnvironment("ZRAGENT_HOST_LIBRARY", SelfDirectory() + "/../../src/host/libzrmodproc.so");
}

std::string HostModulePath(const std::string& module) {
    if (!IsFile(module)) return module;
    char resolved[PATH_MAX];
    if (!realpath(module.c_str(), resolved)) return module;
    std::string path = std::string("C:") + resolved;
    for (char& c : path)
        if (c == '/') c = '\\';
    return path;
}

long ResidentKilobytes(uint32_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
    return 0;
}

HostProcess::~HostProcess() {
    if (started_ && !reaped_) {
        Kill(SIGKILL);
        WaitForExit(-1);
    }
    if (handle_ >= 0) close(static_cast<int>(handle_));
}

bool HostProcess::Start(const HostCommand& command, std::string& error) {
    if (access(command.rundll.c_str(), X_OK) != 0) {
        error = "host starter not found or not executable: " + command.rundll;
        return false;
    }
    if (!IsFile(command.library)) {
        error = "host library not found: " + command.library;
        return false;
    }
    char absolute[PATH_MAX];
    const std::string library = realpath(command.library.c_str(), absolute) ? absolute : command.library;
    std::vector<std::string> arguments{command.rundll, HostEntryArgument(library),
                                       HostParameters(command.parentPid, command.group)};
    commandLine_ = arguments[0] + " " + arguments[1] + " " + arguments[2];

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!command.workDir.empty()) posix_spawn_file_actions_addchdir_np(&actions, command.workDir.c_str());
    std::vector<char*> argv;
    for (auto& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int result = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (result != 0) {
        error = "could not start " + command.rundll + ": " + strerror(result);
        return false;
    }
    started_ = true;
    pid_ = static_cast<uint32_t>(pid);
    handle_ = static_cast<intptr_t>(syscall(SYS_pidfd_open, pid, 0));
    return true;
}

bool HostProcess::Exited() {
    if (!started_ || reaped_) return true;
    int raw = 0;
    if (waitpid(static_cast<pid_t>(pid_), &raw, WNOHANG) != static_cast<pid_t>(pid_)) return false;
    reaped_ = true;
    if (WIFEXITED(raw)) {
        status_ = WEXITSTATUS(raw);
    } else if (WIFSIGNALED(raw)) {
        killed_ = true;
        status_ = 128 + WTERMSIG(raw);
    }
    return true;
}

bool HostProcess::WaitForExit(int ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms < 0 ? 0 : ms);
    while (!Exited()) {
        int wait = 50;
        if (ms >= 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  deadline - std::chrono::steady_clock::now())
                                  .count();
            if (left <= 0) return false;
            wait = static_cast<int>(left < 50 ? left : 50);
        }
        if (handle_ >= 0) {
            pollfd fd{static_cast<int>(handle_), POLLIN, 0};
            poll(&fd, 1, wait);
        } else {
            usleep(static_cast<useconds_t>(wait) * 1000 / 10);
        }
    }
    return true;
}

std::string HostProcess::Describe() const {
    if (!reaped_) return "is still running";
    if (killed_) {
        const int signal = status_ - 128;
        const char* name = strsignal(signal);
        return "was killed by signal " + std::to_string(signal) + (name ? std::string(" (") + name + ")" : "");
    }
    return "exited with status " + std::to_string(status_);
}

void HostProcess::Kill(int signal) {
    if (started_ && !reaped_) kill(static_cast<pid_t>(pid_), signal);
}

}  // namespace zragent
