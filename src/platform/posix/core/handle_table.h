// The process-wide kernel handle table of the POSIX layer.
//
// Every kernel object (event, thread, process, mutex, file, registry key, ...)
// derives from KernelObject and is reached through a HANDLE whose value is a
// small multiple of 4 below 2^31, so handle values fit the 32-bit fields of the
// wire formats and print with %X the way Windows handles do.
#pragma once

#include <memory>

#include "core/scoped_fd.h"
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

    // The wait contract, all that a wait asks of an object:
    //
    // PollFd(): a descriptor that poll() reports readable when the object
    // may have become signalled, or -1 for an object that cannot be waited
    // on (a file, a registry key).
    virtual int PollFd() const { return -1; }
    // TryAcquire(): one non-blocking attempt to take the object, valid at
    // any time; it consumes the signal where waiting does (auto-reset
    // events, mutexes). The default asks whether the descriptor is readable
    // now, right for objects that stay signalled (process and thread ends).
    // Called on: the waiting thread. A mutex taken from a dead owner notes it
    // with NoteAbandoned() before returning true.
    virtual bool TryAcquire();

    // Not part of the contract, a fast path: an object that can wait on its
    // own more cheaply than through poll() (an event sleeping on a futex)
    // does so when it is the only object of a wait. Returns a WAIT_* value,
    // or kNoSingleWait (the default) to wait through the contract.
    static constexpr DWORD kNoSingleWait = 0xFFFFFFFEu;
    virtual DWORD WaitSelf(DWORD /*milliseconds*/) { return kNoSingleWait; }

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
    SignalFd(const SignalFd&) = delete;
    SignalFd& operator=(const SignalFd&) = delete;

    bool Valid() const { return fd_.IsValid(); }
    int Fd() const { return fd_.Get(); }
    void Set();
    void Clear();

private:
    ScopedFd fd_;
};

// Called from TryAcquire on the waiting thread: the object just taken was a
// mutex whose owner died holding it; the wait answers WAIT_ABANDONED.
void NoteAbandoned();
// Whether the last TryAcquire of this thread noted an abandonment; clears it.
bool TakeAbandonedNote();

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
