#include "core/handle_table.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <mutex>
#include <vector>

#include "core/builtin_modules.h"
#include "zrwin/sync.h"

namespace zrwin {

namespace {

// Slot i holds handle value 4 * (i + 1); freed slots are reused lowest first
// so values stay small.
struct HandleTable {
    std::mutex lock;
    std::vector<std::shared_ptr<KernelObject>> slots;
};

HandleTable& Table() {
    static HandleTable* table = new HandleTable;  // never destroyed: handles may close during exit
    return *table;
}

constexpr size_t kMaxHandles = 1u << 24;

bool SlotOf(HANDLE handle, size_t& slot) {
    auto value = reinterpret_cast<uintptr_t>(handle);
    if (value == 0 || (value & 3) != 0 || value >= 0x80000000u) return false;
    slot = value / 4 - 1;
    return true;
}

}  // namespace

DWORD KernelObject::WaitSelf(DWORD) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
}

SignalFd::SignalFd() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

SignalFd::~SignalFd() {
    if (fd_ >= 0) close(fd_);
}

void SignalFd::Set() {
    // The counter only ever holds 0 or 1: callers set an unset signal.
    uint64_t one = 1;
    while (write(fd_, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void SignalFd::Clear() {
    uint64_t value = 0;
    while (read(fd_, &value, sizeof value) < 0 && errno == EINTR) {
    }
}

void SetInvalidHandleError() { SetLastError(ERROR_INVALID_HANDLE); }

HANDLE InsertHandle(std::shared_ptr<KernelObject> object) {
    auto& table = Table();
    std::lock_guard<std::mutex> guard(table.lock);
    size_t slot = 0;
    while (slot < table.slots.size() && table.slots[slot]) ++slot;
    if (slot >= kMaxHandles) {
        SetLastError(ERROR_NO_SYSTEM_RESOURCES);
        return nullptr;
    }
    if (slot == table.slots.size()) table.slots.emplace_back();
    table.slots[slot] = std::move(object);
    return reinterpret_cast<HANDLE>(static_cast<uintptr_t>((slot + 1) * 4));
}

std::shared_ptr<KernelObject> LookupHandle(HANDLE handle) {
    size_t slot = 0;
    if (!SlotOf(handle, slot)) return nullptr;
    auto& table = Table();
    std::lock_guard<std::mutex> guard(table.lock);
    if (slot >= table.slots.size()) return nullptr;
    return table.slots[slot];
}

bool RemoveHandle(HANDLE handle) {
    size_t slot = 0;
    if (!SlotOf(handle, slot)) return false;
    std::shared_ptr<KernelObject> doomed;  // destroyed outside the table lock
    {
        auto& table = Table();
        std::lock_guard<std::mutex> guard(table.lock);
        if (slot >= table.slots.size() || !table.slots[slot]) return false;
        doomed = std::move(table.slots[slot]);
    }
    return true;
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

namespace {
const zrwin::BuiltinExport kHandleExports[] = {
    {"CloseHandle", reinterpret_cast<void*>(&CloseHandle)},
};
ZRWIN_REGISTER_BUILTIN("kernel32", kHandleExports);
}  // namespace
