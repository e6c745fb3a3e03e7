// Hands the completion of one transfer from the USB event thread to the thread that submitted it
// and waits for it. The waiter polls for a few microseconds, which catches a completion that
// follows at once (a busy sending loop against a fast adapter), then sleeps on a futex: on a real
// adapter a transfer takes at least a USB (micro)frame, and spinning through that would cost the
// caller a core.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

#include "common/futex.h"
#include "usb/cpu_relax.h"

namespace ovel::usb {

// How long a waiter polls before it sleeps: a few wake-up costs' worth at most.
inline constexpr std::chrono::nanoseconds COMPLETION_SPIN{5'000};

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
            futex_wake_one(state_);
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
                    futex_wake_one(state_);
                }
                return;
            }
        }
    }
    // The transfer was abandoned and its callback has not run since: it may still be in flight.
    bool abandoned() const noexcept { return state_.load(std::memory_order_acquire) == ABANDONED; }

    // Returns true once complete() has run; its writes to the transfer are then visible. The
    // transfer's own time-out bounds the wait. False when the transfer was abandoned instead.
    bool wait() noexcept {
        const auto spin_end = std::chrono::steady_clock::now() + COMPLETION_SPIN;
        for (unsigned polls = 1;; ++polls) {
            const std::uint32_t state = state_.load(std::memory_order_acquire);
            if (state == DONE || state == ABANDONED) {
                return state == DONE;
            }
            cpu_relax();
            // The clock costs as much as a few polls.
            if (polls % 8 == 0 && std::chrono::steady_clock::now() >= spin_end) {
                break;
            }
        }
        std::uint32_t expected = PENDING;
        if (!state_.compare_exchange_strong(expected, SLEEPING, std::memory_order_acq_rel)) {
            return expected == DONE;  // completed or abandoned meanwhile
        }
        std::uint32_t state;
        while ((state = state_.load(std::memory_order_acquire)) == SLEEPING) {
            futex_wait(state_, SLEEPING);
        }
        return state == DONE;
    }

  private:
    static constexpr std::uint32_t DONE = 0;
    static constexpr std::uint32_t PENDING = 1;
    static constexpr std::uint32_t SLEEPING = 2;   // pending, and the waiter is asleep
    static constexpr std::uint32_t ABANDONED = 3;  // event handling ended before it completed

    std::atomic<std::uint32_t> state_{DONE};
};

}  // namespace ovel::usb
