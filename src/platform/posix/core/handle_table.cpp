#include "core/handle_table.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <utility>

#include "core/slot_table.h"
#include "zrwin/sync.h"

namespace zrwin {

namespace {

// Handle values are multiples of 4 below 2^31, as the 32-bit fields of the
// wire formats and the %X of log lines expect.
using KernelHandleTable = SlotTable<KernelObject, SteppedValues<4, 0x80000000u>>;

KernelHandleTable& Table() {
    static KernelHandleTable* table = new KernelHandleTable;  // never destroyed: handles may close during exit
    return *table;
}

thread_local bool t_abandoned = false;

}  // namespace

bool KernelObject::TryAcquire() {
    const int fd = PollFd();
    if (fd < 0) return false;
    pollfd entry{fd, POLLIN, 0};
    return poll(&entry, 1, 0) > 0;
}

void NoteAbandoned() { t_abandoned = true; }

bool TakeAbandonedNote() { return std::exchange(t_abandoned, false); }

SignalFd::SignalFd() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

void SignalFd::Set() {
    // The counter only ever holds 0 or 1: callers set an unset signal.
    uint64_t one = 1;
    while (write(fd_.Get(), &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void SignalFd::Clear() {
    uint64_t value = 0;
    while (read(fd_.Get(), &value, sizeof value) < 0 && errno == EINTR) {
    }
}

void SetInvalidHandleError() { SetLastError(ERROR_INVALID_HANDLE); }

HANDLE InsertHandle(std::shared_ptr<KernelObject> object) {
    const uintptr_t value = Table().Insert(std::move(object));
    if (value == 0) {
        SetLastError(ERROR_NO_SYSTEM_RESOURCES);
        return nullptr;
    }
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<KernelObject> LookupHandle(HANDLE handle) {
    return Table().Lookup(reinterpret_cast<uintptr_t>(handle));
}

bool RemoveHandle(HANDLE handle) {
    // The object dies here, outside the table's lock, unless a wait or a
    // running thread still holds it.
    return Table().Remove(reinterpret_cast<uintptr_t>(handle)) != nullptr;
}

}  // namespace zrwin

ZRWINAPI BOOL WINAPI CloseHandle(HANDLE object) {
    if (zrwin::IsPseudoHandle(object)) return TRUE;
    if (!zrwin::RemoveHandle(object)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}
