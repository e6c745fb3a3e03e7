#include "floor.h"

#include <linux/futex.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <thread>
#include <vector>

namespace ovel::bench {
namespace {

using Ns = std::uint64_t;

Ns now_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);  // std::chrono::steady_clock's clock
    return static_cast<Ns>(ts.tv_sec) * 1'000'000'000u + static_cast<Ns>(ts.tv_nsec);
}

void sleep_until_ns(Ns when) {
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(when / 1'000'000'000u);
    ts.tv_nsec = static_cast<long>(when % 1'000'000'000u);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t) &&
              std::atomic<std::uint32_t>::is_always_lock_free);

// A plain futex on the counter's word, without the spinning and yielding that
// std::atomic::wait adds: the least a thread that sleeps for each frame can do.
void futex_wait(std::atomic<std::uint32_t>& word, std::uint32_t expected) {
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAIT_PRIVATE, expected,
            nullptr, nullptr, 0);
}

void futex_wake_one(std::atomic<std::uint32_t>& word) {
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAKE_PRIVATE, 1, nullptr,
            nullptr, 0);
}

// The calling thread's CPU seconds and voluntary context switches so far. The threads read
// their own, since they end before the measured period's last sample.
struct ThreadUse {
    double cpu_seconds = 0;
    double voluntary_switches = 0;
};

ThreadUse this_thread_use() {
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return ThreadUse{
        static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
            static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6,
        static_cast<double>(usage.ru_nvcsw)};
}

struct Handover {
    Ns start = 0, period = 0;
    std::uint32_t frames = 0;
    std::atomic<std::uint32_t> published{0};         // frames handed over so far
    std::atomic<std::uint32_t> sleeping{0};          // the consumer is (about to be) in futex_wait
    std::vector<Ns> published_at;                    // by sequence, written before publication
    std::vector<std::uint32_t> due_ns, handover_ns;  // consumer's, by sequence
    ThreadUse producer_used, consumer_used;          // from their first wait to their end

    Ns due(std::uint32_t k) const { return start + k * period; }
};

void produce(Handover& h) {
    name_bench_thread("producer");
    const ThreadUse start = this_thread_use();
    for (std::uint32_t k = 0; k < h.frames; ++k) {
        sleep_until_ns(h.due(k));
        h.published_at[k] = now_ns();
        // Sequentially consistent with the consumer's store of `sleeping` and its second look
        // at `published`: one of the two sides sees the other, so no frame is left unseen.
        h.published.store(k + 1);
        if (h.sleeping.load() != 0) {
            futex_wake_one(h.published);
        }
    }
    const ThreadUse end = this_thread_use();
    h.producer_used = {end.cpu_seconds - start.cpu_seconds,
                       end.voluntary_switches - start.voluntary_switches};
}

void consume(Handover& h) {
    name_bench_thread("consumer");
    const ThreadUse start = this_thread_use();
    std::uint32_t seen = 0;
    while (seen < h.frames) {
        const std::uint32_t published = h.published.load();
        if (published == seen) {
            h.sleeping.store(1);
            if (h.published.load() == seen) {
                futex_wait(h.published, seen);
            }
            h.sleeping.store(0);
            continue;
        }
        const Ns now = now_ns();
        for (; seen < published; ++seen) {
            h.due_ns[seen] = latency_ns(now, h.due(seen));
            h.handover_ns[seen] = latency_ns(now, h.published_at[seen]);
        }
    }
    const ThreadUse end = this_thread_use();
    h.consumer_used = {end.cpu_seconds - start.cpu_seconds,
                       end.voluntary_switches - start.voluntary_switches};
}

}  // namespace

Figures measure_floor(double rate_hz, std::uint64_t frames) {
    Figures figures;
    if (rate_hz <= 0 || frames == 0 || frames > UINT32_MAX) {
        return figures.fail("the floor needs a rate and at most 2^32 - 1 frames");
    }
    Handover h;
    h.frames = static_cast<std::uint32_t>(frames);
    h.period = static_cast<Ns>(1e9 / rate_hz);
    h.published_at.assign(frames, 0);
    h.due_ns.assign(frames, NO_TIME);
    h.handover_ns.assign(frames, NO_TIME);
    // Both threads are started and asleep before the first frame is due.
    constexpr Ns LEAD = 20'000'000;
    h.start = now_ns() + LEAD;
    std::thread consumer(consume, std::ref(h));
    std::thread producer(produce, std::ref(h));
    sleep_until_ns(h.start - LEAD / 4);
    const ProcessSample start = sample_start();
    producer.join();
    consumer.join();
    Usage usage = usage_between(start, sample_end());
    constexpr int APP = static_cast<int>(ThreadRole::App);
    usage.cpu_seconds[APP] += h.producer_used.cpu_seconds + h.consumer_used.cpu_seconds;
    usage.wakeups[APP] += h.producer_used.voluntary_switches + h.consumer_used.voluntary_switches;
    put_usage(figures, usage);
    figures[Column::Achieved] = static_cast<double>(frames) / usage.wall_seconds;
    put_percentiles(figures, Column::BusP50, latency_percentiles(h.due_ns));
    put_percentiles(figures, Column::ReleaseP50, latency_percentiles(h.handover_ns));
    return figures;
}

Figures measure_wake_handover(std::uint32_t round_trips) {
    Figures figures;
    if (round_trips == 0) {
        return figures.fail("the hand-over needs at least one round trip");
    }
    // Odd values are the ball in the other thread's court; each side sleeps until it changes.
    std::atomic<std::uint32_t> ball{0};
    auto wait_while = [&](std::uint32_t value) {
        while (ball.load() == value) {
            futex_wait(ball, value);
        }
    };
    auto hit = [&](std::uint32_t value) {
        ball.store(value);
        futex_wake_one(ball);
    };
    std::thread other([&] {
        name_bench_thread("handover");
        for (std::uint32_t k = 0; k < round_trips; ++k) {
            wait_while(2 * k);
            hit(2 * k + 2);
        }
    });
    const Ns start = now_ns();
    for (std::uint32_t k = 0; k < round_trips; ++k) {
        hit(2 * k + 1);
        wait_while(2 * k + 1);
    }
    const Ns elapsed = now_ns() - start;
    other.join();
    figures[Column::Value] = static_cast<double>(elapsed) / 1e3 / (2.0 * round_trips);
    return figures;
}

}  // namespace ovel::bench
