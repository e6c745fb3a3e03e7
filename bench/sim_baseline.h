// The simulated adapter's own cost: the same stream received through bare libusb calls, with a
// completion handler that only counts and resubmits, so that nothing of the library runs.
#pragma once

#include <cstdint>
#include <vector>

namespace ovel::bench {

struct SimCost {
    double wall_seconds = 0;
    double cpu_seconds = 0;
    std::uint64_t frames = 0;  // completions seen; equals the stream's count on success
};

// Plugs in an adapter (the simulator must hold none), streams `frames` frames as fast as it can
// to 32 transfers kept in flight, handles events on the calling thread, and removes it again.
SimCost measure_simulator(std::uint64_t frames, const std::vector<std::uint8_t>& channels, bool fd);

}  // namespace ovel::bench
