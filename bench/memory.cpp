#include "memory.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

#include "collector.h"
#include "session.h"

namespace ovel::bench {
namespace {

using Clock = std::chrono::steady_clock;

const std::vector<std::uint8_t> TWO_CHANNELS = {0, 1};

double mib(std::uint64_t bytes) {
    return static_cast<double>(bytes) / (1 << 20);
}

// Waits until the stalled stream has been queued whole: every frame streamed and the IN
// transfers waiting again (their number unchanged for 20 ms, whatever the library keeps in
// flight). A simulator that cannot tell is watched instead, until the resident size has not
// changed for 300 ms.
void wait_until_queued(const Session& session, std::uint64_t frames) {
    const Library& l = session.library();
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    if (l.sim_streamed != nullptr && l.sim_in_transfers_pending != nullptr) {
        std::int32_t last = -1;
        int unchanged = 0;
        while (unchanged < 20 && Clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            const std::int32_t pending = l.sim_in_transfers_pending(session.adapter());
            const bool done = l.sim_streamed(session.adapter()) >= frames && pending > 0;
            unchanged = done && pending == last ? unchanged + 1 : 0;
            last = pending;
        }
        return;
    }
    std::uint64_t last = resident_bytes();
    int unchanged = 0;
    while (unchanged < 30 && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        const std::uint64_t now = resident_bytes();
        unchanged = now == last ? unchanged + 1 : 0;
        last = now;
    }
}

}  // namespace

MemoryFigures measure_memory(const Library& library, const MemorySizes& sizes) {
    MemoryFigures m;
    release_collector();
    {
        prepare_collector({.channels = TWO_CHANNELS, .frames = sizes.large, .compact = true});
        // The peak of this library alone, not of whatever ran before in this process (kernels
        // before 4.0 cannot reset it: the figure is then the process's peak so far).
        reset_peak_resident();
        Session session(library, TWO_CHANNELS, true);
        if (!session.ok()) {
            m.peak_small.fail(session.error());
            m.peak_large.fail(session.error());
            return m;
        }
        if (!session.start_stream(sizes.large, 0)) {
            m.peak_large.fail("ovsim_start_stream failed");
            return m;
        }
        if (!wait_for_frames(sizes.small, 60)) {
            m.peak_small.fail("timed out");
        }
        m.peak_small[Column::Value] = mib(peak_resident_bytes());
        if (!wait_for_frames(sizes.large, 300)) {
            m.peak_large.fail("timed out");
        }
        m.peak_large[Column::Value] = mib(peak_resident_bytes());
    }
    put_delivery(m.peak_large, delivery(), sizes.large);
    {
        // The callback stalls on the first frame; everything after it waits in the queue.
        const std::uint64_t frames = sizes.stalled;
        prepare_collector({.channels = TWO_CHANNELS, .frames = frames, .compact = true});
        set_stalled(true);
        Session session(library, TWO_CHANNELS, true);
        if (!session.ok()) {
            set_stalled(false);
            m.stalled_growth.fail(session.error());
            return m;
        }
        const std::uint64_t before = resident_bytes();
        if (!session.start_stream(frames, 0)) {
            set_stalled(false);
            m.stalled_growth.fail("ovsim_start_stream failed");
            return m;
        }
        wait_until_queued(session, frames);
        const std::uint64_t after = resident_bytes();
        m.stalled_growth[Column::Value] =
            static_cast<double>(after - std::min(after, before)) / static_cast<double>(frames);
        set_stalled(false);
        if (!wait_for_frames(frames, 60)) {
            m.stalled_growth.fail("timed out");
        }
    }
    put_delivery(m.stalled_growth, delivery(), sizes.stalled);
    return m;
}

}  // namespace ovel::bench
