// Transmit measurements through a library under test: ovel_canfd_transmit back to back, and a
// sender that sleeps until each transmit is due. Every echo must come back once, in order.
#pragma once

#include <cstdint>

#include "figures.h"
#include "library.h"
#include "session.h"

namespace ovel::bench {

// Calls per second, per-call latency p50 / p99, and CPU while sending.
Figures transmit_back_to_back(const Library& library, std::uint64_t calls);

// `calls` transmits due at rate_hz on the given link: CPU per thread (the sender is the main
// thread, counted as the application's), wake-ups, calls per second reached, per-call latency.
Figures transmit_at_rate(const Library& library, LinkTiming timing, double rate_hz,
                         std::uint64_t calls);

}  // namespace ovel::bench
