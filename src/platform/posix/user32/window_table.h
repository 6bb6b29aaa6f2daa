// The table behind window handles: the layer's slot table with a slot index
// and a generation packed into a small even integer, so a handle fits 32 bits
// and a stale one is never taken for the window that later reuses its slot.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/slot_table.h"

namespace zrwin::user32 {

// Bits 1-15: slot + 1; bits 16-30: generation; bit 0 and bit 31 clear.
struct WindowHandleValues {
    static constexpr size_t kMaxSlots = 0x7FFF;
    static constexpr uint32_t kGenerationMask = 0x7FFF;
    static uintptr_t Encode(size_t slot, uint32_t generation) {
        return (static_cast<uintptr_t>(generation) << 16) | ((slot + 1) << 1);
    }
    static bool Decode(uintptr_t value, size_t& slot, uint32_t& generation) {
        if ((value & 0xFFFF) == 0 || (value & 1) || (value >> 31)) return false;
        slot = ((value & 0xFFFF) >> 1) - 1;
        generation = static_cast<uint32_t>(value >> 16);
        return true;
    }
};

template <class T>
using WindowTable = SlotTable<T, WindowHandleValues>;

}  // namespace zrwin::user32
