// The receive queue: hands every received host frame from the USB event thread (the one
// producer, which must never block) to the receive dispatch thread (the one consumer at a time).
// Unbounded: frames live in fixed-size segments chained into a list, so a consumer that falls
// behind costs memory, never a frame; emptied segments are kept for reuse, so a queue that keeps
// up allocates nothing.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>

#include "gsusb/host_frame.h"
#include "usb/rx_meta.h"

namespace ovel::usb {

// 40 KiB of frames per segment: one allocation covers 512 frames while the consumer lags.
inline constexpr std::size_t RX_SEGMENT_FRAMES = 512;
// Emptied segments kept for reuse; two cover a consumer lagging by up to a segment or so.
inline constexpr std::size_t RX_SPARE_SEGMENTS = 2;
// With a latency budget, frames waiting that wake the consumer before the budget runs out:
// half a segment, so a consumer that keeps to its budget never needs a new segment, and one
// wake-up per 256 frames costs well under 0.1 us a frame.
inline constexpr std::size_t RX_BUDGET_WAKE_FRAMES = RX_SEGMENT_FRAMES / 2;
// The longest latency budget: a promise of seconds is no promise; a bound keeps the time-outs
// far from any overflow.
inline constexpr std::chrono::microseconds RX_BUDGET_MAX{10'000'000};

class RxQueue {
  public:
    RxQueue() noexcept = default;
    // Frees every segment; frames still queued are discarded. Both sides must be done.
    ~RxQueue();
    RxQueue(const RxQueue&) = delete;
    RxQueue& operator=(const RxQueue&) = delete;

    // Producer side (one thread). Never blocks on the consumer, never drops. Allocates only when
    // every segment is full and no spare is left; returns false only if that allocation failed,
    // and the frame is then lost. A sleeping consumer is woken by the end_batch() that follows.
    bool push(const gsusb::HostFrame& frame, const RxMeta& meta = {}) noexcept;
    // Producer side, after a batch of pushes (every push is followed by one): wakes the consumer
    // if it sleeps, once for the whole batch, and records the CPU the producer runs on, where a
    // consumer waiting for frames does not poll (it would only keep the producer off that CPU).
    void end_batch() noexcept;
    // The same for frames the producer held back for the latency budget: they have waited
    // their share already, so a consumer asleep for its budget is woken too.
    void end_held_batch() noexcept;
    // As end_batch, but a sleeping consumer is left asleep while fewer than DEFERRED_WAKE_FRAMES
    // frames have waited less than DEFERRED_WAKE_AGE for it; the producer calls end_batch() before
    // it blocks. For a producer that polls for a sending loop's echoes: waking the consumer for
    // each would put a third busy thread on the CPUs that the sender and the producer need.
    void end_batch_deferring_wake() noexcept;
    // Producer is gone for good: pops deliver what is left, then report Disconnected.
    void disconnect() noexcept;
    // Producer side: whether it polls for its next frames instead of blocking; a consumer that
    // runs dry meanwhile polls briefly too rather than sleep.
    void note_producer_polling(bool polling) noexcept;

    enum class PopResult { Frame, Woken, Disconnected };
    // Consumer side (one thread at a time; a change of consumer thread needs a happens-before
    // edge such as a join). Blocks without a time-out until a wake() is pending (returns Woken
    // and consumes it; it takes priority over frames), a frame is available (returns Frame and
    // copies it to `out`), or the queue is disconnected and empty (returns Disconnected).
    PopResult pop(gsusb::HostFrame& out) noexcept;
    // The same, also copying what the event thread noted about the frame.
    PopResult pop(gsusb::HostFrame& out, RxMeta& meta) noexcept;
    // From any thread: makes the current or next pop return Woken once. Wakes do not add up.
    void wake() noexcept;
    // From any thread: how long a frame may wait for the consumer (0: not at all, the default).
    // With a budget, a consumer that has just delivered frames sleeps for the budget and is
    // woken early only when RX_BUDGET_WAKE_FRAMES frames wait, so a busy queue costs one wake-up
    // per budget instead of one per batch; one that found nothing at its last look sleeps until
    // the next frame, which it delivers at once (a quiet bus costs nothing, and a frame after a
    // quiet spell waits no longer than without a budget). No frame waits longer than the budget
    // and one wake-up. A consumer asleep under the old budget looks again at once.
    void set_latency_budget(std::chrono::nanoseconds budget) noexcept;
    std::chrono::nanoseconds latency_budget() const noexcept {
        return std::chrono::nanoseconds(budget_ns_.load(std::memory_order_relaxed));
    }

