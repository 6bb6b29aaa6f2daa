// The host as a process of its own: started through the platform's library
// runner (zrrundll here, rundll32 on Windows) with the entry point `Module`
// and the command line "PID(<parent>) LPCNAME(<group>)", watched until it
// ends. A host still running when its owner goes is killed and reaped.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace zragent {

struct HostCommand {
    std::string rundll;   // the runner binary
    std::string library;  // the host library
    std::string group;
    uint32_t parentPid = 0;
    std::string workDir;  // empty: the current directory
};

// The runner and library of the build zragent belongs to.
std::string DefaultRundll();
std::string DefaultHostLibrary();

// A module name as the host reads it: an existing file becomes an absolute
// Windows path ("/a/b.kvl" -> "C:\a\b.kvl", C: being the root); anything
// else is passed on as given.
std::string HostModulePath(const std::string& module);

class HostProcess {
public:
    HostProcess() = default;
    HostProcess(const HostProcess&) = delete;
    HostProcess& operator=(const HostProcess&) = delete;
    ~HostProcess();

    // False with a reason: runner or library missing, spawn failed.
    bool Start(const HostCommand& command, std::string& error);

    uint32_t Pid() const { return static_cast<uint32_t>(pid_); }
    const std::string& CommandLine() const { return commandLine_; }
    // A descriptor that polls readable when the host has ended.
    int ExitDescriptor() const { return pidfd_; }

    // Reaps the host when it has ended; true then.
    bool Exited();
    // Waits up to ms (negative: without limit) for the end.
    bool WaitForExit(int ms);
    // Valid once Exited(): the exit status, or 128 + the signal.
    int Status() const { return status_; }
    // "exited with status 0", "was killed by signal 9 (Killed)".
    std::string Describe() const;
    void Kill(int signal = 9);

private:
    pid_t pid_ = -1;
    int pidfd_ = -1;
    bool reaped_ = false;
    int status_ = -1;
    bool signaled_ = false;
    std::string commandLine_;
};

}  // namespace zragent
