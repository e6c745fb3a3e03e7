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

// `calls` frames sent back to back on a link with the simulator's bus timing on (each echo only
// after the frame's time on the bus at 500 kbit/s): through ovel_canfd_send with its window
// (`queued`) or through ovel_canfd_transmit. Frames per second from the first call to the last
// echo, CPU per thread. Fails for a library without queued sends or bus timing.
Figures transmit_bus_paced(const Library& library, LinkTiming timing, bool queued,
                           std::uint64_t calls);

}  // namespace ovel::bench
