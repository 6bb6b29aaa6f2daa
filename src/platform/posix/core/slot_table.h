// A thread-safe table of shared objects reached through small integer values:
// the slot logic behind kernel handles and window handles.
//
// A Values policy says how a slot (and its generation) becomes a value and
// back:
//   static constexpr size_t kMaxSlots;          // slots any value can name
//   static constexpr uint32_t kGenerationMask;  // 0: slots have no generation
//   static uintptr_t Encode(size_t slot, uint32_t generation);
//   static bool Decode(uintptr_t value, size_t& slot, uint32_t& generation);
// A freed slot is reused lowest first, so values stay small. With
// generations, freeing a slot moves its generation on, so a value that named
// the old object never names the one that reuses the slot (until the
// generation wraps).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace zrwin {

// Slot i answers to kStep * (i + 1), all below kLimit; no generations.
template <uintptr_t kStep, uintptr_t kLimit>
struct SteppedValues {
    static constexpr size_t kMaxSlots = (kLimit - 1) / kStep;
    static constexpr uint32_t kGenerationMask = 0;
    static uintptr_t Encode(size_t slot, uint32_t) { return (slot + 1) * kStep; }
    static bool Decode(uintptr_t value, size_t& slot, uint32_t& generation) {
        if (value == 0 || value % kStep != 0 || value >= kLimit) return false;
        slot = value / kStep - 1;
        generation = 0;
        return true;
    }
};

template <class T, class Values>
class SlotTable {
public:
    explicit SlotTable(size_t capacity = Values::kMaxSlots) : capacity_(std::min(capacity, Values::kMaxSlots)) {}

    // The new value, or 0 when every slot is taken.
    uintptr_t Insert(std::shared_ptr<T> object) {
        std::lock_guard<std::mutex> guard(lock_);
        size_t slot = lowestFree_;
        while (slot < slots_.size() && slots_[slot].object) ++slot;
        if (slot >= capacity_) return 0;
        if (slot == slots_.size()) slots_.emplace_back();
        slots_[slot].object = std::move(object);
        lowestFree_ = slot + 1;
        return Values::Encode(slot, slots_[slot].generation);
    }

    // The object behind a value, or nullptr.
    std::shared_ptr<T> Lookup(uintptr_t value) const {
        size_t slot = 0;
        uint32_t generation = 0;
        if (!Values::Decode(value, slot, generation)) return nullptr;
        std::lock_guard<std::mutex> guard(lock_);
        const Slot* found = Find(slot, generation);
        return found ? found->object : nullptr;
    }

    // Empties the slot and hands its object back, so the caller destroys it
    // outside the table's lock; nullptr when the value was not in the table.
    std::shared_ptr<T> Remove(uintptr_t value) {
        size_t slot = 0;
        uint32_t generation = 0;
        if (!Values::Decode(value, slot, generation)) return nullptr;
        std::lock_guard<std::mutex> guard(lock_);
        Slot* found = const_cast<Slot*>(Find(slot, generation));
        if (!found || !found->object) return nullptr;
        found->generation = (found->generation + 1) & Values::kGenerationMask;
        lowestFree_ = std::min(lowestFree_, slot);
        return std::move(found->object);
    }

private:
    struct Slot {
        std::shared_ptr<T> object;
        uint32_t generation = 0;
    };

    // The slot a value names, empty or not; caller holds lock_.
    const Slot* Find(size_t slot, uint32_t generation) const {
        if (slot >= slots_.size()) return nullptr;
        const Slot& found = slots_[slot];
        if constexpr (Values::kGenerationMask != 0) {
            if (found.generation != generation) return nullptr;
        }
        return &found;
    }

    const size_t capacity_;
    mutable std::mutex lock_;
    std::vector<Slot> slots_;
    size_t lowestFree_ = 0;  // every slot below it is taken
};

}  // namespace zrwin
