#include "receive.h"

#include <chrono>
#include <thread>

#include "collector.h"
#include "competitors.h"
#include "sim_baseline.h"

namespace ovel::bench {
namespace {

const std::vector<std::uint8_t> TWO_CHANNELS = {0, 1};

// Lets the library's threads reach their blocking waits, and competitors get going, before a
// measured period starts.
void settle() {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

// The longest a stream of `frames` may take before its run counts as failed.
double bound_seconds(double rate_hz, std::uint64_t frames) {
    const double at_least = rate_hz > 0 ? rate_hz : 2'000;
    return static_cast<double>(frames) / at_least + 60;
}

}  // namespace

Figures receive_throughput(const Library& library, std::uint64_t frames,
                           const std::vector<std::uint8_t>& channels, bool fd) {
    Figures f;
    prepare_collector({.channels = channels, .frames = frames, .compact = true});
    {
        Session session(library, channels, fd);
        if (!session.ok()) {
            return f.fail(session.error());
        }
        const ProcessSample start = sample_start();
        if (!session.start_stream(frames, 0)) {
            return f.fail("ovsim_start_stream failed");
        }
        if (!wait_for_frames(frames, bound_seconds(0, frames))) {
            f.fail("timed out");
        }
        const Usage usage = usage_between(start, sample_end());
        put_usage(f, usage);
        f[Column::Achieved] = static_cast<double>(frames) / usage.wall_seconds;
        f[Column::CpuPerMillion] = usage.process_cpu_seconds / (static_cast<double>(frames) / 1e6);
        f[Column::NsPerFrame] = usage.wall_seconds / static_cast<double>(frames) * 1e9;
    }
    put_delivery(f, delivery(), frames);
    release_collector();
    return f;
}

Figures simulator_alone(std::uint64_t frames, const std::vector<std::uint8_t>& channels, bool fd) {
    Figures f;
    const SimCost sim = measure_simulator(frames, channels, fd);
    if (sim.frames != frames) {
        return f.fail("the simulator alone completed fewer transfers than it streamed");
    }
    f[Column::Achieved] = static_cast<double>(frames) / sim.wall_seconds;
    f[Column::CpuPerMillion] = sim.cpu_seconds / (static_cast<double>(frames) / 1e6);
    f[Column::NsPerFrame] = sim.wall_seconds / static_cast<double>(frames) * 1e9;
    return f;
}

Figures receive_at_load(const Library& library, const LoadPoint& point) {
    Figures f;
    prepare_collector({.channels = TWO_CHANNELS, .frames = point.frames, .latency = true});
    // Started first and stopped last, so that their start and end fall outside the period.
    Competitors competitors(point.competitors);
    if (!competitors.ok()) {
        return f.fail(competitors.error());
    }
    {
        Session session(library, TWO_CHANNELS, true, point.timing, 500'000, 2'000'000,
                        point.rx_latency_us);
        if (!session.ok()) {
            return f.fail(session.error());
        }
        settle();
        const ProcessSample start = sample_start();
        if (!session.start_stream(point.frames, point.rate_hz)) {
            return f.fail("ovsim_start_stream failed");
        }
        if (!wait_for_frames(point.frames, bound_seconds(point.rate_hz, point.frames))) {
            f.fail("timed out");
        }
        const Usage usage = usage_between(start, sample_end());
        competitors.stop();
        put_usage(f, usage);
        f[Column::Achieved] = static_cast<double>(point.frames) / usage.wall_seconds;
    }
    put_delivery(f, delivery(), point.frames);
    put_latencies(f, latencies());
    release_collector();
    return f;
}

Figures idle(const Library& library, double seconds) {
    Figures f;
    prepare_collector({.channels = TWO_CHANNELS, .frames = 0, .compact = true});
    Session session(library, TWO_CHANNELS, true);
    if (!session.ok()) {
        return f.fail(session.error());
    }
    settle();
    const ProcessSample start = sample_start();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const Usage usage = usage_between(start, sample_end());
    put_usage(f, usage);
    f[Column::Value] = usage.process_cpu_seconds;
    return f;
}

}  // namespace ovel::bench
