// Threads: detached POSIX threads whose handle is an eventfd set when the
// thread routine returns or the thread calls ExitThread. Thread ids are the
// Linux thread ids, which fit 32 bits (pid_max is at most 2^22).
#include <openssl/crypto.h>
#include <pthread.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <limits.h>
#include <mutex>

#include "core/handle_table.h"
#include "kernel32/threads.h"
#include "zrwin/sync.h"
#include "zrwin/sysinfo.h"

namespace zrwin {
namespace {

// Cached per thread; a forked child's only thread has a new id, so the cache
// is dropped there.
thread_local DWORD t_tid = 0;

void ForgetTidAfterFork() { t_tid = 0; }

const bool kForkHandlerInstalled = pthread_atfork(nullptr, nullptr, ForgetTidAfterFork) == 0;

DWORD CurrentTid() {
    if (t_tid == 0) t_tid = static_cast<DWORD>(syscall(SYS_gettid));
    return t_tid;
}

class ThreadObject : public KernelObject {
public:
    ThreadObject() : KernelObject(ObjectKind::Thread) {}

    bool Valid() const { return ended_.Valid(); }
    int PollFd() const override { return ended_.Fd(); }
    // The acquire pairs with End(), so the waiter sees all the thread wrote.
    bool TryAcquire() override { return done_.load(std::memory_order_acquire); }

    DWORD ExitCode() const { return exitCode_.load(); }
    bool Running() const { return !done_.load(); }

    void PublishTid(DWORD tid) {
        {
            std::lock_guard<std::mutex> guard(lock_);
            tid_ = tid;
        }
        tidKnown_.notify_all();
    }

    DWORD Tid() {
        std::unique_lock<std::mutex> guard(lock_);
        tidKnown_.wait(guard, [this] { return tid_ != 0; });
        return tid_;
    }

    void End(DWORD exitCode) {
        exitCode_.store(exitCode);
        done_.store(true, std::memory_order_release);
        ended_.Set();
    }

    // ExitThread's code, used instead of the routine's result.
    void SetPendingExit(DWORD code) {
        pendingExit_ = code;
        hasPendingExit_ = true;
    }
    bool HasPendingExit() const { return hasPendingExit_; }
    DWORD PendingExit() const { return pendingExit_; }

private:
    SignalFd ended_;
    std::atomic<DWORD> exitCode_{STILL_ACTIVE};
    std::atomic<bool> done_{false};
    std::mutex lock_;
    std::condition_variable tidKnown_;
    DWORD tid_ = 0;
    // Touched only by the thread itself.
    DWORD pendingExit_ = 0;
    bool hasPendingExit_ = false;
};

thread_local ThreadObject* t_self = nullptr;

struct StartInfo {
    std::shared_ptr<ThreadObject> self;
    LPTHREAD_START_ROUTINE start;
    LPVOID parameter;
};

// Signals the end however the thread leaves: by returning, or through the
// unwinding that pthread_exit (ExitThread) performs.
class EndSignal {
public:
    explicit EndSignal(ThreadObject* self) : self_(self) {}
    ~EndSignal() {
        // The hash service's per-thread state is freed before the end is
        // signalled: a waiter may end the process right after, before the
        // thread's own key destructors would have run.
        OPENSSL_thread_stop();
        self_->End(self_->HasPendingExit() ? self_->PendingExit() : result_);
        t_self = nullptr;
    }
    EndSignal(const EndSignal&) = delete;
    EndSignal& operator=(const EndSignal&) = delete;
    void SetResult(DWORD result) { result_ = result; }

private:
    ThreadObject* self_;
    DWORD result_ = 0;
};

void* ThreadMain(void* raw) {
    std::unique_ptr<StartInfo> info(static_cast<StartInfo*>(raw));
    std::shared_ptr<ThreadObject> self = info->self;  // keeps the object alive until the end is signalled
    t_self = self.get();
    self->PublishTid(CurrentTid());
    EndSignal end(self.get());
    auto start = info->start;
    auto parameter = info->parameter;
    info.reset();
    end.SetResult(start(parameter));
    return nullptr;
}

std::shared_ptr<ThreadObject> ThreadOf(HANDLE handle) {
    return LookupHandleAs<ThreadObject>(handle, ObjectKind::Thread);
}


}  // namespace

bool QueryThreadFacts(HANDLE thread, ThreadFacts& facts) {
    if (thread == CurrentThreadPseudoHandle()) {
        facts.exitStatus = STILL_ACTIVE;
        facts.threadId = CurrentTid();
        return true;
    }
    auto object = LookupHandle(thread);
    if (!object || object->Kind() != ObjectKind::Thread) return false;
    auto* threadObject = static_cast<ThreadObject*>(object.get());
    facts.exitStatus = threadObject->ExitCode();
    facts.threadId = threadObject->Tid();
    return true;
}

}  // namespace zrwin

