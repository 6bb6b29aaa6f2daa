// A thread-safe table of shared objects reached through small integer values,
// the slot logic behind kernel handles and reusable for other handle kinds
// (window handles).
//
// Slot i answers to the value kStep * (i + 1); a freed slot is reused lowest
// first, so values stay small and never reach kLimit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace zrwin {

template <class T, uintptr_t kStep, uintptr_t kLimit>
class SlotTable {
public:
    // The new value, or 0 when every slot below kLimit is taken.
    uintptr_t Insert(std::shared_ptr<T> object) {
        std::lock_guard<std::mutex> guard(lock_);
        size_t slot = 0;
        while (slot < slots_.size() && slots_[slot]) ++slot;
        if (slot >= kMaxSlots) return 0;
        if (slot == slots_.size()) slots_.emplace_back();
        slots_[slot] = std::move(object);
        return (slot + 1) * kStep;
    }

    // The object behind a value, or nullptr.
    std::shared_ptr<T> Lookup(uintptr_t value) const {
        size_t slot = 0;
        if (!SlotOf(value, slot)) return nullptr;
        std::lock_guard<std::mutex> guard(lock_);
        return slot < slots_.size() ? slots_[slot] : nullptr;
    }

    // Empties the slot and hands its object back, so the caller destroys it
    // outside the table's lock; nullptr when the value was not in the table.
    std::shared_ptr<T> Remove(uintptr_t value) {
        size_t slot = 0;
        if (!SlotOf(value, slot)) return nullptr;
        std::lock_guard<std::mutex> guard(lock_);
        if (slot >= slots_.size()) return nullptr;
        return std::move(slots_[slot]);
    }

private:
    static constexpr size_t kMaxSlots = (kLimit - 1) / kStep;

    static bool SlotOf(uintptr_t value, size_t& slot) {
        if (value == 0 || value % kStep != 0 || value >= kLimit) return false;
        slot = value / kStep - 1;
        return true;
    }

    mutable std::mutex lock_;
    std::vector<std::shared_ptr<T>> slots_;
};

}  // namespace zrwin
