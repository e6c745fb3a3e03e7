// The adapter's counters as the commands report them when they end, and the watch for reception
// ending by itself.
#pragma once

#include "adapter.h"

namespace ovel::tool {

// Whether reception has ended without being stopped (unplugged, stall or errors persisting).
bool reception_ended(Adapter& adapter);
// Prints the counters on stderr and, if reception ended by itself, why; returns whether it did.
bool report_stats(Adapter& adapter);

}  // namespace ovel::tool