using zrwin::ThreadObject;

ZRWINAPI HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T stackSize, LPTHREAD_START_ROUTINE start,
                                   LPVOID parameter, DWORD creationFlags, LPDWORD threadId) {
    if (start == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (creationFlags & CREATE_SUSPENDED) {
        // There is no ResumeThread in this layer.
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    auto self = std::make_shared<ThreadObject>();
    if (!self->Valid()) {
        SetLastError(ERROR_NO_SYSTEM_RESOURCES);
        return nullptr;
    }
    HANDLE handle = zrwin::InsertHandle(self);
    if (!handle) return nullptr;

    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    if (stackSize != 0) {
        size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        size_t minimum = static_cast<size_t>(PTHREAD_STACK_MIN);
        size_t size = stackSize < minimum ? minimum : stackSize;
        size = (size + page - 1) / page * page;
        pthread_attr_setstacksize(&attributes, size);  // a refused size keeps the default
    }
    auto* info = new zrwin::StartInfo{self, start, parameter};
    pthread_t thread;
    int error = pthread_create(&thread, &attributes, zrwin::ThreadMain, info);
    pthread_attr_destroy(&attributes);
    if (error != 0) {
        delete info;
        zrwin::RemoveHandle(handle);
        SetLastError(error == EAGAIN ? ERROR_NOT_ENOUGH_MEMORY : ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (threadId) *threadId = self->Tid();
    SetLastError(ERROR_SUCCESS);
    return handle;
}

ZRWINAPI HANDLE WINAPI GetCurrentThread(void) { return zrwin::CurrentThreadPseudoHandle(); }

ZRWINAPI DWORD WINAPI GetCurrentThreadId(void) { return zrwin::CurrentTid(); }

ZRWINAPI DWORD WINAPI GetThreadId(HANDLE thread) {
    if (thread == zrwin::CurrentThreadPseudoHandle()) return zrwin::CurrentTid();
    auto object = zrwin::ThreadOf(thread);
    return object ? object->Tid() : 0;
}

ZRWINAPI BOOL WINAPI GetExitCodeThread(HANDLE thread, LPDWORD exitCode) {
    DWORD code = STILL_ACTIVE;
    if (thread != zrwin::CurrentThreadPseudoHandle()) {
        auto object = zrwin::ThreadOf(thread);
        if (!object) return FALSE;
        code = object->ExitCode();
    }
    if (!exitCode) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    *exitCode = code;
    return TRUE;
}

ZRWINAPI BOOL WINAPI TerminateThread(HANDLE thread, DWORD) {
    if (thread != zrwin::CurrentThreadPseudoHandle() && !zrwin::ThreadOf(thread)) return FALSE;
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
}

ZRWINAPI void WINAPI ExitThread(DWORD exitCode) {
    if (zrwin::t_self) zrwin::t_self->SetPendingExit(exitCode);
    pthread_exit(nullptr);
}
