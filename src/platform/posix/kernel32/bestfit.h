// Best-fit tables: what Windows' WideCharToMultiByte writes for a character
// its code page lacks, unless WC_NO_BEST_FIT_CHARS is given ('A' for U+0100
// in 1252). The tables are data taken from Windows by tools/bestfit.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zrwin {

struct BestFitEntry {
    uint16_t wide;
    uint8_t byte;
};

// Sorted by `wide`.
extern const BestFitEntry kBestFit1252[];
extern const size_t kBestFit1252Count;

}  // namespace zrwin
