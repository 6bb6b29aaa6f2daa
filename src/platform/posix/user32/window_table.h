// The table behind window handles: a slot index and a generation packed into
// a small even integer, so a handle fits 32 bits and a stale one is never
// taken for the window that later reuses its slot.
//
// Kept behind this small interface so the kernel handle table's slot template
// can stand in for it.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace zrwin::user32 {

template <class T>
class WindowTable {
public:
    explicit WindowTable(uint32_t capacity) : capacity_(capacity) {}

    // The new handle value, or 0 when every slot is taken.
    uint32_t Insert(std::shared_ptr<T> object) {
        std::lock_guard<std::mutex> guard(lock_);
        uint32_t index;
        if (!free_.empty()) {
            index = free_.back();
            free_.pop_back();
        } else if (slots_.size() < capacity_) {
            index = static_cast<uint32_t>(slots_.size());
            slots_.emplace_back();
        } else {
            return 0;
        }
        slots_[index].object = std::move(object);
        return Encode(index, slots_[index].generation);
    }

    std::shared_ptr<T> Lookup(uint32_t value) const {
        std::lock_guard<std::mutex> guard(lock_);
        const Slot* slot = Find(value);
        return slot ? slot->object : nullptr;
    }

    // Frees the slot; the handle value is dead from then on.
    std::shared_ptr<T> Remove(uint32_t value) {
        std::lock_guard<std::mutex> guard(lock_);
        Slot* slot = const_cast<Slot*>(Find(value));
        if (!slot) return nullptr;
        std::shared_ptr<T> object = std::move(slot->object);
        slot->object.reset();
        slot->generation = static_cast<uint16_t>((slot->generation + 1) & 0x7FFF);
        free_.push_back(Index(value));
        return object;
    }

private:
    struct Slot {
        std::shared_ptr<T> object;
        uint16_t generation = 0;
    };

    static uint32_t Encode(uint32_t index, uint16_t generation) {
        return (static_cast<uint32_t>(generation) << 16) | ((index + 1) << 1);
    }
    static uint32_t Index(uint32_t value) { return ((value & 0xFFFF) >> 1) - 1; }

    const Slot* Find(uint32_t value) const {
        if ((value & 0xFFFF) == 0 || (value & 1) || (value >> 31)) return nullptr;
        uint32_t index = Index(value);
        if (index >= slots_.size()) return nullptr;
        const Slot& slot = slots_[index];
        if (!slot.object || slot.generation != (value >> 16)) return nullptr;
        return &slot;
    }

    const uint32_t capacity_;
    mutable std::mutex lock_;
    std::vector<Slot> slots_;
    std::vector<uint32_t> free_;
};

}  // namespace zrwin::user32
