// The host as a process of its own: started through the platform's library
// runner (zrrundll on Linux, rundll32 on Windows) with the entry point
// `Module` and the command line "PID(<parent>) LPCNAME(<group>)", watched
// until it ends. A host still running when its owner goes is killed and
// reaped.
#pragma once

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

// The runner and library of the build zragent belongs to (on Windows: the
// system's rundll32.exe, and zrmodproc.dll beside zragent.exe or in the
// build tree).
std::string DefaultRundll();
std::string DefaultHostLibrary();

// A module name as the host reads it: an existing file becomes an absolute
// Windows path (on Linux "/a/b.kvl" -> "C:\a\b.kvl", C: being the root);
// anything else is passed on as given.
std::string HostModulePath(const std::string& module);

// The runner's arguments: "<library>,Module", then the host's own command
// line "PID(<parent>) LPCNAME(<group>)".
std::string HostEntryArgument(const std::string& library);
std::string HostParameters(uint32_t parentPid, const std::string& group);
// The whole command line of a Windows process start: the runner and the
// library quoted (either may hold blanks; rundll32 takes a quoted library
// before the comma), then the parameters as they are, since the host reads
// them from the raw text that follows the entry name.
std::string WindowsCommandLine(const std::string& rundll, const std::string& library, uint32_t parentPid,
                               const std::string& group);

class HostProcess {
public:
    HostProcess() = default;
    HostProcess(const HostProcess&) = delete;
    HostProcess& operator=(const HostProcess&) = delete;
    ~HostProcess();

    // False with a reason: runner or library missing, spawn failed.
    bool Start(const HostCommand& command, std::string& error);

    uint32_t Pid() const { return pid_; }
    const std::string& CommandLine() const { return commandLine_; }

    // Collects the host's status when it has ended; true then (and when it
    // was never started).
    bool Exited();
    // Waits up to ms (negative: without limit) for the end.
    bool WaitForExit(int ms);
    // Valid once Exited(): the exit status (on Linux 128 + the signal that
    // ended it).
    int Status() const { return status_; }
    // "exited with status 0", "was killed by signal 9 (Killed)".
    std::string Describe() const;
    // Ends the host: the signal on Linux; on Windows a termination with the
    // status 128 + signal, as a shell reports a killed process.
    void Kill(int signal = 9);

private:
    uint32_t pid_ = 0;
    intptr_t handle_ = -1;  // a pidfd on Linux (may be -1), the process handle on Windows
    bool started_ = false;
    bool reaped_ = false;
    bool killed_ = false;  // by a signal on Linux, by Kill on Windows
    int status_ = -1;
    std::string commandLine_;
};

// A process's resident memory in kilobytes, 0 when unknown.
long ResidentKilobytes(uint32_t pid);

}  // namespace zragent
