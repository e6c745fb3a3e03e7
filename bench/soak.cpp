#include "soak.h"

#include <dirent.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "process_stats.h"

namespace ovel::bench {
namespace {

constexpr double RATE_HZ = 2'000;
constexpr std::int32_t FULL_SPEED = 2;
constexpr std::uint32_t FEATURES_FD = 0x103;
constexpr std::uint32_t CAN_CLOCK = 80'000'000;
constexpr std::uint64_t RESIDENT_TOLERANCE = 2u << 20;  // and 5 %

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool RESIDENT_JUDGED = false;
#else
constexpr bool RESIDENT_JUDGED = true;
#endif
// Under AddressSanitizer a control request on the simulated full-speed link can wait for its
// completion far longer than its time-out; the immediate link keeps that build's run short.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool FULL_SPEED_LINK = false;
#else
constexpr bool FULL_SPEED_LINK = true;
#endif

// What the callback saw: the stream numbers its frames from 0 on every new adapter.
std::atomic<std::uint64_t> delivered{0};
std::atomic<std::uint64_t> out_of_order{0};
std::atomic<std::uint64_t> next_expected{0};

void on_soak_frame(const ovel_canfd_frame* frame) {
    std::uint64_t sequence = 0;
    for (int i = 7; i >= 0; --i) {
        sequence = sequence << 8 | frame->data[i];
    }
    // Frames may be lost across an unplug, never repeated or reordered.
    if (frame->echo || sequence < next_expected.load(std::memory_order_relaxed)) {
        out_of_order.fetch_add(1, std::memory_order_relaxed);
    }
    next_expected.store(sequence + 1, std::memory_order_relaxed);
    delivered.fetch_add(1, std::memory_order_relaxed);
}

int count_entries(const char* path) {
    int count = 0;
    if (DIR* dir = opendir(path)) {
        while (const dirent* entry = readdir(dir)) {
            count += entry->d_name[0] != '.';
        }
        closedir(dir);
    }
    return count;
}

struct Footprint {
    std::uint64_t resident = 0;
    int descriptors = 0;
    int threads = 0;
};

Footprint footprint() {
    return {resident_bytes(), count_entries("/proc/self/fd"), count_entries("/proc/self/task")};
}

void print_footprint(const char* when, const Footprint& f) {
    std::printf("soak %-5s resident %7.1f MiB, %3d descriptors, %3d threads\n", when,
                static_cast<double>(f.resident) / (1 << 20), f.descriptors, f.threads);
}

// One cycle; returns what went wrong, or "".
std::string cycle(const Library& l, ovel_canfd_driver* handle, double seconds) {
    if (l.sim_reset() != 0) {
        return "the simulator still has a libusb context open";
    }
    const std::int32_t adapter = l.sim_add_adapter("OVSIM0001", 1, FEATURES_FD, CAN_CLOCK);
    next_expected = 0;
    const std::uint64_t before = delivered.load();
    const auto failed = [&](const char* call) {
        return std::string(call) + ": " + l.get_last_error(handle);
    };
    if (FULL_SPEED_LINK && l.sim_set_link_timing != nullptr) {
        l.sim_set_link_timing(adapter, FULL_SPEED);
    }
    if (l.open(handle) != OVEL_CANFD_OK) {
        return failed("ovel_canfd_open");
    }
    const std::uint8_t channels[] = {0, 1};
    for (std::uint8_t channel : channels) {
        if (l.set_bitrate(handle, channel, 500'000) != OVEL_CANFD_OK ||
            l.set_data_bitrate(handle, channel, 2'000'000) != OVEL_CANFD_OK ||
            l.set_fd(handle, channel, true) != OVEL_CANFD_OK) {
            return failed("channel settings");
        }
        if (l.start(handle, channel) != OVEL_CANFD_OK) {
            return failed("ovel_canfd_start");
        }
    }
    l.sim_start_stream(adapter, 0, channels, 2, true, RATE_HZ);
    const auto phase = std::chrono::duration<double>(seconds / 3);
    std::this_thread::sleep_for(phase);
    for (std::uint8_t channel : channels) {
        if (l.stop(handle, channel) != OVEL_CANFD_OK) {
            return failed("ovel_canfd_stop");
        }
    }
    for (std::uint8_t channel : channels) {
        if (l.start(handle, channel) != OVEL_CANFD_OK) {
            return failed("ovel_canfd_start after a stop");
        }
    }
    const std::uint64_t before_restart = delivered.load();
    std::this_thread::sleep_for(phase * 2);
    const std::uint64_t received_after_restart = delivered.load() - before_restart;
    l.sim_unplug(adapter);
    l.close(handle);
    if (delivered.load() == before || received_after_restart == 0) {
        return "reception did not resume after a stop and start";
    }
    return {};
}

}  // namespace

int run_soak(const Library& l, double minutes) {
    if (l.close == nullptr || l.sim_unplug == nullptr) {
        std::fprintf(stderr, "ovel_bench: %s lacks ovel_canfd_close or ovsim_unplug\n",
                     l.path.c_str());
        return 1;
    }
    const double total = minutes * 60;
    // Short enough for several cycles, long enough for a few thousand frames each.
    const double cycle_seconds = std::clamp(total / 8, 1.0, 10.0);
    name_bench_thread("soak");
    ovel_canfd_driver* handle = l.init();
    if (handle == nullptr) {
        std::fprintf(stderr, "ovel_bench: ovel_canfd_init returned NULL\n");
        return 1;
    }
    l.set_rx_callback(handle, &on_soak_frame);

    std::string error = cycle(l, handle, cycle_seconds);  // warm-up: allocator, first threads
    const Footprint start = footprint();
    const auto begun = std::chrono::steady_clock::now();
    const auto end = begun + std::chrono::duration<double>(std::max(total - cycle_seconds, 0.0));
    int cycles = 1;
    while (error.empty() && (cycles < 3 || std::chrono::steady_clock::now() < end)) {
        error = cycle(l, handle, cycle_seconds);
        ++cycles;
    }
    const Footprint finish = footprint();
    l.deinit(handle);
    l.sim_reset();

    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count();
    std::printf("soak: %d cycles of %.1f s, %llu frames (%.0f/s), unplugged and replugged in "
                "every cycle\n",
                cycles, cycle_seconds, static_cast<unsigned long long>(delivered.load()),
                static_cast<double>(delivered.load()) / (elapsed + cycle_seconds));
    print_footprint("start", start);
    print_footprint("end", finish);
    const std::uint64_t allowed =
        start.resident + std::max<std::uint64_t>(RESIDENT_TOLERANCE, start.resident / 20);
    if (!error.empty()) {
        std::fprintf(stderr, "ovel_bench: FAILED soak: %s\n", error.c_str());
        return 1;
    }
    if (out_of_order.load() != 0) {
        std::fprintf(stderr, "ovel_bench: FAILED soak: %llu frames repeated or out of order\n",
                     static_cast<unsigned long long>(out_of_order.load()));
        return 1;
    }
    if (finish.descriptors > start.descriptors || finish.threads > start.threads) {
        std::fprintf(stderr, "ovel_bench: FAILED soak: descriptors or threads grew\n");
        return 1;
    }
    if (finish.resident > allowed) {
        if (RESIDENT_JUDGED) {
            std::fprintf(stderr, "ovel_bench: FAILED soak: the resident size grew\n");
            return 1;
        }
        std::printf("soak: resident size not judged under a sanitizer\n");
    }
    return 0;
}

}  // namespace ovel::bench
