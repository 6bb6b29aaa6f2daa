// Processes: a process handle is a pidfd, readable once the process ended.
#include <fcntl.h>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <mutex>

#include "core/scoped_fd.h"
#include "core/handle_table.h"
#include "zrwin/sync.h"

namespace zrwin {
namespace {

class ProcessObject : public KernelObject {
public:
    ProcessObject(ScopedFd pidfd, DWORD pid)
        : KernelObject(ObjectKind::Process), pidfd_(std::move(pidfd)), pid_(pid) {}

    int PollFd() const override { return pidfd_.Get(); }
    DWORD Pid() const { return pid_; }

    // False when the process ended but its exit code cannot be learnt (it
    // is not our child, or it was already reaped).
    bool ExitCode(DWORD& code) {
        std::lock_guard<std::mutex> guard(lock_);
        if (known_) {
            code = code_;
            return true;
        }
        pollfd entry{pidfd_.Get(), POLLIN, 0};
        int ready = poll(&entry, 1, 0);
        if (ready <= 0) {
            code = STILL_ACTIVE;
            return true;
        }
        // WNOWAIT leaves the child to be reaped by whoever owns it.
        siginfo_t info{};
        if (waitid(P_PIDFD, static_cast<id_t>(pidfd_.Get()), &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid == 0) {
            return false;
        }
        code_ = info.si_code == CLD_EXITED ? static_cast<DWORD>(info.si_status)
                                           : 128u + static_cast<DWORD>(info.si_status);
        known_ = true;
        code = code_;
        return true;
    }

private:
    const ScopedFd pidfd_;
    const DWORD pid_;
    std::mutex lock_;
    bool known_ = false;
    DWORD code_ = 0;
};

}  // namespace
}  // namespace zrwin

using zrwin::ProcessObject;

ZRWINAPI HANDLE WINAPI GetCurrentProcess(void) { return zrwin::CurrentProcessPseudoHandle(); }

ZRWINAPI DWORD WINAPI GetCurrentProcessId(void) { return static_cast<DWORD>(getpid()); }

ZRWINAPI HANDLE WINAPI OpenProcess(DWORD, BOOL, DWORD processId) {
    if (processId == 0 || processId > static_cast<DWORD>(INT_MAX)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    int fd = static_cast<int>(syscall(SYS_pidfd_open, static_cast<pid_t>(processId), 0u));
    if (fd < 0) {
        switch (errno) {
            case ESRCH:
            case EINVAL:  // no such process, or a thread that is not a process
                SetLastError(ERROR_INVALID_PARAMETER);
                break;
            case EPERM:
            case EACCES:
                SetLastError(ERROR_ACCESS_DENIED);
                break;
            case ENOSYS:
                SetLastError(ERROR_NOT_SUPPORTED);
                break;
            default:
                SetLastError(ERROR_NO_SYSTEM_RESOURCES);
                break;
        }
        return nullptr;
    }
    // pidfd_open does not set close-on-exec on every kernel; the layer's
    // handles are never inherited.
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    HANDLE handle = zrwin::InsertHandle(std::make_shared<ProcessObject>(zrwin::ScopedFd(fd), processId));
    if (handle) SetLastError(ERROR_SUCCESS);
    return handle;
}

ZRWINAPI BOOL WINAPI GetExitCodeProcess(HANDLE process, LPDWORD exitCode) {
    DWORD code = STILL_ACTIVE;
    if (process != zrwin::CurrentProcessPseudoHandle()) {
        auto object = zrwin::LookupHandleAs<ProcessObject>(process, zrwin::ObjectKind::Process);
        if (!object) return FALSE;
        if (!object->ExitCode(code)) {
            SetLastError(ERROR_NOT_SUPPORTED);
            return FALSE;
        }
    }
    if (!exitCode) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    *exitCode = code;
    return TRUE;
}
