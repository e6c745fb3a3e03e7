#include "transmit.h"

#include <time.h>

#include <ovsim/sim.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <string>
#include <thread>
#include <vector>

#include "collector.h"
#include "statistics.h"

namespace ovel::bench {
namespace {

using Clock = std::chrono::steady_clock;

const std::vector<std::uint8_t> CHANNEL_0 = {0};

// A classic frame on channel 0 carrying its sequence number, as the stream's frames do.
ovel_canfd_frame numbered_frame(std::uint64_t sequence) {
    ovel_canfd_frame frame{};
    frame.channel = 0;
    frame.id = 0x123;
    frame.dlc = 8;
    for (int i = 0; i < 8; ++i) {
        frame.data[i] = static_cast<std::uint8_t>(sequence >> (8 * i));
    }
    return frame;
}

// An FD frame with bit-rate switch and 64 data bytes, numbered in its first 8 as above.
ovel_canfd_frame numbered_fd_frame(std::uint64_t sequence) {
    ovel_canfd_frame frame = numbered_frame(sequence);
    frame.dlc = 15;
    frame.fd = true;
    frame.brs = true;
    return frame;
}

std::uint64_t sequence_of(const ovel_canfd_frame* frame) {
    std::uint64_t value = 0;
    for (int i = 7; i >= 0; --i) {
        value = (value << 8) | frame->data[i];
    }
    return value;
}

// The queued runs' echoes: the send id each sequence number's echo carried (written by the
// dispatch thread, read once the session is closed) and when the last one came.
struct EchoLog {
    std::vector<std::uint32_t> send_ids;
    std::atomic<std::int64_t> last_ns{0};
};
EchoLog echo_log;

std::int64_t steady_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               Clock::now().time_since_epoch())
        .count();
}

void OVEL_CANFD_CALL on_echo(const ovel_canfd_frame* frame, const ovel_canfd_rx_info* info,
                             void*) {
    const std::uint64_t sequence = sequence_of(frame);
    if (sequence < echo_log.send_ids.size() &&
        info->size > offsetof(ovel_canfd_rx_info, send_id)) {
        echo_log.send_ids[sequence] = info->send_id;
    }
    // Before the collector counts it, so that the waiter that sees the count sees the time too.
    echo_log.last_ns.store(steady_ns(), std::memory_order_relaxed);
    on_frame(frame);
}

