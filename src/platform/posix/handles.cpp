#include "internal/handles.h"

#include <mutex>
#include <vector>

#include "zrwin/winerror.h"

ZRWINAPI void WINAPI SetLastError(DWORD code);

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
