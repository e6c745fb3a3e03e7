// Receive recovery: what happens to a receive transfer that did not complete normally. Only the
// adapter being gone ends reception at once. A failure or a refused resubmission is retried, at
// once and then with a growing delay by the recovery thread; a stall is cleared by the recovery
// thread (libusb_clear_halt blocks, so never on the event thread) once every receive transfer is
// off the endpoint, and the transfers resubmitted. Reception ends by itself only when that did
// not help; the reason stays readable (rx_health). The recovery thread also retries a failed
// cancellation of a stopped reception: receive transfers have no time-out to end them.
#include <algorithm>
#include <system_error>

#include <libusb.h>

#include "platform/thread_name.h"
#include "usb/usb_device.h"

namespace ovel::usb {
namespace {

using Clock = std::chrono::steady_clock;

// The delay before the `round`-th delayed retry (1-based): doubles up to the cap.
Clock::duration retry_delay(unsigned round) {
    const unsigned shift = std::min(round > 0 ? round - 1 : 0u, 16u);
    return std::min<Clock::duration>(RX_RETRY_DELAY_MIN * (1u << shift), RX_RETRY_DELAY_MAX);
}

std::uint8_t next_streak(std::uint8_t streak) {
    return streak < UINT8_MAX ? static_cast<std::uint8_t>(streak + 1) : streak;
}

}  // namespace

void UsbDevice::resubmit_rx(std::size_t slot) {
    if (!rx_streaming_.load(std::memory_order_seq_cst)) {
        rx_transfer_done();
        return;
    }
    // The endpoint is being emptied so that its halt can be cleared: wait for the clear.
    if (rx_halt_draining_.load(std::memory_order_acquire)) {
        park_rx(slot, RxWait::Halt, Clock::now());
        return;
    }
    libusb_transfer* transfer = rx_transfers_[slot].get();
    transfer->actual_length = 0;
    rx_slot_clears_[slot] = rx_halt_clears_.load(std::memory_order_relaxed);
    const int submitted = libusb_submit_transfer(transfer);
    if (submitted == 0) {
        // If streaming was turned off meanwhile, the stopper's cancel may have missed us.
        if (!rx_streaming_.load(std::memory_order_seq_cst)) {
            libusb_cancel_transfer(transfer);
        }
        return;
    }
    if (submitted == LIBUSB_ERROR_NO_DEVICE) {
        end_reception(RxEnd::Unplugged);
        rx_transfer_done();
        return;
    }
    count_one(rx_counters_.refusals);
    const std::uint8_t streak = rx_error_streak_[slot] = next_streak(rx_error_streak_[slot]);
    if (streak >= RX_MAX_ERROR_STREAK) {
        end_reception(RxEnd::ErrorsPersist);
        rx_transfer_done();
        return;
    }
    // Resubmitting a refused transfer at once would most likely be refused again.
    const unsigned round = streak > RX_IMMEDIATE_RETRIES ? streak - RX_IMMEDIATE_RETRIES : 1;
    park_rx(slot, RxWait::Retry, Clock::now() + retry_delay(round));
}

void UsbDevice::on_rx_error(std::size_t slot) {
    const std::uint8_t streak = rx_error_streak_[slot] = next_streak(rx_error_streak_[slot]);
    if (streak >= RX_MAX_ERROR_STREAK) {
        end_reception(RxEnd::ErrorsPersist);
        rx_transfer_done();
    } else if (streak <= RX_IMMEDIATE_RETRIES) {
        resubmit_rx(slot);
    } else {
        park_rx(slot, RxWait::Retry, Clock::now() + retry_delay(streak - RX_IMMEDIATE_RETRIES));
    }
}

void UsbDevice::on_rx_stall(std::size_t slot) {
    // Submitted before the last clear: its stall is the one already cleared.
    if (rx_slot_clears_[slot] != rx_halt_clears_.load(std::memory_order_relaxed)) {
        resubmit_rx(slot);
        return;
    }
    // Counted per clear, not per transfer: a host may fail one queued transfer or all of them.
    const std::uint32_t clears = rx_clears_since_data_.load(std::memory_order_relaxed);
    if (clears >= RX_MAX_HALT_CLEARS) {
        end_reception(RxEnd::StallPersists);
        rx_transfer_done();
        return;
    }
    // The first clear at once; a halt that came back waits a little longer each time.
    const Clock::duration delay = clears > 0 ? retry_delay(clears) : Clock::duration{};
    park_rx(slot, RxWait::Halt, Clock::now() + delay);
}

void UsbDevice::park_rx(std::size_t slot, RxWait wait, Clock::time_point due) {
    {
        std::lock_guard lock(recovery_mutex_);
        if (rx_streaming_.load(std::memory_order_relaxed)) {
            rx_parked_[slot] = RxParked{wait, due};
            recovery_wake_.notify_one();
        }
    }
    rx_transfer_done();
}

void UsbDevice::end_reception(RxEnd reason) {
    bool ended = false;
    {
        std::lock_guard lock(recovery_mutex_);
        ended = end_reception_locked(reason);
    }
    if (ended && !cancel_transfers()) {
        std::lock_guard lock(recovery_mutex_);
        if (!rx_streaming_.load(std::memory_order_relaxed)) {
            rx_cancel_retry_ = true;
            rx_cancel_retries_ = 0;
            recovery_wake_.notify_one();
        }
    }
}

bool UsbDevice::end_reception_locked(RxEnd reason) {
    if (!rx_streaming_.load(std::memory_order_relaxed)) {
        return false;
    }
    rx_streaming_.store(false, std::memory_order_seq_cst);
    rx_parked_.fill(RxParked{});
    rx_end_.store(reason, std::memory_order_relaxed);
    rx_state_.store(RxState::Ended, std::memory_order_release);
    return true;
}

bool UsbDevice::ensure_recovery_thread() {
    if (recovery_thread_.joinable()) {
        return true;
    }
    try {
        recovery_thread_ = std::thread(&UsbDevice::run_recovery, this);
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

void UsbDevice::stop_recovery_thread() {
    {
        std::lock_guard lock(recovery_mutex_);
        recovery_quit_ = true;
        recovery_wake_.notify_one();
    }
    if (recovery_thread_.joinable()) {
        recovery_thread_.join();
    }
}

void UsbDevice::run_recovery() {
    platform::name_this_thread("ovel-rx-recover");
    std::unique_lock lock(recovery_mutex_);
    while (!recovery_quit_) {
        if (rx_cancel_retry_) {
            retry_cancellation_locked(lock);
            continue;
        }
        const auto now = Clock::now();
        auto next = Clock::time_point::max();
        auto halt_due = Clock::time_point::max();
        for (const RxParked& parked : rx_parked_) {
            if (parked.wait == RxWait::Halt) {
                halt_due = std::min(halt_due, parked.due);
            }
        }
        if (halt_due <= now) {
            clear_halt_locked(lock);
            continue;
        }
        next = halt_due;
        for (std::size_t slot = 0; slot < RX_TRANSFER_COUNT; ++slot) {
            if (rx_parked_[slot].wait != RxWait::Retry) {
                continue;
            }
            if (rx_parked_[slot].due <= now) {
                resubmit_parked_locked(slot, lock);
                if (recovery_quit_) {
                    break;
                }
            }
            if (rx_parked_[slot].wait == RxWait::Retry) {
                next = std::min(next, rx_parked_[slot].due);
            }
        }
        if (recovery_quit_) {
            break;
        }
        if (next == Clock::time_point::max()) {
            recovery_wake_.wait(lock);
        } else {
            recovery_wake_.wait_until(lock, next);
        }
    }
}

void UsbDevice::cancel_rx_transfers() {
    const std::size_t submitted = rx_transfers_submitted_.load(std::memory_order_acquire);
    for (std::size_t slot = 0; slot < submitted; ++slot) {
        // A parked transfer is not in flight: libusb answers NOT_FOUND.
        (void)libusb_cancel_transfer(rx_transfers_[slot].get());
    }
    event_nap_.interrupt();
}

bool UsbDevice::drain_for_clear_locked(std::unique_lock<std::mutex>& lock,
                                       std::uint64_t generation) {
    const auto all_parked = [&] {
        const std::size_t submitted = rx_transfers_submitted_.load(std::memory_order_acquire);
        for (std::size_t slot = 0; slot < submitted; ++slot) {
            if (rx_parked_[slot].wait == RxWait::None) {
                return false;
            }
        }
        return true;
    };
    const auto deadline = Clock::now() + RX_CANCEL_WAIT;
    while (!all_parked()) {
        lock.unlock();
        cancel_rx_transfers();
        lock.lock();
        if (recovery_quit_ || generation != rx_generation_ ||
            !rx_streaming_.load(std::memory_order_relaxed)) {
            return false;
        }
        // Each one that comes back parks and wakes us; a refused cancellation is asked again.
        const auto now = Clock::now();
        if (now >= deadline) {
            return all_parked();
        }
        recovery_wake_.wait_until(lock, std::min(deadline, now + std::chrono::milliseconds(20)),
                                  [&] {
                                      return all_parked() || recovery_quit_ ||
                                             generation != rx_generation_;
                                  });
    }
    return true;
}

void UsbDevice::clear_halt_locked(std::unique_lock<std::mutex>& lock) {
    const std::uint64_t generation = rx_generation_;
    // A host controller resets the endpoint's data toggle only while no transfer is queued on
    // it (xHCI refuses a busy endpoint, EHCI warns): cleared with transfers still queued, the
    // adapter's next packet would be taken for a repeat and lost. So the endpoint is emptied
    // first; transfers that cannot be cancelled within the bound do not hold the clear back.
    rx_halt_draining_.store(true, std::memory_order_release);
    (void)drain_for_clear_locked(lock, generation);
    if (recovery_quit_ || generation != rx_generation_ ||
        !rx_streaming_.load(std::memory_order_relaxed)) {
        rx_halt_draining_.store(false, std::memory_order_release);
        return;
    }
    lock.unlock();
    const int result = libusb_clear_halt(handle_, BULK_IN_ENDPOINT);
    event_nap_.interrupt();
    lock.lock();
    rx_halt_draining_.store(false, std::memory_order_release);
    // A stop or a new start meanwhile took the parked transfers over.
    if (generation != rx_generation_ || !rx_streaming_.load(std::memory_order_relaxed)) {
        return;
    }
    if (result != 0) {
        const bool gone = result == LIBUSB_ERROR_NO_DEVICE;
        if (gone || ++failed_clears_ > RX_MAX_HALT_CLEARS) {
            const bool ended =
                end_reception_locked(gone ? RxEnd::Unplugged : RxEnd::StallPersists);
            lock.unlock();
            if (ended) {
                (void)cancel_transfers();
            }
            lock.lock();
            return;
        }
        const auto due = Clock::now() + retry_delay(failed_clears_);
        for (RxParked& parked : rx_parked_) {
            if (parked.wait == RxWait::Halt) {
                parked.due = due;
            }
        }
        return;
    }
    failed_clears_ = 0;
    rx_clears_since_data_.fetch_add(1, std::memory_order_relaxed);
    count_one(recovery_counters_.halts_cleared);
    rx_halt_clears_.store(rx_halt_clears_.load(std::memory_order_relaxed) + 1,
                          std::memory_order_relaxed);
    for (std::size_t slot = 0; slot < RX_TRANSFER_COUNT; ++slot) {
        if (rx_parked_[slot].wait == RxWait::Halt) {
            resubmit_parked_locked(slot, lock);
        }
    }
}

void UsbDevice::resubmit_parked_locked(std::size_t slot, std::unique_lock<std::mutex>& lock) {
    const RxWait wait = rx_parked_[slot].wait;
    rx_parked_[slot] = RxParked{};
    if (!rx_streaming_.load(std::memory_order_relaxed)) {
        return;
    }
    libusb_transfer* transfer = rx_transfers_[slot].get();
    transfer->actual_length = 0;
    rx_slot_clears_[slot] = rx_halt_clears_.load(std::memory_order_relaxed);
    // Streaming changes only under the lock held here, so a stop cannot miss this transfer.
    rx_in_flight_.fetch_add(1, std::memory_order_acq_rel);
    const int submitted = libusb_submit_transfer(transfer);
    event_nap_.interrupt();
    if (submitted == 0) {
        if (wait == RxWait::Retry) {
            count_one(recovery_counters_.retries);
        }
        return;
    }
    rx_transfer_done();
    if (submitted != LIBUSB_ERROR_NO_DEVICE) {
        count_one(recovery_counters_.refusals);
        const std::uint8_t streak = rx_error_streak_[slot] = next_streak(rx_error_streak_[slot]);
        if (streak < RX_MAX_ERROR_STREAK) {
            const unsigned round =
                streak > RX_IMMEDIATE_RETRIES ? streak - RX_IMMEDIATE_RETRIES : 1;
            rx_parked_[slot] = RxParked{RxWait::Retry, Clock::now() + retry_delay(round)};
            return;
        }
    }
    const bool ended = end_reception_locked(submitted == LIBUSB_ERROR_NO_DEVICE
                                                ? RxEnd::Unplugged
                                                : RxEnd::ErrorsPersist);
    lock.unlock();
    if (ended) {
        (void)cancel_transfers();
    }
    lock.lock();
}

void UsbDevice::retry_cancellation_locked(std::unique_lock<std::mutex>& lock) {
    if (rx_streaming_.load(std::memory_order_relaxed) ||
        rx_in_flight_.load(std::memory_order_acquire) == 0) {
        rx_cancel_retry_ = false;
        return;
    }
    // Under the lock: a start sets streaming under it before it submits anything, so only
    // transfers of the ended reception are cancelled here.
    (void)cancel_transfers();
    rx_cancel_retries_ = std::min(rx_cancel_retries_ + 1, 16u);
    recovery_wake_.wait_until(lock, Clock::now() + retry_delay(rx_cancel_retries_), [&] {
        return recovery_quit_ || rx_streaming_.load(std::memory_order_relaxed) ||
               rx_in_flight_.load(std::memory_order_acquire) == 0;
    });
}

RxHealth UsbDevice::rx_health() const {
    constexpr auto relaxed = std::memory_order_relaxed;
    RxHealth health;
    health.state = rx_state_.load(std::memory_order_acquire);
    health.end = rx_end_.load(relaxed);
    health.transfers_in_flight = rx_in_flight_.load(relaxed);
    health.frames = rx_counters_.frames.load(relaxed);
    health.echoes = rx_counters_.echoes.load(relaxed);
    health.overflow_flags = rx_counters_.overflow_flags.load(relaxed);
    health.dropped_short = rx_counters_.dropped_short.load(relaxed);
    health.dropped_header = rx_counters_.dropped_header.load(relaxed);
    health.dropped_overflow = rx_counters_.dropped_overflow.load(relaxed);
    health.dropped_no_memory = rx_counters_.dropped_no_memory.load(relaxed);
    health.transfer_errors = rx_counters_.transfer_errors.load(relaxed);
    health.refusals =
        rx_counters_.refusals.load(relaxed) + recovery_counters_.refusals.load(relaxed);
    health.halts_cleared = recovery_counters_.halts_cleared.load(relaxed);
    health.retries = recovery_counters_.retries.load(relaxed);
    return health;
}

}  // namespace ovel::usb
