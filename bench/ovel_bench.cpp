// Measures the library's receive and transmit paths through the C API against the simulated
// adapter and prints one table. Every receive run counts every frame and checks its order: a run
// that loses, duplicates or reorders a frame is reported as FAILED and the program exits with 1.
//
//   ovel_bench [--runs N] [--only PART] [--smoke] [--callgrind]
//     --runs N     repeat each measurement N times and print the median (default 5)
//     --only PART  one part of the table: rx, latency, tx, idle or memory
//     --smoke      a few seconds in all: each measurement briefly, for CI
//     --callgrind  only one receive run, for valgrind --tool=callgrind (scripts/bench-callgrind.sh)
#include <ovsim/sim.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ovelcanfd.h"
#include "process_stats.h"
#include "sim_baseline.h"

namespace ovel::bench {
namespace {

using Clock = std::chrono::steady_clock;

struct Sizes {
    int runs = 5;
    std::uint64_t throughput_frames = 4'000'000;
    std::uint64_t latency_frames = 60'000;  // 3 s at 20,000 frames/s
    std::uint64_t transmit_calls = 200'000;
    double idle_seconds = 10;
    std::uint64_t rss_small = 100'000;
    std::uint64_t rss_large = 10'000'000;
    std::uint64_t stalled_frames = 1'000'000;
};

Sizes smoke_sizes() {
    Sizes sizes;
    sizes.runs = 1;
    sizes.throughput_frames = 50'000;
    sizes.latency_frames = 4'000;
    sizes.transmit_calls = 5'000;
    sizes.idle_seconds = 0.5;
    sizes.rss_small = 10'000;
    sizes.rss_large = 100'000;
    sizes.stalled_frames = 20'000;
    return sizes;
}

// What the receive callback checks and records. The callback has no user pointer, so this is
// global; it is reset between runs while no channel is started.
struct Collector {
    std::vector<std::uint8_t> channels;  // channel of frame k: channels[k % size]
    bool expect_echo = false;            // transmit runs: only echoes of our frames arrive
    std::atomic<std::uint64_t> delivered{0};
    // The waiting main thread sleeps until the callback reaches this count, rather than waking
    // to look: its wake-ups would land on the cores whose latency is being measured.
    std::atomic<std::uint64_t> wanted{UINT64_MAX};
    std::mutex reached_mutex;
    std::condition_variable reached;
    std::atomic<std::uint64_t> faults{0};   // lost, duplicated, reordered or wrong frames
    std::uint64_t next = 0;                 // next expected sequence number (dispatch thread)
    std::vector<std::uint32_t> latency_ns;  // by sequence number, when recording
    bool record_latency = false;
    std::atomic<bool> stalled{false};  // the callback waits while set
    std::atomic<bool> in_stall{false};
};

Collector collector;

std::uint64_t read_u64_le(const std::uint8_t* bytes) {
    std::uint64_t value = 0;
    for (int i = 7; i >= 0; --i) {
        value = (value << 8) | bytes[i];
    }
    return value;
}

void on_frame(const ovel_canfd_frame* frame) {
    Collector& c = collector;
    if (c.record_latency) {
        // Taken first, so that the figure ends at the callback's entry.
        const auto now = static_cast<std::uint64_t>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
                .count());
        const std::uint64_t sequence = read_u64_le(frame->data);
        if (sequence < c.latency_ns.size()) {
            const std::uint64_t completed = read_u64_le(frame->data + 8);
            c.latency_ns[sequence] =
                static_cast<std::uint32_t>(std::min<std::uint64_t>(now - completed, UINT32_MAX));
        }
    }
    if (c.stalled.load(std::memory_order_acquire)) {
        c.in_stall.store(true, std::memory_order_release);
        while (c.stalled.load(std::memory_order_acquire)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    const std::uint64_t sequence = read_u64_le(frame->data);
    const std::uint8_t channel = c.channels.empty() ? 0 : c.channels[sequence % c.channels.size()];
    if (sequence != c.next || frame->channel != channel || frame->echo != c.expect_echo) {
        c.faults.fetch_add(1, std::memory_order_relaxed);
    }
    c.next = sequence + 1;
    // Sequentially consistent with wait_for's store of `wanted` and its look at `delivered`, so
    // that at least one side sees the other and the waiter is never left asleep.
    if (c.delivered.fetch_add(1) + 1 == c.wanted.load()) {
        const std::lock_guard lock(c.reached_mutex);
        c.reached.notify_all();
    }
}

void reset_collector(const std::vector<std::uint8_t>& channels) {
    collector.channels = channels;
    collector.expect_echo = false;
    collector.delivered.store(0);
    collector.faults.store(0);
    collector.next = 0;
    collector.latency_ns.clear();
    collector.record_latency = false;
    collector.stalled.store(false);
    collector.in_stall.store(false);
}

bool wait_for(std::uint64_t delivered, double bound_seconds) {
    const auto bound = std::chrono::duration<double>(bound_seconds);
    std::unique_lock lock(collector.reached_mutex);
    collector.wanted.store(delivered);
    const bool reached = collector.reached.wait_for(
        lock, bound, [&] { return collector.delivered.load() >= delivered; });
    collector.wanted.store(UINT64_MAX);
    return reached;
}

// One open adapter with the given channels started and the collector as callback.
class Session {
  public:
    Session(const std::vector<std::uint8_t>& channels, bool fd) {
        ovsim::reset();
        adapter_ = &ovsim::add_adapter();
        handle_ = ovel_canfd_init();
        ok_ = handle_ != nullptr && ovel_canfd_open(handle_) == OVEL_CANFD_OK &&
              ovel_canfd_set_rx_callback(handle_, &on_frame) == OVEL_CANFD_OK;
        for (std::uint8_t channel : channels) {
            ok_ = ok_ && ovel_canfd_set_bitrate(handle_, channel, 500'000) == OVEL_CANFD_OK;
            if (fd) {
                ok_ = ok_ && ovel_canfd_set_data_bitrate(handle_, channel, 2'000'000) == 0 &&
                      ovel_canfd_set_fd(handle_, channel, true) == OVEL_CANFD_OK;
            }
            ok_ = ok_ && ovel_canfd_start(handle_, channel) == OVEL_CANFD_OK;
        }
        if (!ok_) {
            std::fprintf(stderr, "ovel_bench: setting up the adapter failed: %s\n",
                         ovel_canfd_get_last_error(handle_));
        }
    }
    ~Session() {
        ovel_canfd_deinit(handle_);
        ovsim::reset();
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    bool ok() const { return ok_; }
    ovsim::Adapter& adapter() { return *adapter_; }
    ovel_canfd_driver* handle() { return handle_; }

  private:
    ovsim::Adapter* adapter_ = nullptr;
    ovel_canfd_driver* handle_ = nullptr;
    bool ok_ = false;
};

// Streams `spec` from the session's adapter and waits for every frame, timing the whole run.
struct StreamCost {
    bool complete = false;
    double wall_seconds = 0, cpu_seconds = 0;
};

StreamCost run_stream(Session& session, const ovsim::StreamSpec& spec, double bound_seconds) {
    const double cpu_before = process_cpu_seconds();
    const auto started = Clock::now();
    session.adapter().start_stream(spec);
    StreamCost cost;
    cost.complete = wait_for(spec.count, bound_seconds);
    cost.wall_seconds = std::chrono::duration<double>(Clock::now() - started).count();
    cost.cpu_seconds = process_cpu_seconds() - cpu_before;
    return cost;
}

bool failed = false;

void report_failure(const char* what, std::uint64_t expected) {
    std::fprintf(stderr, "ovel_bench: FAILED %s: %llu of %llu frames delivered, %llu faults\n",
                 what, static_cast<unsigned long long>(collector.delivered.load()),
                 static_cast<unsigned long long>(expected),
                 static_cast<unsigned long long>(collector.faults.load()));
    failed = true;
}

bool delivered_exactly(std::uint64_t frames) {
    return collector.delivered.load() == frames && collector.faults.load() == 0;
}

double median(std::vector<double> values) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

template <class T>
double percentile(std::vector<T> values, double fraction) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const auto index = static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1));
    return static_cast<double>(values[index]);
}

// ---- receive throughput and CPU ------------------------------------------------------------

struct RxFigures {
    double frames_per_second = 0;
    double cpu_per_million = 0;      // process CPU seconds per million frames, simulator included
    double sim_cpu_per_million = 0;  // the simulator's own share, measured without the library
    double sim_ns_per_frame = 0;
};

RxFigures receive_run(std::uint64_t frames, const std::vector<std::uint8_t>& channels, bool fd,
                      const char* name, bool with_simulator_alone = true) {
    RxFigures figures;
    reset_collector(channels);
    {
        Session session(channels, fd);
        if (!session.ok()) {
            failed = true;
            return figures;
        }
        const StreamCost cost =
            run_stream(session, ovsim::StreamSpec{frames, channels, fd, 0}, 120);
        if (!cost.complete || !delivered_exactly(frames)) {
            report_failure(name, frames);
            return figures;
        }
        figures.frames_per_second = static_cast<double>(frames) / cost.wall_seconds;
        figures.cpu_per_million = cost.cpu_seconds / (static_cast<double>(frames) / 1e6);
    }
    if (!with_simulator_alone) {
        return figures;
    }
    const SimCost sim = measure_simulator(frames, channels, fd);
    if (sim.frames == frames) {
        figures.sim_cpu_per_million = sim.cpu_seconds / (static_cast<double>(frames) / 1e6);
        figures.sim_ns_per_frame = sim.wall_seconds / static_cast<double>(frames) * 1e9;
    }
    return figures;
}

// ---- receive latency --------------------------------------------------------------------

struct LatencyFigures {
    double p50_us = 0, p99_us = 0, max_us = 0;
    double cores = 0;  // process CPU time over wall time while the stream ran
};

LatencyFigures latency_run(std::uint64_t frames) {
    LatencyFigures figures;
    const std::vector<std::uint8_t> channels = {0, 1};
    reset_collector(channels);
    collector.latency_ns.assign(frames, 0);
    collector.record_latency = true;
    Session session(channels, true);
    if (!session.ok()) {
        failed = true;
        return figures;
    }
    const StreamCost cost = run_stream(session, ovsim::StreamSpec{frames, channels, true, 20'000},
                                       static_cast<double>(frames) / 20'000 + 30);
    figures.cores = cost.cpu_seconds / cost.wall_seconds;
    if (!cost.complete || !delivered_exactly(frames)) {
        report_failure("latency run", frames);
        return figures;
    }
    // The first frames also pay for the threads' first wake-ups and page faults.
    std::vector<std::uint32_t> steady(
        collector.latency_ns.begin() + static_cast<std::ptrdiff_t>(frames / 100),
        collector.latency_ns.end());
    figures.p50_us = percentile(steady, 0.50) / 1000;
    figures.p99_us = percentile(steady, 0.99) / 1000;
    figures.max_us = percentile(steady, 1.0) / 1000;
    return figures;
}

// ---- transmit ----------------------------------------------------------------------------

struct TxFigures {
    double calls_per_second = 0, p50_us = 0, p99_us = 0;
};

TxFigures transmit_run(std::uint64_t calls) {
    TxFigures figures;
    const std::vector<std::uint8_t> channels = {0};
    reset_collector(channels);
    collector.expect_echo = true;
    Session session(channels, false);
    if (!session.ok()) {
        failed = true;
        return figures;
    }
    std::vector<std::uint32_t> call_ns(calls);
    ovel_canfd_frame frame{};
    frame.channel = 0;
    frame.id = 0x123;
    frame.dlc = 8;
    const auto started = Clock::now();
    auto before = started;
    for (std::uint64_t k = 0; k < calls; ++k) {
        for (int i = 0; i < 8; ++i) {
            frame.data[i] = static_cast<std::uint8_t>(k >> (8 * i));
        }
        if (ovel_canfd_transmit(session.handle(), &frame) != OVEL_CANFD_OK) {
            std::fprintf(stderr, "ovel_bench: FAILED transmit %llu: %s\n",
                         static_cast<unsigned long long>(k),
                         ovel_canfd_get_last_error(session.handle()));
            failed = true;
            return figures;
        }
        const auto after = Clock::now();
        call_ns[k] = static_cast<std::uint32_t>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(after - before).count());
        before = after;
    }
    const double wall = std::chrono::duration<double>(before - started).count();
    // Every transmitted frame comes back once as an echo, in order.
    if (!wait_for(calls, 60) || !delivered_exactly(calls)) {
        report_failure("transmit echoes", calls);
        return figures;
    }
    figures.calls_per_second = static_cast<double>(calls) / wall;
    figures.p50_us = percentile(call_ns, 0.50) / 1000;
    figures.p99_us = percentile(call_ns, 0.99) / 1000;
    return figures;
}

// ---- idle CPU -------------------------------------------------------------------------

double idle_cpu_run(double seconds) {
    reset_collector({0, 1});
    Session session({0, 1}, true);
    if (!session.ok()) {
        failed = true;
        return 0;
    }
    // Let both threads reach their blocking waits before the clock starts.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const double cpu_before = process_cpu_seconds();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    return process_cpu_seconds() - cpu_before;
}

// ---- memory -------------------------------------------------------------------------

struct MemoryFigures {
    double peak_small_mib = 0, peak_large_mib = 0;
    double bytes_per_stalled_frame = 0;
};

MemoryFigures memory_run(const Sizes& sizes) {
    MemoryFigures figures;
    const std::vector<std::uint8_t> channels = {0, 1};
    {
        reset_collector(channels);
        Session session(channels, true);
        if (!session.ok()) {
            failed = true;
            return figures;
        }
        session.adapter().start_stream(ovsim::StreamSpec{sizes.rss_large, channels, true, 0});
        if (!wait_for(sizes.rss_small, 60)) {
            report_failure("memory run", sizes.rss_small);
            return figures;
        }
        figures.peak_small_mib = static_cast<double>(peak_resident_bytes()) / (1 << 20);
        if (!wait_for(sizes.rss_large, 300) || !delivered_exactly(sizes.rss_large)) {
            report_failure("memory run", sizes.rss_large);
            return figures;
        }
        figures.peak_large_mib = static_cast<double>(peak_resident_bytes()) / (1 << 20);
    }
    {
        // The callback stalls on the first frame; everything after it waits in the queue.
        const std::uint64_t frames = sizes.stalled_frames;
        reset_collector(channels);
        collector.stalled.store(true);
        Session session(channels, true);
        if (!session.ok()) {
            failed = true;
            return figures;
        }
        const std::uint64_t rss_before = resident_bytes();
        session.adapter().start_stream(ovsim::StreamSpec{frames, channels, true, 0});
        const auto deadline = Clock::now() + std::chrono::seconds(60);
        // All frames are queued once the stream is done and every transfer waits again.
        while (session.adapter().streamed() < frames ||
               session.adapter().in_transfers_pending() < 32) {
            if (Clock::now() > deadline) {
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        const std::uint64_t rss_after = resident_bytes();
        figures.bytes_per_stalled_frame =
            static_cast<double>(rss_after - std::min(rss_after, rss_before)) /
            static_cast<double>(frames);
        collector.stalled.store(false);
        if (!wait_for(frames, 60) || !delivered_exactly(frames)) {
            report_failure("stalled callback run", frames);
        }
    }
    return figures;
}

// ---- the table ---------------------------------------------------------------------------

struct RxCase {
    const char* name;
    std::vector<std::uint8_t> channels;
    bool fd;
};

const std::vector<RxCase>& rx_cases() {
    static const std::vector<RxCase> cases = {
        {"1 channel, classic (20-byte)", {0}, false},
        {"2 channels interleaved, classic (20-byte)", {0, 1}, false},
        {"1 channel, FD (76-byte)", {0}, true},
        {"2 channels interleaved, FD (76-byte)", {0, 1}, true},
    };
    return cases;
}

void run_all(const Sizes& sizes, bool smoke, const std::string& only) {
    auto wanted = [&](const char* part) { return only.empty() || only == part; };
    const int runs = sizes.runs;
    std::printf("ovel_bench: %u cores, %d run(s) per figure (median)%s\n\n",
                std::thread::hardware_concurrency(), runs, smoke ? ", smoke pass" : "");
    std::printf("| measurement | figure |\n|---|---|\n");

    for (const RxCase& c : rx_cases()) {
        if (!wanted("rx")) {
            break;
        }
        std::vector<double> rate, cpu, sim_cpu, sim_ns;
        for (int run = 0; run < runs; ++run) {
            const RxFigures f = receive_run(sizes.throughput_frames, c.channels, c.fd, c.name);
            rate.push_back(f.frames_per_second);
            cpu.push_back(f.cpu_per_million);
            sim_cpu.push_back(f.sim_cpu_per_million);
            sim_ns.push_back(f.sim_ns_per_frame);
        }
        std::printf("| receive, %s | %.2f M frames/s |\n", c.name, median(rate) / 1e6);
        std::printf(
            "| CPU per million received frames, %s | %.3f s (simulator alone: %.3f s, "
            "%.0f ns/frame) |\n",
            c.name, median(cpu), median(sim_cpu), median(sim_ns));
    }

    std::vector<double> p50, p99, max, cores;
    for (int run = 0; run < runs && wanted("latency"); ++run) {
        const LatencyFigures f = latency_run(sizes.latency_frames);
        cores.push_back(f.cores);
        p50.push_back(f.p50_us);
        p99.push_back(f.p99_us);
        max.push_back(f.max_us);
    }
    if (wanted("latency")) {
        std::printf(
            "| receive latency at 20,000 frames/s (completion to callback), p50 / p99 / max "
            "| %.1f / %.1f / %.1f us |\n",
            median(p50), median(p99), median(max));
        std::printf("| CPU while receiving 20,000 frames/s | %.0f %% of a core |\n",
                    median(cores) * 100);
    }

    std::vector<double> tx_rate, tx_p50, tx_p99;
    for (int run = 0; run < runs && wanted("tx"); ++run) {
        const TxFigures f = transmit_run(sizes.transmit_calls);
        tx_rate.push_back(f.calls_per_second);
        tx_p50.push_back(f.p50_us);
        tx_p99.push_back(f.p99_us);
    }
    if (wanted("tx")) {
        std::printf("| transmit, back-to-back ovel_canfd_transmit | %.0f k calls/s |\n",
                    median(tx_rate) / 1e3);
        std::printf("| transmit, per-call latency p50 / p99 | %.1f / %.1f us |\n", median(tx_p50),
                    median(tx_p99));
    }

    if (wanted("idle")) {
        const double idle = idle_cpu_run(sizes.idle_seconds);
        std::printf(
            "| CPU over %.1f s, two channels started, silent bus | %.3f s (%.2f %% of a core) |\n",
            sizes.idle_seconds, idle, idle / sizes.idle_seconds * 100);
    }
    if (!wanted("memory")) {
        return;
    }

    const MemoryFigures memory = memory_run(sizes);
    std::printf("| peak RSS after %llu received frames (callback keeps up) | %.1f MiB |\n",
                static_cast<unsigned long long>(sizes.rss_small), memory.peak_small_mib);
    std::printf("| peak RSS after %llu received frames (callback keeps up) | %.1f MiB |\n",
                static_cast<unsigned long long>(sizes.rss_large), memory.peak_large_mib);
    std::printf("| memory growth per queued frame, stalled callback (%llu frames) | %.1f bytes |\n",
                static_cast<unsigned long long>(sizes.stalled_frames),
                memory.bytes_per_stalled_frame);
}

}  // namespace
}  // namespace ovel::bench

int main(int argc, char** argv) {
    using namespace ovel::bench;
    bool smoke = false;
    bool callgrind = false;
    int runs = 0;
    std::string only;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--smoke") {
            smoke = true;
        } else if (arg == "--callgrind") {
            callgrind = true;
        } else if (arg == "--only" && i + 1 < argc) {
            only = argv[++i];
        } else if (arg == "--runs" && i + 1 < argc) {
            runs = std::atoi(argv[++i]);
        } else {
            std::fprintf(stderr, "usage: %s [--runs N] [--only PART] [--smoke] [--callgrind]\n",
                         argv[0]);
            return 2;
        }
    }
    Sizes sizes = smoke ? smoke_sizes() : Sizes{};
    if (runs > 0) {
        sizes.runs = runs;
    }
    if (callgrind) {
        // Classic frames on one channel: the library's per-frame work with the least copying.
        const std::uint64_t frames = 200'000;
        const RxFigures f = receive_run(frames, {0}, false, "callgrind run", false);
        std::printf("callgrind run: %llu frames received, %.2f M frames/s under valgrind\n",
                    static_cast<unsigned long long>(frames), f.frames_per_second / 1e6);
    } else {
        run_all(sizes, smoke, only);
    }
    if (failed) {
        std::fprintf(stderr, "ovel_bench: FAILED: a run lost, duplicated or reordered frames\n");
        return 1;
    }
    return 0;
}
