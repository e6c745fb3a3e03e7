// The receive callback every library under test calls, and what it checks and records. The C
// API's callback has no user pointer, so this state is global; it is prepared before each run
// while no channel is started, and read after the session has been closed.
#pragma once

#include <cstdint>
#include <vector>

#include "ovelcanfd.h"
#include "statistics.h"

namespace ovel::bench {

// What the next run delivers: sequence numbers 0..frames-1 (data bytes 0..7) on
// channels[k % size], as echoes or as received frames.
struct Expectation {
    std::vector<std::uint8_t> channels = {0};
    std::uint64_t frames = 0;
    bool echo = false;
    // The FD frames' release and bus times become latencies at the callback's entry, kept in
    // buffers allocated before the run.
    bool latency = false;
    // Only each frame's successor is checked, with no buffer per frame, for the throughput and
    // memory runs (a duplicate then counts as reordered): the callback does what it always did,
    // and the resident size shows the library alone.
    bool compact = false;
};
void prepare_collector(const Expectation& expected);
// Frees the buffers of the last run.
void release_collector();

void on_frame(const ovel_canfd_frame* frame);

// Sleeps until the callback has been called `count` times, at most `bound_seconds`.
bool wait_for_frames(std::uint64_t count, double bound_seconds);
std::uint64_t frames_delivered();

// The callback waits (sleeping) while stalled is set.
void set_stalled(bool stalled);

struct Delivery {
    std::uint64_t delivered = 0;   // callback calls
    std::uint64_t lost = 0;        // expected sequence numbers never seen
    std::uint64_t duplicated = 0;  // seen again
    std::uint64_t reordered = 0;   // seen after a later one
    std::uint64_t wrong = 0;       // unexpected sequence number, channel or echo flag
    bool ok() const { return lost == 0 && duplicated == 0 && reordered == 0 && wrong == 0; }
};
Delivery delivery();

struct Latencies {
    Percentiles release;  // completion released to the host -> callback entry
    Percentiles bus;      // frame's time on the bus (its due time) -> callback entry
};
// Of the frames after the first 1 %, which also pay for the threads' first wake-ups.
Latencies latencies();

}  // namespace ovel::bench
