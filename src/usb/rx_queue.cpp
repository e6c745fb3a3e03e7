#include "usb/rx_queue.h"


#include <chrono>
#include <new>

#include "platform/cpu_number.h"
#include "platform/word_wait.h"
#include "usb/cpu_relax.h"

namespace ovel::usb {
namespace {

// A frame and its notes still fill one 128-byte slot.
static_assert(sizeof(gsusb::HostFrame) + sizeof(RxMeta) <= 128);

// An idle consumer sleeps at once, unless frames are coming faster than a wake-up costs (5 to
// 20 us of scheduling on a virtual machine): while the producer itself is polling (it has found
// a batch or a sending loop's next frame each time it looked), or when the queue ran empty less
// than DENSE_GAP ago, it polls for at most SPIN_LIMIT first. Longer polling would only take the
// producer's CPU; on a bus quieter than that every frame costs a wake-up either way.
constexpr std::chrono::nanoseconds DENSE_GAP{2'000};
constexpr std::chrono::nanoseconds SPIN_LIMIT{5'000};
// How long, and for how many frames, a polling producer may leave the consumer asleep.
constexpr std::size_t DEFERRED_WAKE_FRAMES = 64;
constexpr std::chrono::nanoseconds DEFERRED_WAKE_AGE{50'000};
// A timed sleep ends up to the kernel's timer slack late (Linux: 50 us by default), so a
// budget's sleep asks for that much less, as long as the budget is well above it.
constexpr std::chrono::nanoseconds TIMER_SLACK{50'000};

}  // namespace

RxQueue::~RxQueue() {
    // Segments already consumed are spares or freed; the live ones run from the head onwards.
    Segment* segment = head_ != nullptr ? head_ : first_.load(std::memory_order_acquire);
    while (segment != nullptr) {
        Segment* next = segment->next.load(std::memory_order_acquire);
        delete segment;
        segment = next;
    }
    for (auto& spare : spares_) {
        delete spare.exchange(nullptr, std::memory_order_acquire);
    }
}

bool RxQueue::push(const gsusb::HostFrame& frame, const RxMeta& meta) noexcept {
    if (tail_index_ == RX_SEGMENT_FRAMES) {
        Segment* segment = take_spare_or_allocate();
        if (segment == nullptr) {
            return false;
        }
        segment->next.store(nullptr, std::memory_order_relaxed);
        (tail_ != nullptr ? tail_->next : first_).store(segment, std::memory_order_release);
        tail_ = segment;
        tail_index_ = 0;
    }
    tail_->frames[tail_index_].meta = meta;
    tail_->frames[tail_index_++].frame = frame;
    pushed_.store(++pushed_count_, std::memory_order_release);
    return true;
}

void RxQueue::end_batch() noexcept { finish_batch(false); }

void RxQueue::end_held_batch() noexcept { finish_batch(true); }

void RxQueue::finish_batch(bool held) noexcept {
    // Publishing the batch and then reading sleeping_, both seq_cst, pairs with the consumer
    // setting sleeping_ and then reading pushed_: at least one side sees the other, so a
    // consumer that missed these frames is woken. Only the first batch after it fell asleep pays,
    // and a batch costs one wake-up however many frames it brought.
    pushed_.store(pushed_count_, std::memory_order_seq_cst);
    woken_up_to_ = pushed_count_;
    deferring_ = false;
    if (sleeping_.load(std::memory_order_seq_cst) &&
        sleeping_.exchange(false, std::memory_order_seq_cst)) {
        wake_consumer();
    } else if (timed_sleeping_.load(std::memory_order_seq_cst) &&
               (held ||
                pushed_count_ - popped_.load(std::memory_order_acquire) >= RX_BUDGET_WAKE_FRAMES) &&
               timed_sleeping_.exchange(false, std::memory_order_seq_cst)) {
        // The same pairing with sleep_for_budget(), which looks at the count after announcing.
        wake_consumer();
    }
    note_producer_cpu();
}

void RxQueue::end_batch_deferring_wake() noexcept {
    if (!deferring_ && pushed_count_ == woken_up_to_) {
        return;  // nothing to hand over: the age of a deferral starts with its first frame
    }
    const auto now = std::chrono::steady_clock::now();
    if (!deferring_) {
        deferring_ = true;
        oldest_unwoken_ = now;
    }
    if (pushed_count_ - woken_up_to_ < DEFERRED_WAKE_FRAMES &&
        now - oldest_unwoken_ < DEFERRED_WAKE_AGE) {
        // Published, so an awake consumer takes the frames; a sleeping one is woken later.
        pushed_.store(pushed_count_, std::memory_order_release);
        note_producer_cpu();
        return;
    }
    end_batch();
}

void RxQueue::disconnect() noexcept {
    disconnected_.store(true, std::memory_order_seq_cst);
    wake_consumer();
}

void RxQueue::wake() noexcept {
    wake_pending_.store(true, std::memory_order_seq_cst);
    wake_consumer();
}

void RxQueue::set_latency_budget(std::chrono::nanoseconds budget) noexcept {
    budget_ns_.store(budget.count(), std::memory_order_relaxed);
    // A consumer asleep under the old budget looks again (and sleeps under the new one); the
    // bump of the epoch also publishes the budget to a consumer about to sleep.
    wake_consumer();
}

RxQueue::PopResult RxQueue::pop(gsusb::HostFrame& out) noexcept {
    return pop_into(out, nullptr);
}

RxQueue::PopResult RxQueue::pop(gsusb::HostFrame& out, RxMeta& meta) noexcept {
    return pop_into(out, &meta);
}

RxQueue::PopResult RxQueue::pop_into(gsusb::HostFrame& out, RxMeta* meta) noexcept {
    bool spinning = false;
    std::chrono::steady_clock::time_point spin_end{};
    for (;;) {
        if (wake_pending_.load(std::memory_order_relaxed) &&
            wake_pending_.exchange(false, std::memory_order_acquire)) {
            return PopResult::Woken;
        }
        if (try_pop(out, meta)) {
            return PopResult::Frame;
        }
        if (disconnected_.load(std::memory_order_acquire)) {
            // Every push came before the disconnect, so this last look finds any frame left.
            return try_pop(out, meta) ? PopResult::Frame : PopResult::Disconnected;
        }
        const std::int64_t budget = budget_ns_.load(std::memory_order_relaxed);
        if (budget > 0) {
            // Frames delivered since the last sleep: more are likely, so sleep for the budget
            // and take them in one batch. None: sleep until the next frame.
            const bool traffic = popped_count_ != popped_at_sleep_;
            popped_at_sleep_ = popped_count_;
            if (traffic) {
                sleep_for_budget();
                continue;
            }
        }
        const auto now = std::chrono::steady_clock::now();
        if (budget == 0 && !spinning) {
            const bool dense =
                now - last_empty_ < DENSE_GAP || producer_polling_.load(std::memory_order_relaxed);
            last_empty_ = now;
            // Polling on the producer's own CPU would only keep the producer from running there.
            if (dense && !on_producer_cpu()) {
                spinning = true;
                spin_end = now + SPIN_LIMIT;
            }
        }
        if (spinning && now < spin_end) {
            cpu_relax();
            continue;
        }
        // Read the epoch before announcing the sleep: any wake-up after this point changes it,
        // so the wait below cannot miss one.
        const std::uint32_t epoch = wake_epoch_.load(std::memory_order_acquire);
        sleeping_.store(true, std::memory_order_seq_cst);
        if (!wake_pending_.load(std::memory_order_seq_cst) &&
            !disconnected_.load(std::memory_order_seq_cst) &&
            pushed_.load(std::memory_order_seq_cst) == popped_count_) {
            platform::wait_on_word(wake_epoch_, epoch);
        }
        sleeping_.store(false, std::memory_order_relaxed);
        spinning = false;
    }
}

void RxQueue::sleep_for_budget() noexcept {
    // As the sleep in pop_into, but a producer only wakes it once enough frames wait: it
    // publishes and then reads timed_sleeping_, this announces and then reads pushed_.
    const std::uint32_t epoch = wake_epoch_.load(std::memory_order_acquire);
    // Read after the epoch: a budget set since then has changed the epoch, so the wait below
    // returns at once rather than run out the old budget.
    const std::chrono::nanoseconds budget(budget_ns_.load(std::memory_order_relaxed));
    if (budget <= std::chrono::nanoseconds::zero()) {
        return;
    }
    timed_sleeping_.store(true, std::memory_order_seq_cst);
    if (!wake_pending_.load(std::memory_order_seq_cst) &&
        !disconnected_.load(std::memory_order_seq_cst) &&
        pushed_.load(std::memory_order_seq_cst) - popped_count_ < RX_BUDGET_WAKE_FRAMES) {
        // Frames that came after the last look wait at most the budget from here.
        platform::wait_on_word_for(wake_epoch_, epoch,
                                   budget > 2 * TIMER_SLACK ? budget - TIMER_SLACK : budget);
    }
    timed_sleeping_.store(false, std::memory_order_relaxed);
}

std::size_t RxQueue::size() const noexcept {
    // popped_ first: its acquire makes the pushes behind those pops visible, so no underflow.
    const std::size_t popped = popped_.load(std::memory_order_acquire);
    return pushed_.load(std::memory_order_acquire) - popped;
}

bool RxQueue::try_pop(gsusb::HostFrame& out, RxMeta* meta) noexcept {
    if (popped_count_ == known_pushed_) {
        known_pushed_ = pushed_.load(std::memory_order_acquire);
        if (popped_count_ == known_pushed_) {
            return false;
        }
        // Measured only when the consumer catches up: no cost per frame.
        const std::size_t waiting = known_pushed_ - popped_count_;
        if (waiting > high_water_.load(std::memory_order_relaxed)) {
            high_water_.store(waiting, std::memory_order_relaxed);
        }
    }
    if (head_index_ == RX_SEGMENT_FRAMES) {
        // The producer linked the next segment before it published a frame in it.
        Segment* next = head_ != nullptr ? head_->next.load(std::memory_order_acquire)
                                         : first_.load(std::memory_order_acquire);
        if (head_ != nullptr) {
            retire(head_);
        }
        head_ = next;
        head_index_ = 0;
    }
    if (meta != nullptr) {
        *meta = head_->frames[head_index_].meta;
    }
    out = head_->frames[head_index_++].frame;
    popped_.store(++popped_count_, std::memory_order_release);
    return true;
}

RxQueue::Segment* RxQueue::take_spare_or_allocate() noexcept {
    // Only the producer empties a spare slot, so a slot seen full stays full until taken.
    for (auto& spare : spares_) {
        if (spare.load(std::memory_order_relaxed) != nullptr) {
            return spare.exchange(nullptr, std::memory_order_acquire);
        }
    }
    auto* segment = new (std::nothrow) Segment;
    if (segment != nullptr) {
        segments_allocated_.fetch_add(1, std::memory_order_relaxed);
    }
    return segment;
}

void RxQueue::retire(Segment* segment) noexcept {
    // Only the consumer fills a spare slot, so a slot seen empty stays empty until filled.
    for (auto& spare : spares_) {
        if (spare.load(std::memory_order_relaxed) == nullptr) {
            spare.store(segment, std::memory_order_release);
            return;
        }
    }
    segments_allocated_.fetch_sub(1, std::memory_order_relaxed);
    delete segment;
}

void RxQueue::note_producer_cpu() noexcept {
    const int cpu = platform::current_cpu();
    if (cpu != producer_cpu_seen_) {
        producer_cpu_seen_ = cpu;
        producer_cpu_.store(cpu, std::memory_order_relaxed);
    }
}

void RxQueue::note_producer_polling(bool polling) noexcept {
    if (polling != producer_polling_seen_) {
        producer_polling_seen_ = polling;
        producer_polling_.store(polling, std::memory_order_relaxed);
    }
}

bool RxQueue::on_producer_cpu() const noexcept {
    const int producer = producer_cpu_.load(std::memory_order_relaxed);
    return producer >= 0 && producer == platform::current_cpu();
}

void RxQueue::wake_consumer() noexcept {
    wake_epoch_.fetch_add(1, std::memory_order_seq_cst);
    platform::wake_one_on_word(wake_epoch_);
}

}  // namespace ovel::usb
