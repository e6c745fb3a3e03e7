// The soak: hours of ordinary use in minutes, watching for what accumulates.
#pragma once

#include "library.h"

namespace ovel::bench {

// Streams 2,000 frames/s over a simulated full-speed link (immediate under AddressSanitizer)
// for `minutes`, in cycles of open, start, stop and start again, unplug while streaming, close
// and a new adapter plugged in.
// Prints the resident size, open descriptors and threads after the warm-up cycle and at the end
// (both between cycles, with no adapter open). Returns 0, or 1 when the descriptors or threads
// grew, the resident size grew by more than 2 MiB and 5 %, a cycle received nothing, or frames
// arrived duplicated or out of order. Under a sanitizer the resident size is shown but not
// judged: its allocator holds on to freed memory by design.
int run_soak(const Library& library, double minutes);

}  // namespace ovel::bench