void sleep_until(Clock::time_point when) {
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(when.time_since_epoch());
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(ns.count() / 1'000'000'000);
    ts.tv_nsec = static_cast<long>(ns.count() % 1'000'000'000);
    // steady_clock is CLOCK_MONOTONIC.
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

// Sends `calls` numbered frames, each when due (rate 0: back to back), and waits for every
// echo. Fills the CPU, rate and per-call figures.
Figures send(const Library& library, LinkTiming timing, double rate_hz, std::uint64_t calls) {
    Figures f;
    prepare_collector({.channels = CHANNEL_0, .frames = calls, .echo = true});
    std::vector<double> call_us;
    call_us.reserve(calls);
    {
        Session session(library, CHANNEL_0, false, timing);
        if (!session.ok()) {
            return f.fail(session.error());
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const ProcessSample start = sample_start();
        const Clock::time_point first_due = Clock::now();
        Clock::time_point last_return = first_due;
        for (std::uint64_t k = 0; k < calls; ++k) {
            if (rate_hz > 0) {
                sleep_until(first_due +
                            std::chrono::duration_cast<Clock::duration>(
                                std::chrono::duration<double>(static_cast<double>(k) / rate_hz)));
            }
            const ovel_canfd_frame frame = numbered_frame(k);
            const Clock::time_point before = Clock::now();
            if (library.transmit(session.handle(), &frame) != OVEL_CANFD_OK) {
                return f.fail("transmit " + std::to_string(k) + ": " +
                              library.get_last_error(session.handle()));
            }
            last_return = Clock::now();
            call_us.push_back(
                std::chrono::duration<double, std::micro>(last_return - before).count());
        }
        // Every transmitted frame comes back once as an echo, in order.
        if (!wait_for_frames(calls, 60)) {
            f.fail("timed out waiting for the echoes");
        }
        const Usage usage = usage_between(start, sample_end());
        put_usage(f, usage);
        f[Column::CpuUsPerFrame] = usage.process_cpu_seconds * 1e6 / static_cast<double>(calls);
        const double sending = std::chrono::duration<double>(last_return - first_due).count();
        f[Column::Achieved] = static_cast<double>(calls) / sending;
    }
    put_delivery(f, delivery(), calls);
    // Sorted in place: a copy per percentile set off a false -Wfree-nonheap-object in GCC 12's
    // ThreadSanitizer build.
    std::sort(call_us.begin(), call_us.end());
    const auto at = [&call_us](double fraction) {
        return call_us.empty() ? 0.0
                               : call_us[static_cast<std::size_t>(
                                     fraction * static_cast<double>(call_us.size() - 1))];
    };
    f[Column::CallP50] = at(0.50);
    f[Column::CallP99] = at(0.99);
    release_collector();
    return f;
}

Figures bus_paced(const Library& library, LinkTiming timing, bool queued, std::uint64_t calls) {
    Figures f;
    if (library.sim_set_bus_timing == nullptr || (queued && library.send == nullptr)) {
        return f.fail("no queued sends or bus timing in this library");
    }
    prepare_collector({.channels = CHANNEL_0, .frames = calls, .echo = true});
    {
        Session session(library, CHANNEL_0, false, timing);
        if (!session.ok()) {
            return f.fail(session.error());
        }
        library.sim_set_bus_timing(session.adapter(), 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const ProcessSample start = sample_start();
        const Clock::time_point first = Clock::now();
        for (std::uint64_t k = 0; k < calls; ++k) {
            const ovel_canfd_frame frame = numbered_frame(k);
            const std::int32_t code =
                queued ? library.send(session.handle(), &frame, 10'000, nullptr)
                       : library.transmit(session.handle(), &frame);
            if (code != OVEL_CANFD_OK) {
                return f.fail(std::string(queued ? "send " : "transmit ") + std::to_string(k) +
                              ": " + library.get_last_error(session.handle()));
            }
        }
        if (!wait_for_frames(calls, 60)) {
            f.fail("timed out waiting for the echoes");
        }
        const double seconds = std::chrono::duration<double>(Clock::now() - first).count();
        put_usage(f, usage_between(start, sample_end()));
        f[Column::Achieved] = static_cast<double>(calls) / seconds;
    }
    put_delivery(f, delivery(), calls);
    release_collector();
    return f;
}

Figures queued(const Library& library, const QueuedLoad& load) {
    Figures f;
    if (library.send == nullptr || library.set_rx_handler == nullptr ||
        (load.bus_timing && library.sim_set_bus_timing == nullptr)) {
        return f.fail("no queued sends or bus timing in this library");
    }
    const std::uint64_t calls = load.calls;
    prepare_collector({.channels = CHANNEL_0, .frames = calls, .echo = true});
    echo_log.send_ids.assign(calls, 0);
    echo_log.last_ns.store(0);
    std::vector<std::uint32_t> sent_ids(calls, 0);
    {
        Session session(library, CHANNEL_0, load.fd, load.timing, load.bitrate,
                        load.data_bitrate);
        if (!session.ok()) {
            return f.fail(session.error());
        }
        library.set_rx_handler(session.handle(), &on_echo, nullptr);
        if (load.window != 0 &&
            (library.set_send_window == nullptr ||
             library.set_send_window(session.handle(), 0, load.window) != OVEL_CANFD_OK)) {
            return f.fail("cannot set the send window");
        }
        if (load.bus_timing) {
            library.sim_set_bus_timing(session.adapter(), 1);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const ProcessSample start = sample_start();
        const Clock::time_point first = Clock::now();
        for (std::uint64_t k = 0; k < calls; ++k) {
            if (load.rate_hz > 0) {
                sleep_until(first + std::chrono::duration_cast<Clock::duration>(
                                        std::chrono::duration<double>(static_cast<double>(k) /
                                                                      load.rate_hz)));
            }
            const ovel_canfd_frame frame = load.fd ? numbered_fd_frame(k) : numbered_frame(k);
            if (library.send(session.handle(), &frame, 10'000, &sent_ids[k]) != OVEL_CANFD_OK) {
                return f.fail("send " + std::to_string(k) + ": " +
                              library.get_last_error(session.handle()));
            }
        }
        const Clock::time_point last_return = Clock::now();
        if (!wait_for_frames(calls, 60)) {
            f.fail("timed out waiting for the echoes");
        }
        const Usage usage = usage_between(start, sample_end());
        put_usage(f, usage);
        f[Column::CpuUsPerFrame] = usage.process_cpu_seconds * 1e6 / static_cast<double>(calls);
        const double first_ns = static_cast<double>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(first.time_since_epoch())
                .count());
        const double last_echo_ns = static_cast<double>(echo_log.last_ns.load());
        f[Column::Achieved] = static_cast<double>(calls) / ((last_echo_ns - first_ns) / 1e9);
        f[Column::Value] = static_cast<double>(calls) /
                           std::chrono::duration<double>(last_return - first).count();
    }
    put_delivery(f, delivery(), calls);
    std::uint64_t matched = 0;
    std::uint64_t not_increasing = 0;
    for (std::uint64_t k = 0; k < calls; ++k) {
        matched += sent_ids[k] != 0 && echo_log.send_ids[k] == sent_ids[k] ? 1 : 0;
        not_increasing += k > 0 && sent_ids[k] <= sent_ids[k - 1] ? 1 : 0;
    }
    if (not_increasing > 0) {
        f.fail(std::to_string(not_increasing) + " send ids not above the one before");
    }
    f[Column::Matched] = static_cast<double>(matched);
    f[Column::Unmatched] = static_cast<double>(calls - matched);
    if (matched != calls) {
        f.fail(std::to_string(calls - matched) + " echoes without their send's id");
    }
    std::vector<std::uint32_t>().swap(echo_log.send_ids);
    release_collector();
    return f;
}

}  // namespace

Figures transmit_queued(const Library& library, const QueuedLoad& load) {
    return queued(library, load);
}

double bus_frames_per_second(bool fd, std::uint32_t bitrate, std::uint32_t data_bitrate) {
    // A host frame as the adapter reads it: echo id, CAN id, DLC, channel, flags, reserved, data.
    std::vector<std::uint8_t> host_frame(12 + (fd ? 64 : 8), 0);
    host_frame[4] = 0x23;
    host_frame[5] = 0x01;
    host_frame[8] = fd ? 15 : 8;
    host_frame[10] = fd ? ovsim::FRAME_FLAG_FD | ovsim::FRAME_FLAG_BRS : 0;
    const auto on_bus = ovsim::frame_time_on_bus(host_frame, bitrate, data_bitrate);
    return on_bus.count() > 0 ? 1e9 / static_cast<double>(on_bus.count()) : 0;
}

Figures transmit_bus_paced(const Library& library, LinkTiming timing, bool queued,
                           std::uint64_t calls) {
    return bus_paced(library, timing, queued, calls);
}

Figures transmit_back_to_back(const Library& library, std::uint64_t calls) {
    return send(library, LinkTiming::Immediate, 0, calls);
}

Figures transmit_at_rate(const Library& library, LinkTiming timing, double rate_hz,
                         std::uint64_t calls) {
    return send(library, timing, rate_hz, calls);
}

}  // namespace ovel::bench
