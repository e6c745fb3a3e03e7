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

// A queued sender (ovel_canfd_send) on channel 0.
struct QueuedLoad {
    LinkTiming timing = LinkTiming::FullSpeed;
    // The simulator's echo timing (each echo after the frame's time on the bus at the bitrates
    // below); off: a frame is on the bus, and echoed, as soon as the adapter takes it.
    bool bus_timing = true;
    bool fd = false;  // CAN FD 64-byte frames with bit-rate switch; classic 8-byte ones otherwise
    std::uint32_t bitrate = 1'000'000;
    std::uint32_t data_bitrate = 5'000'000;
    double rate_hz = 0;  // 0: back to back
    std::uint64_t calls = 0;
    std::uint32_t window = 0;  // frames in flight; 0: the library's default
};

// Frames per second from the first call to the last echo, CPU per thread and per frame, calls
// per second (Value), and every echo checked: its send id the one its send returned (Matched,
// Unmatched), none lost, duplicated or reordered. Fails for a library without queued sends.
Figures transmit_queued(const Library& library, const QueuedLoad& load);

// What the bus carries of the load's frames back to back: 1 / the frame's time on the bus as
// the simulator counts it (bits without stuffing, interframe space included).
double bus_frames_per_second(bool fd, std::uint32_t bitrate, std::uint32_t data_bitrate);

}  // namespace ovel::bench
