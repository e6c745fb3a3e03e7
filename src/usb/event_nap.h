// Under a receive latency budget the USB event thread naps between rounds of event handling, so
// that a busy bus costs one wake-up per nap instead of one per USB (micro)frame: completions
// wait in libusb meanwhile, as frames wait in a network card under interrupt coalescing.
// A nap is short enough that the receive transfers in flight hold what arrives during it, and
// ends at once when another thread hands libusb work the event thread must see to (a
// submission, a cancellation, a stop).
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>

namespace ovel::usb {

// Naps shorter than this save less than they risk; longer ones are not needed to bring the
// wake-ups down to a few per second.
inline constexpr std::chrono::microseconds EVENT_NAP_MIN{100};
inline constexpr std::chrono::milliseconds EVENT_NAP_MAX{250};

class EventNap {
  public:
    using Clock = std::chrono::steady_clock;

    // Plans for the lateness of this system's timed waits (platform::timed_wait_lateness).
    EventNap() noexcept;
    // `usual_lateness`: how late the system's timed waits end as a rule.
    explicit EventNap(std::chrono::nanoseconds usual_lateness) noexcept
        : usual_lateness_(usual_lateness) {}

    // Event thread, before a round of event handling: a nap after the round ends at once if
    // work was handed to libusb since.
    std::uint32_t round_start() const noexcept { return word_.load(std::memory_order_seq_cst); }
    // Any other thread, after it handed libusb work for the event thread.
    void interrupt() noexcept;

    // Event thread, after a round that brought `frames` received frames: how long it may nap
    // under `budget` with `receive_transfers` waiting for the adapter (zero: not at all). The
    // frames arrive meanwhile at the rate measured since the last nap; half the transfers must
    // hold them. A nap leaves a third of the budget (at least 200 us) for the way from the bus
    // to libusb (up to a USB frame) and for the wake-ups and the delivery that follow it.
    std::chrono::nanoseconds length(std::chrono::nanoseconds budget, std::uint64_t frames,
                                    int receive_transfers, Clock::time_point now) noexcept;
    // Naps for `length` unless interrupt() was called since `round_start()` returned `epoch`.
    void nap(std::uint32_t epoch, std::chrono::nanoseconds length) noexcept;
    // A nap asked for `asked` ran out after `slept`. Timed waits end late by the system's timer
    // slack (Linux, 50 us) or tick (Windows, up to 16.6 ms); later naps are that much shorter,
    // so that neither the budget nor the transfers are overrun. The lateness planned for is the
    // system's rule, or the least of the last few naps' if every one of them was later: one nap
    // that a busy machine delayed does not shorten the next ones.
    void note_ran_out(std::chrono::nanoseconds asked, Clock::duration slept) noexcept;
    std::chrono::nanoseconds lateness() const noexcept;

  private:
    std::atomic<std::uint32_t> word_{0};
    std::atomic<bool> napping_{false};
    // Event thread: received frames since the last nap, and when that was.
    std::uint64_t frames_since_nap_ = 0;
    Clock::time_point last_nap_{};
    // How late the last naps that ran out ended (zero: none yet), and the system's rule.
    std::array<std::chrono::nanoseconds, 8> recent_lateness_{};
    std::size_t next_lateness_ = 0;
    std::chrono::nanoseconds usual_lateness_;
};

}  // namespace ovel::usb
