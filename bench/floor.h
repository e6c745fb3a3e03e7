// The floor of any design that sleeps between frames: with no library and no libusb, a producer
// thread sleeps until each frame is due and hands it to a consumer thread woken through a
// futex. What that costs at a given rate is the least a sleeping receive path can cost.
#pragma once

#include <cstdint>

#include "figures.h"

namespace ovel::bench {

// CPU and wake-ups from just before the first frame is due to the consumer's last wake-up; as
// the bus latency, due time -> consumer awake with the frame; as the release latency, the
// producer's publication -> consumer awake with the frame.
Figures measure_floor(double rate_hz, std::uint64_t frames);

// The time one thread takes to wake another that sleeps on a futex, one way, as half of a
// ping-pong's round trip between two threads placed by the scheduler (in Value, microseconds).
// A pipeline whose threads each sleep once per batch cannot turn a batch around faster.
Figures measure_wake_handover(std::uint32_t round_trips);

}  // namespace ovel::bench
