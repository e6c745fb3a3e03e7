// Receive measurements through a library under test: throughput at saturation, and CPU,
// wake-ups and latency at a given rate, link timing and competition for the CPUs.
#pragma once

#include <cstdint>
#include <vector>

#include "figures.h"
#include "library.h"
#include "session.h"

namespace ovel::bench {

// As fast as the simulator streams, compact checks: frames per second and CPU per million.
Figures receive_throughput(const Library& library, std::uint64_t frames,
                           const std::vector<std::uint8_t>& channels, bool fd);

// The same stream through bare libusb calls on the statically linked simulator, no library:
// the simulator's own CPU per million frames and ns per frame.
Figures simulator_alone(std::uint64_t frames, const std::vector<std::uint8_t>& channels, bool fd);

// FD frames on channels 0 and 1 interleaved, at rate_hz (0: saturation), every frame checked
// and its latencies recorded, with `competitors` CPU-bound processes running meanwhile.
struct LoadPoint {
    LinkTiming timing = LinkTiming::Immediate;
    double rate_hz = 0;
    std::uint64_t frames = 0;
    int competitors = 0;
    std::uint32_t rx_latency_us = 0;  // the receive latency budget (0: none)
};
Figures receive_at_load(const Library& library, const LoadPoint& point);

// Callback 0 frames/s and a quiet bus: CPU and wake-ups of the library's threads.
Figures idle(const Library& library, double seconds);

}  // namespace ovel::bench
