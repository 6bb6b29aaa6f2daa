// Threads: detached POSIX threads. Thread ids are the Linux thread ids,
// which fit 32 bits (pid_max is at most 2^22).
//
// Creating one costs what pthread_create costs and little more: the new
// thread publishes its id in a word its creator sleeps on with a futex, a
// thread's end is another such word, and the descriptor that poll() needs is
// made only when a multi-object wait asks for one.
//
// The creator waits for that id rather than derive it: on a loaded machine a
// new thread that its creator does not wait for can sit behind another
// process's time slice (4 ms and more) before it first runs.
#include <openssl/crypto.h>
#include <pthread.h>
#include <sched.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstring>
#include <limits.h>
#include <mutex>
#include <optional>

#include "core/futex.h"
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

// The stack a thread gets when CreateThread is asked for the default: what
// Windows reserves for one (1 MB), not the process's 8 MB rlimit. glibc keeps
// the stacks of ended threads for reuse up to 40 MB, so at this size a pool
// of 25 short-lived workers never maps a new one.
constexpr size_t kDefaultStack = 1u << 20;

class ThreadObject : public KernelObject {
public:
    ThreadObject() : KernelObject(ObjectKind::Thread) {}

    int PollFd() const override {
        std::lock_guard<std::mutex> guard(lock_);
        if (!ended_) {
            ended_.emplace();
            if (!ended_->Valid()) {
                ended_.reset();
                return -1;
            }
            if (done_.load(std::memory_order_relaxed)) ended_->Set();
        }
        return ended_->Fd();
    }
    // The acquire pairs with End(), so the waiter sees all the thread wrote.
    bool TryAcquire() override { return done_.load(std::memory_order_acquire) != 0; }

    DWORD WaitSelf(DWORD milliseconds) override {
        return FutexWaitSelf(&done_, &sleepers_, milliseconds, [this] { return TryAcquire(); });
    }

    DWORD ExitCode() const { return exitCode_.load(); }

    // Called on: the new thread, first thing.
    void PublishTid(DWORD tid) {
        tid_.store(tid);
        if (tidReaders_.load() > 0) FutexWake(&tid_, INT_MAX);
    }

    // Known once CreateThread has returned, which waits for it.
    DWORD Tid() {
        for (;;) {
            const DWORD tid = tid_.load();
            if (tid != 0) return tid;
            tidReaders_.fetch_add(1);
            FutexWaitWhile(&tid_, 0u, nullptr);
            tidReaders_.fetch_sub(1);
        }
    }

    // Called on: the thread itself, as it ends.
    void End(DWORD exitCode) {
        exitCode_.store(exitCode);
        {
            std::lock_guard<std::mutex> guard(lock_);
            done_.store(1, std::memory_order_release);
            if (ended_) ended_->Set();
        }
        if (sleepers_.load() > 0) FutexWake(&done_, INT_MAX);
    }

    // ExitThread's code, used instead of the routine's result.
    void SetPendingExit(DWORD code) {
        pendingExit_ = code;
        hasPendingExit_ = true;
    }
    bool HasPendingExit() const { return hasPendingExit_; }
    DWORD PendingExit() const { return pendingExit_; }

private:
    mutable std::mutex lock_;                 // keeps done_ and the descriptor in step
    mutable std::optional<SignalFd> ended_;   // under lock_; made on the first PollFd
    std::atomic<uint32_t> done_{0};
    std::atomic<uint32_t> sleepers_{0};
    std::atomic<DWORD> exitCode_{STILL_ACTIVE};
    std::atomic<uint32_t> tid_{0};
    std::atomic<uint32_t> tidReaders_{0};
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
        // OpenSSL's per-thread state (the trust service's) is freed before the end is
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
    HANDLE handle = zrwin::InsertHandle(self);
    if (!handle) return nullptr;

    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    {
        size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        size_t minimum = static_cast<size_t>(PTHREAD_STACK_MIN);
        size_t size = stackSize == 0 ? zrwin::kDefaultStack : stackSize < minimum ? minimum : stackSize;
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
    const DWORD tid = self->Tid();
    if (threadId) *threadId = tid;
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
