// The process-wide kernel handle table of the POSIX layer.
//
// Every kernel object (event, thread, process, mutex, file, registry key, ...)
// derives from KernelObject and is reached through a HANDLE whose value is a
// small multiple of 4 below 2^31, so handle values fit the 32-bit fields of the
// wire formats and print with %X the way Windows handles do.
#pragma once

#include <memory>

#include "zrwin/types.h"
#include "zrwin/winerror.h"

namespace zrwin {

enum class ObjectKind {
    Event,
    Thread,
    Process,
    Mutex,
    File,
    RegistryKey,
    Port,
    Other,
};

class KernelObject {
public:
    explicit KernelObject(ObjectKind kind) : kind_(kind) {}
    virtual ~KernelObject() = default;
    KernelObject(const KernelObject&) = delete;
    KernelObject& operator=(const KernelObject&) = delete;

    ObjectKind Kind() const { return kind_; }

    // Waitable objects return a descriptor that poll() reports readable while
    // the object is signalled, or -1 when the object cannot be waited on.
    virtual int PollFd() const { return -1; }
    // Called after poll() reported the descriptor readable: consumes the
    // signal where waiting does (auto-reset events, mutexes) and tells whether
    // the wait was satisfied. Objects that stay signalled return true.
    virtual bool TryAcquire() { return true; }
    // A single-object wait the object does itself (objects without a poll
    // descriptor, such as a named mutex). Returns a WAIT_* value, or
    // WAIT_FAILED with the last error set when it cannot be waited on.
    virtual DWORD WaitSelf(DWORD milliseconds);
    // Objects without a poll descriptor that a multi-object wait can still
    // take by trying them now and then (mutexes) return true.
    virtual bool TriedBySlices() const { return false; }
    // One non-blocking attempt to satisfy a wait: WAIT_OBJECT_0,
    // WAIT_ABANDONED_0 (a mutex whose owner died; the caller now owns it) or
    // WAIT_TIMEOUT when not signalled.
    virtual DWORD TryWait() { return TryAcquire() ? WAIT_OBJECT_0 : WAIT_TIMEOUT; }

private:
    ObjectKind kind_;
};

// The pseudo handles of GetCurrentProcess() and GetCurrentThread(), as on
// Windows. They are never in the table; closing them does nothing.
inline HANDLE CurrentProcessPseudoHandle() { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)); }
inline HANDLE CurrentThreadPseudoHandle() { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-2)); }
inline bool IsPseudoHandle(HANDLE handle) {
    return handle == CurrentProcessPseudoHandle() || handle == CurrentThreadPseudoHandle();
}

// A level-triggered eventfd: readable while set. Owns the descriptor. Setting
// and clearing are idempotent; the owner serialises them where it matters.
class SignalFd {
public:
    SignalFd();
    ~SignalFd();
    SignalFd(const SignalFd&) = delete;
    SignalFd& operator=(const SignalFd&) = delete;

    bool Valid() const { return fd_ >= 0; }
    int Fd() const { return fd_; }
    void Set();
    void Clear();

private:
    int fd_;
};

// Stores the object and returns its new handle, or nullptr when the table is
// full (last error ERROR_NO_SYSTEM_RESOURCES).
HANDLE InsertHandle(std::shared_ptr<KernelObject> object);

// The object behind a handle, or nullptr (last error not touched).
std::shared_ptr<KernelObject> LookupHandle(HANDLE handle);

// Sets the thread's last error to ERROR_INVALID_HANDLE.
void SetInvalidHandleError();

// The object behind a handle when it is of the given kind; nullptr and
// ERROR_INVALID_HANDLE otherwise.
template <class T>
std::shared_ptr<T> LookupHandleAs(HANDLE handle, ObjectKind kind) {
    auto object = LookupHandle(handle);
    if (!object || object->Kind() != kind) {
        SetInvalidHandleError();
        return nullptr;
    }
    return std::static_pointer_cast<T>(object);
}

// Removes the handle from the table; the object itself lives on while other
// references (an in-progress wait, a running thread) hold it. False when the
// handle was not in the table.
bool RemoveHandle(HANDLE handle);

}  // namespace zrwin
