#include "collector.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "statistics.h"

namespace ovel::bench {
namespace {

struct Collector {
    std::vector<std::uint8_t> channels;
    std::uint64_t frames = 0;
    bool echo = false;
    bool latency = false;
    bool compact = false;
    std::atomic<std::uint64_t> delivered{0};
    // The waiting thread sleeps until the callback reaches this count, rather than waking to
    // look: its wake-ups would land on the cores whose latency is being measured.
    std::atomic<std::uint64_t> wanted{UINT64_MAX};
    std::mutex reached_mutex;
    std::condition_variable reached;
    std::atomic<bool> stalled{false};
    // Written by the dispatch thread only, read once the session is closed.
    std::vector<std::uint8_t> seen;  // by sequence number, unless compact
    std::uint64_t next = 0;          // one past the highest sequence number seen
    std::uint64_t lost = 0, duplicated = 0, reordered = 0, wrong = 0;  // lost: compact only
    std::vector<std::uint32_t> release_ns, bus_ns;                     // by sequence number
};

Collector collector;

std::uint64_t read_u64_le(const std::uint8_t* bytes) {
    std::uint64_t value = 0;
    for (int i = 7; i >= 0; --i) {
        value = (value << 8) | bytes[i];
    }
    return value;
}

std::uint64_t steady_ns() {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
}

}  // namespace

void prepare_collector(const Expectation& expected) {
    Collector& c = collector;
    c.channels = expected.channels;
    c.frames = expected.frames;
    c.echo = expected.echo;
    c.latency = expected.latency;
    c.compact = expected.compact;
    c.delivered.store(0);
    c.wanted.store(UINT64_MAX);
    c.stalled.store(false);
    c.seen.assign(expected.compact ? 0 : expected.frames, 0);
    c.next = 0;
    c.lost = c.duplicated = c.reordered = c.wrong = 0;
    c.release_ns.assign(expected.latency ? expected.frames : 0, NO_TIME);
    c.bus_ns.assign(expected.latency ? expected.frames : 0, NO_TIME);
}

void release_collector() {
    std::vector<std::uint8_t>().swap(collector.seen);
    std::vector<std::uint32_t>().swap(collector.release_ns);
    std::vector<std::uint32_t>().swap(collector.bus_ns);
}

void on_frame(const ovel_canfd_frame* frame) {
    Collector& c = collector;
    // Taken first, so that the latencies end at the callback's entry; only when they are
    // recorded, so that the throughput runs' callback does no more than it always did.
    const std::uint64_t now = c.latency ? steady_ns() : 0;
    const std::uint64_t sequence = read_u64_le(frame->data);
    if (c.stalled.load(std::memory_order_acquire)) {
        while (c.stalled.load(std::memory_order_acquire)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    if (sequence >= c.frames || frame->channel != c.channels[sequence % c.channels.size()] ||
        frame->echo != c.echo) {
        ++c.wrong;
    } else if (c.compact) {
        if (sequence < c.next) {
            ++c.reordered;
        } else {
            c.lost += sequence - c.next;
            c.next = sequence + 1;
        }
    } else if (c.seen[sequence] != 0) {
        ++c.duplicated;
    } else {
        c.seen[sequence] = 1;
        if (sequence < c.next) {
            ++c.reordered;
        }
        c.next = std::max(c.next, sequence + 1);
        if (c.latency) {
            c.release_ns[sequence] = latency_ns(now, read_u64_le(frame->data + 8));
            c.bus_ns[sequence] = latency_ns(now, read_u64_le(frame->data + 16));
        }
    }
    // Sequentially consistent with wait_for_frames' store of `wanted` and its look at
    // `delivered`, so that at least one side sees the other and the waiter is never left asleep.
    if (c.delivered.fetch_add(1) + 1 == c.wanted.load()) {
        const std::lock_guard lock(c.reached_mutex);
        c.reached.notify_all();
    }
}

bool wait_for_frames(std::uint64_t count, double bound_seconds) {
    Collector& c = collector;
    std::unique_lock lock(c.reached_mutex);
    c.wanted.store(count);
    const bool reached = c.reached.wait_for(lock, std::chrono::duration<double>(bound_seconds),
                                            [&] { return c.delivered.load() >= count; });
    c.wanted.store(UINT64_MAX);
    return reached;
}

std::uint64_t frames_delivered() {
    return collector.delivered.load();
}

void set_stalled(bool stalled) {
    collector.stalled.store(stalled, std::memory_order_release);
}

Delivery delivery() {
    const Collector& c = collector;
    Delivery d;
    d.delivered = c.delivered.load();
    d.duplicated = c.duplicated;
    d.reordered = c.reordered;
    d.wrong = c.wrong;
    d.lost =
        c.compact
            ? c.lost + (c.frames - std::min(c.next, c.frames))
            : c.frames - static_cast<std::uint64_t>(std::count(c.seen.begin(), c.seen.end(), 1));
    return d;
}

Latencies latencies() {
    return Latencies{latency_percentiles(collector.release_ns),
                     latency_percentiles(collector.bus_ns)};
}

}  // namespace ovel::bench