    // Frames pushed and not yet popped (approximate while both sides run).
    std::size_t size() const noexcept;
    // The most frames the consumer found waiting when it looked for more (diagnostics).
    std::size_t high_water() const noexcept { return high_water_.load(std::memory_order_relaxed); }
    // Segments currently allocated, queued frames and spares alike (for tests and diagnostics).
    std::size_t segment_count() const noexcept {
        return segments_allocated_.load(std::memory_order_relaxed);
    }
    // True while a pop is asleep waiting (for tests and diagnostics).
    bool consumer_sleeping() const noexcept {
        return sleeping_.load(std::memory_order_acquire) ||
               timed_sleeping_.load(std::memory_order_acquire);
    }

  private:
    void finish_batch(bool held) noexcept;
    struct Segment {  // aligned as its 128-byte slots
        // One frame per 128 bytes: the slot the producer fills never shares a cache line with
        // the one the consumer is reading just behind it.
        struct alignas(128) Slot {
            gsusb::HostFrame frame;
            RxMeta meta;
        };
        std::array<Slot, RX_SEGMENT_FRAMES> frames;
        // Set by the producer before it publishes the first frame that lives in the next segment.
        std::atomic<Segment*> next{nullptr};
    };

    PopResult pop_into(gsusb::HostFrame& out, RxMeta* meta) noexcept;
    bool try_pop(gsusb::HostFrame& out, RxMeta* meta) noexcept;
    Segment* take_spare_or_allocate() noexcept;
    void retire(Segment* segment) noexcept;
    void wake_consumer() noexcept;
    void sleep_for_budget() noexcept;
    void note_producer_cpu() noexcept;
    bool on_producer_cpu() const noexcept;

    // Published by the producer once per frame and read by the consumer: a line of its own, so
    // that the consumer's reads do not also evict the producer's private state.
    alignas(64) std::atomic<std::size_t> pushed_{0};
    // Producer's private state.
    alignas(64) Segment* tail_ = nullptr;
    std::size_t tail_index_ = RX_SEGMENT_FRAMES;  // "full" until the first segment exists
    std::size_t pushed_count_ = 0;
    int producer_cpu_seen_ = -1;
    std::size_t woken_up_to_ = 0;  // pushed_count_ when the consumer was last woken or checked
    bool deferring_ = false;       // frames published since then without a wake-up check
    std::chrono::steady_clock::time_point oldest_unwoken_{};
    bool producer_polling_seen_ = false;

    // Consumer's cache line: only size() reads popped_ from another thread.
    alignas(64) std::atomic<std::size_t> popped_{0};
    Segment* head_ = nullptr;
    std::size_t head_index_ = RX_SEGMENT_FRAMES;
    std::size_t popped_count_ = 0;
    std::size_t known_pushed_ = 0;  // last value of pushed_ seen, so most pops skip reading it
    std::atomic<std::size_t> high_water_{0};  // written by the consumer only
    std::chrono::steady_clock::time_point last_empty_{};  // when a pop last found it empty
    std::size_t popped_at_sleep_ = 0;  // popped_count_ when it last slept under a budget

    // Rarely written: the sleep handshake, wakes, the end of the producer and the segment pool.
    alignas(64) std::atomic<bool> sleeping_{false};
    // Asleep for its latency budget: woken early only by RX_BUDGET_WAKE_FRAMES waiting frames.
    std::atomic<bool> timed_sleeping_{false};
    std::atomic<std::int64_t> budget_ns_{0};
    // The CPU the producer last noted (-1: unknown); written only when it changes.
    std::atomic<int> producer_cpu_{-1};
    std::atomic<bool> producer_polling_{false};
    std::atomic<std::uint32_t> wake_epoch_{0};  // futex word: bumped whenever a sleeper is woken
    std::atomic<bool> wake_pending_{false};
    std::atomic<bool> disconnected_{false};
    std::atomic<Segment*> first_{nullptr};  // the first segment, linked by the first push
    std::array<std::atomic<Segment*>, RX_SPARE_SEGMENTS> spares_{};
    std::atomic<std::size_t> segments_allocated_{0};
};

}  // namespace ovel::usb
