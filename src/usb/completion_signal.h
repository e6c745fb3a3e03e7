// Hands the completion of one transfer from the USB event thread to the thread that submitted it
// and waits for it. The waiter polls for a few microseconds, which catches a completion that
// follows at once (a busy sending loop against a fast adapter), then sleeps on a futex: on a real
// adapter a transfer takes at least a USB (micro)frame, and spinning through that would cost the
// caller a core. Once a wait has slept for longer than a wake-up takes (the adapter answers on
// USB's frames, not at once), the next ones sleep at once, but for every eighth, which polls
// again to find out whether the adapter answers fast now: against a full-speed adapter's 1 ms
// round trip the poll is never caught and would cost a few microseconds per call.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

#include "platform/word_wait.h"
#include "usb/cpu_relax.h"

namespace ovel::usb {

// How long a waiter polls before it sleeps: a few wake-up costs' worth at most.
inline constexpr std::chrono::nanoseconds COMPLETION_SPIN{5'000};
// A round trip this long came on a USB frame, not after a late wake-up or a preemption.
inline constexpr std::chrono::nanoseconds COMPLETION_SLOW{100'000};
// After such a round trip, how often a wait polls all the same.
inline constexpr unsigned COMPLETION_SPIN_PROBE = 8;

class CompletionSignal {
  public:
    // Before the transfer is submitted. Sequentially consistent, so that a look at whether event
    // handling has ended, made after it, cannot miss an abandon() made before that end.
    void arm() noexcept { state_.store(PENDING, std::memory_order_seq_cst); }
    // The transfer was never submitted: nothing will complete it.
    void disarm() noexcept { state_.store(DONE, std::memory_order_relaxed); }

    // Event thread, from the transfer's callback. Costs a system call only when the waiter
    // has gone to sleep.
    void complete() noexcept {
        if (state_.exchange(DONE, std::memory_order_acq_rel) == SLEEPING) {
            platform::wake_one_on_word(state_);
        }
    }

    // Event thread, when event handling has ended for good: releases a waiter whose transfer
    // will never complete. A transfer that is idle is left as it is.
    // Sequentially consistent, as arm(): either it sees the armed transfer, or the armer's look
    // afterwards sees that event handling has ended.
    void abandon() noexcept {
        std::uint32_t state = state_.load(std::memory_order_seq_cst);
        while (state == PENDING || state == SLEEPING) {
            if (state_.compare_exchange_weak(state, ABANDONED, std::memory_order_seq_cst)) {
                if (state == SLEEPING) {
                    platform::wake_one_on_word(state_);
                }
                return;
            }
        }
    }
    // Armed and not completed yet: a waiter wants the transfer's completion soon.
    bool pending() const noexcept {
        const std::uint32_t state = state_.load(std::memory_order_acquire);
        return state == PENDING || state == SLEEPING;
    }
    // The transfer was abandoned and its callback has not run since: it may still be in flight.
    bool abandoned() const noexcept { return state_.load(std::memory_order_acquire) == ABANDONED; }

    // Returns true once complete() has run; its writes to the transfer are then visible. The
    // transfer's own time-out bounds the wait. False when the transfer was abandoned instead.
    // One waiter at a time (the callers serialize their requests).
    bool wait() noexcept {
        const auto started = std::chrono::steady_clock::now();
        if (!slow_last_ || ++waits_since_spin_ >= COMPLETION_SPIN_PROBE) {
            waits_since_spin_ = 0;
            const auto spin_end = started + COMPLETION_SPIN;
            for (unsigned polls = 1;; ++polls) {
                const std::uint32_t state = state_.load(std::memory_order_acquire);
                if (state == DONE || state == ABANDONED) {
                    slow_last_ = false;
                    return state == DONE;
                }
                cpu_relax();
                // The clock costs as much as a few polls.
                if (polls % 8 == 0 && std::chrono::steady_clock::now() >= spin_end) {
                    break;
                }
            }
        }
        std::uint32_t expected = PENDING;
        if (!state_.compare_exchange_strong(expected, SLEEPING, std::memory_order_acq_rel)) {
            slow_last_ = false;       // it came before a poll would have ended
            return expected == DONE;  // completed or abandoned meanwhile
        }
        std::uint32_t state;
        while ((state = state_.load(std::memory_order_acquire)) == SLEEPING) {
            platform::wait_on_word(state_, SLEEPING);
        }
        slow_last_ = std::chrono::steady_clock::now() - started >= COMPLETION_SLOW;
        return state == DONE;
    }

  private:
    static constexpr std::uint32_t DONE = 0;
    static constexpr std::uint32_t PENDING = 1;
    static constexpr std::uint32_t SLEEPING = 2;   // pending, and the waiter is asleep
    static constexpr std::uint32_t ABANDONED = 3;  // event handling ended before it completed

    std::atomic<std::uint32_t> state_{DONE};
    // The waiter's own: whether the last round trip was a USB frame's, and the waits since one
    // polled.
    bool slow_last_ = false;
    unsigned waits_since_spin_ = 0;
};

}  // namespace ovel::usb
