// Events: an eventfd mirrors the signalled state so waits can poll() it among
// other objects; the state itself lives under a lock so that an auto-reset
// event is consumed by exactly one waiter.
#include <mutex>

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
    int PollFd() const override { return signal_.Fd(); }

    bool TryAcquire() override {
        std::lock_guard<std::mutex> guard(lock_);
        if (!signalled_) return false;
        if (!manualReset_) {
            signalled_ = false;
            signal_.Clear();
        }
        return true;
    }

    void Set() {
        std::lock_guard<std::mutex> guard(lock_);
        if (signalled_) return;
        signalled_ = true;
        signal_.Set();
    }

    void Reset() {
        std::lock_guard<std::mutex> guard(lock_);
        if (!signalled_) return;
        signalled_ = false;
        signal_.Clear();
    }

private:
    const bool manualReset_;
    std::mutex lock_;
    bool signalled_ = false;
    SignalFd signal_;
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

ZRWINAPI BOOL WINAPI ResetEvent(HANDLE event) {
    auto object = zrwin::EventOf(event);
    if (!object) return FALSE;
    object->Reset();
    return TRUE;
}
