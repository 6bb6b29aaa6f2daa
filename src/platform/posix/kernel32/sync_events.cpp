// Events: the signalled state is a word that single-object waits sleep on
// with a futex, the cheapest wake-up between threads. An eventfd mirrors the
// state for poll() once a multi-object wait has looked at the event; from
// then on every change is mirrored. A lock keeps the word and the mirror in
// step, so that an auto-reset event is consumed by exactly one waiter.
#include <atomic>
#include <cerrno>
#include <climits>
#include <mutex>

#include "core/futex.h"
#include "core/handle_table.h"
#include "zrwin/sync.h"

namespace zrwin {
namespace {

class EventObject : public KernelObject {
public:
    EventObject(bool manualReset, bool initialState) : KernelObject(ObjectKind::Event), manualReset_(manualReset) {
        if (initialState) Set();
    }

    bool Valid() const { return signal_.Valid(); }

    int PollFd() const override {
        std::lock_guard<std::mutex> guard(lock_);
        if (!mirrored_) {
            mirrored_ = true;
            if (signalled_.load(std::memory_order_relaxed)) signal_.Set();
        }
        return signal_.Fd();
    }

    bool TryAcquire() override {
        std::lock_guard<std::mutex> guard(lock_);
        if (!signalled_.load(std::memory_order_relaxed)) return false;
        if (!manualReset_) {
            signalled_.store(0, std::memory_order_relaxed);
            if (mirrored_) signal_.Clear();
        }
        return true;
    }

    DWORD WaitSelf(DWORD milliseconds) override {
        return FutexWaitSelf(&signalled_, &sleepers_, milliseconds, [this] { return TryAcquire(); });
    }

    void Set() {
        {
            std::lock_guard<std::mutex> guard(lock_);
            if (signalled_.load(std::memory_order_relaxed)) return;
            signalled_.store(1);
            if (mirrored_) signal_.Set();
        }
        if (sleepers_.load() > 0) FutexWake(&signalled_, manualReset_ ? INT_MAX : 1);
    }

    void Reset() {
        std::lock_guard<std::mutex> guard(lock_);
        if (!signalled_.load(std::memory_order_relaxed)) return;
        signalled_.store(0, std::memory_order_relaxed);
        if (mirrored_) signal_.Clear();
    }

private:
    const bool manualReset_;
    mutable std::mutex lock_;
    std::atomic<uint32_t> signalled_{0};
    std::atomic<uint32_t> sleepers_{0};
    mutable bool mirrored_ = false;
    mutable SignalFd signal_;
};

HANDLE CreateEventCommon(BOOL manualReset, BOOL initialState, bool named) {
    if (named) {
        // Named (cross-process) events are not implemented by this layer.
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    auto event = std::make_shared<EventObject>(manualReset != FALSE, initialState != FALSE);
    if (!event->Valid()) {
        SetLastError(ERROR_NO_SYSTEM_RESOURCES);
        return nullptr;
    }
    HANDLE handle = InsertHandle(std::move(event));
    if (handle) SetLastError(ERROR_SUCCESS);
    return handle;
}

std::shared_ptr<EventObject> EventOf(HANDLE handle) { return LookupHandleAs<EventObject>(handle, ObjectKind::Event); }

}  // namespace
}  // namespace zrwin

ZRWINAPI HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCSTR name) {
    return zrwin::CreateEventCommon(manualReset, initialState, name != nullptr && name[0] != '\0');
}

ZRWINAPI HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCWSTR name) {
    return zrwin::CreateEventCommon(manualReset, initialState, name != nullptr && name[0] != L'\0');
}

ZRWINAPI BOOL WINAPI SetEvent(HANDLE event) {
    auto object = zrwin::EventOf(event);
    if (!object) return FALSE;
    object->Set();
    return TRUE;
}
