// Resident memory of the process while a library under test receives: the peak with a callback
// that keeps up, and the growth per frame queued behind a stalled callback.
#pragma once

#include <cstdint>

#include "figures.h"
#include "library.h"

namespace ovel::bench {

struct MemorySizes {
    std::uint64_t small = 0, large = 0;  // frames received before each peak is read
    std::uint64_t stalled = 0;           // frames queued behind the stalled callback
};

struct MemoryFigures {
    Figures peak_small, peak_large;  // MiB
    Figures stalled_growth;          // bytes per queued frame
};

MemoryFigures measure_memory(const Library& library, const MemorySizes& sizes);

}  // namespace ovel::bench
