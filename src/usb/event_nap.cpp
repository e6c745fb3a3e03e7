#include "usb/event_nap.h"

#include <algorithm>

#include "platform/word_wait.h"

namespace ovel::usb {

// Lateness measured this long ago says little about the system now.
constexpr std::chrono::seconds LATENESS_MEMORY{1};

EventNap::EventNap() noexcept : usual_lateness_(platform::timed_wait_lateness()) {}

void EventNap::interrupt() noexcept {
    // Changing the word first pairs with the nap announcing itself before it sleeps on the word:
    // either this sees the nap and wakes it, or the nap sees the word changed and does not sleep.
    word_.fetch_add(1, std::memory_order_seq_cst);
    if (napping_.load(std::memory_order_seq_cst)) {
        platform::wake_one_on_word(word_);
    }
}

std::chrono::nanoseconds EventNap::length(std::chrono::nanoseconds budget, std::uint64_t frames,
                                          int receive_transfers, Clock::time_point now) noexcept {
    using std::chrono::nanoseconds;
    frames_since_nap_ += frames;
    if (budget <= nanoseconds::zero() || frames == 0) {
        return nanoseconds::zero();
    }
    const nanoseconds measured = now - last_nap_;
    if (measured <= nanoseconds::zero() || receive_transfers <= 0) {
        return nanoseconds::zero();
    }
    if (measured > LATENESS_MEMORY) {
        recent_lateness_.fill(nanoseconds::zero());
    }
    const nanoseconds late = lateness();
    // Time for half the transfers to fill at the measured rate.
    const double fill = static_cast<double>(measured.count()) /
                        static_cast<double>(frames_since_nap_) *
                        static_cast<double>(receive_transfers) / 2;
    const nanoseconds length =
        std::min({budget - std::max<nanoseconds>(budget / 3, std::chrono::microseconds(200)),
                  nanoseconds(EVENT_NAP_MAX),
                  nanoseconds(static_cast<std::int64_t>(std::min(fill, 1e18)))}) -
        late;
    if (length < EVENT_NAP_MIN) {
        return nanoseconds::zero();
    }
    frames_since_nap_ = 0;
    last_nap_ = now;
    return length;
}

void EventNap::nap(std::uint32_t epoch, std::chrono::nanoseconds length) noexcept {
    napping_.store(true, std::memory_order_seq_cst);
    const Clock::time_point began = Clock::now();
    // Returns at once if the word changed since the round began.
    platform::wait_on_word_for(word_, epoch, length);
    napping_.store(false, std::memory_order_relaxed);
    if (word_.load(std::memory_order_relaxed) == epoch) {
        note_ran_out(length, Clock::now() - began);
    }
}

void EventNap::note_ran_out(std::chrono::nanoseconds asked, Clock::duration slept) noexcept {
    const auto late =
        std::max(std::chrono::nanoseconds(1),
                 std::chrono::duration_cast<std::chrono::nanoseconds>(slept) - asked);
    recent_lateness_[next_lateness_] = late;
    next_lateness_ = (next_lateness_ + 1) % recent_lateness_.size();
}

std::chrono::nanoseconds EventNap::lateness() const noexcept {
    std::chrono::nanoseconds least = std::chrono::nanoseconds::max();
    for (const std::chrono::nanoseconds late : recent_lateness_) {
        // Until as many naps have run out, the system's rule stands.
        if (late == std::chrono::nanoseconds::zero()) {
            return usual_lateness_;
        }
        least = std::min(least, late);
    }
    return std::max(usual_lateness_, least);
}

}  // namespace ovel::usb
