// Receive streaming: 32 bulk IN transfers kept in flight, each completion decoded into the
// receive queue and resubmitted from its own handler (failures go to rx_recovery.cpp).
#include <algorithm>

#include <libusb.h>

#include "usb/usb_device.h"

namespace ovel::usb {

Expected<void, UsbError> UsbDevice::cancel_transfers() {
    Expected<void, UsbError> outcome;
    const std::size_t submitted = rx_transfers_submitted_.load(std::memory_order_acquire);
    for (std::size_t slot = 0; slot < submitted; ++slot) {
        const TransferPtr& transfer = rx_transfers_[slot];
        if (!transfer) {
            continue;
        }
        const int result = libusb_cancel_transfer(transfer.get());
        if (result != 0 && result != LIBUSB_ERROR_NOT_FOUND && outcome) {
            outcome = unexpected(UsbError::libusb("libusb_cancel_transfer", result));
        }
    }
    // The clock's re-read goes with reception; a failure here only delays its return.
    if (refresh_transfer_ && refresh_in_flight_.load(std::memory_order_acquire)) {
        (void)libusb_cancel_transfer(refresh_transfer_.get());
    }
    event_nap_.interrupt();
    return outcome;
}

Expected<void, UsbError> UsbDevice::start_transfers() {
    // A buffer may be handed to a new transfer only once no earlier one can still write it.
    if (!wait_rx_idle(RX_CANCEL_WAIT)) {
        return unexpected(
            UsbError::libusb("start_transfers: transfers in flight", LIBUSB_ERROR_BUSY));
    }
    if (!ensure_recovery_thread()) {
        return unexpected(UsbError::libusb("start_transfers: recovery thread", LIBUSB_ERROR_NO_MEM));
    }
    {
        std::lock_guard lock(recovery_mutex_);
        ++rx_generation_;
        rx_parked_.fill(RxParked{});
        failed_clears_ = 0;
        rx_clears_since_data_.store(0, std::memory_order_relaxed);
        rx_halt_draining_.store(false, std::memory_order_release);
        rx_cancel_retry_ = false;
        rx_end_.store(RxEnd::None, std::memory_order_relaxed);
        rx_state_.store(RxState::Running, std::memory_order_release);
        rx_streaming_.store(true, std::memory_order_seq_cst);
        rx_transfers_submitted_.store(0, std::memory_order_relaxed);
    }
    const std::uint32_t clears = rx_halt_clears_.load(std::memory_order_relaxed);
    for (std::size_t slot = 0; slot < RX_TRANSFER_COUNT; ++slot) {
        TransferPtr& transfer = rx_transfers_[slot];
        if (!transfer) {
            transfer.reset(libusb_alloc_transfer(0));
            if (!transfer) {
                return unexpected(UsbError::transfer_alloc_failed());
            }
        }
        libusb_transfer* t = transfer.get();
        fill_transfer(t, BULK_IN_ENDPOINT, LIBUSB_TRANSFER_TYPE_BULK, BULK_IN_TIMEOUT_MS,
                      rx_buffers_[slot].data(), gsusb::HOST_FRAME_SIZE, &UsbDevice::on_rx_complete);
        t->user_data = &rx_slots_[slot];
        rx_error_streak_[slot] = 0;
        rx_slot_clears_[slot] = clears;
        rx_in_flight_.fetch_add(1, std::memory_order_acq_rel);
        const int submitted = libusb_submit_transfer(t);
        if (submitted != 0) {
            rx_transfer_done();
            return unexpected(
                UsbError::libusb("start_transfers: libusb_submit_transfer", submitted));
        }
        rx_transfers_submitted_.store(slot + 1, std::memory_order_release);
        // Reception may have ended already (the adapter is gone): its cancel may have missed us.
        if (!rx_streaming_.load(std::memory_order_seq_cst)) {
            libusb_cancel_transfer(t);
        }
    }
    event_nap_.interrupt();
    return {};
}

Expected<void, UsbError> UsbDevice::stop_transfers() {
    {
        std::lock_guard lock(recovery_mutex_);
        rx_streaming_.store(false, std::memory_order_seq_cst);
        ++rx_generation_;
        rx_parked_.fill(RxParked{});
        rx_halt_draining_.store(false, std::memory_order_release);
        if (rx_state_.load(std::memory_order_relaxed) == RxState::Running) {
            rx_state_.store(RxState::Stopped, std::memory_order_release);
        }
    }
    auto cancelled = cancel_transfers();
    // A later start waits again before it reuses the buffers, so the bound is not an error.
    if (!wait_rx_idle(RX_CANCEL_WAIT)) {
        // Without a time-out only a cancellation brings them back: keep trying.
        std::lock_guard lock(recovery_mutex_);
        if (!rx_streaming_.load(std::memory_order_relaxed)) {
            rx_cancel_retry_ = true;
            rx_cancel_retries_ = 0;
            recovery_wake_.notify_one();
        }
    }
    return cancelled;
}

void UsbDevice::rx_transfer_done() {
    if (rx_in_flight_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        // Taking the mutex orders this notification after a waiter's check of the count.
        std::lock_guard lock(rx_idle_mutex_);
        rx_idle_.notify_all();
    }
}

bool UsbDevice::wait_rx_idle(std::chrono::milliseconds bound) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    std::unique_lock lock(rx_idle_mutex_);
    while (rx_in_flight_.load(std::memory_order_acquire) != 0) {
        // A handler that resubmitted just as cancellation began is cancelled on the next round.
        lock.unlock();
        if (!rx_streaming_.load(std::memory_order_seq_cst)) {
            (void)cancel_transfers();
        }
        lock.lock();
        if (rx_in_flight_.load(std::memory_order_acquire) == 0) {
            break;
        }
        if (rx_idle_.wait_until(lock, std::min(deadline, std::chrono::steady_clock::now() +
                                                             std::chrono::milliseconds(20))) ==
                std::cv_status::timeout &&
            std::chrono::steady_clock::now() >= deadline) {
            return rx_in_flight_.load(std::memory_order_acquire) == 0;
        }
    }
    return true;
}

void UsbDevice::queue_received(const libusb_transfer& transfer) {
    const auto received = static_cast<std::size_t>(transfer.actual_length);
    // Every transfer that brought bytes is numbered, so the frames dropped below leave a gap.
    const std::uint64_t sequence = received > 0 ? rx_sequence_++ : rx_sequence_;
    // A frame that did not arrive whole is not passed on as if it had. A time-out or a
    // cancellation without data is no frame at all.
    if (received < gsusb::HOST_FRAME_SHORT_SIZE || received > gsusb::HOST_FRAME_SIZE) {
        if (received > 0 || transfer.status == LIBUSB_TRANSFER_COMPLETED) {
            count_one(rx_counters_.dropped_short);
        }
        return;
    }
    // Bytes past what the adapter sent still hold an earlier frame's: they read as zero.
    std::fill(transfer.buffer + received, transfer.buffer + gsusb::HOST_FRAME_SIZE, 0);
    gsusb::HostFrame frame =
        gsusb::decode_host_frame(std::span<const std::uint8_t, gsusb::HOST_FRAME_SIZE>(
            transfer.buffer, gsusb::HOST_FRAME_SIZE));
    const bool fd = (frame.flags & gsusb::FLAG_FD) != 0;
    if (fd && received < gsusb::HOST_FRAME_LONG_SIZE) {
        count_one(rx_counters_.dropped_short);
        return;
    }
    // The header promises a DLC of 0 to 15 and a channel the adapter has.
    if (frame.dlc > 15 || frame.channel > last_channel_) {
        count_one(rx_counters_.dropped_header);
        return;
    }
    // The echo of a queued send takes its frame out of the window and names the send; one
    // that matches no frame in flight (unknown, repeated, or of a send already reported failed)
    // is counted and dropped, never passed on as another send's.
    std::uint32_t send_id = 0;
    if (gsusb::is_queued_echo_id(frame.echo_id)) {
        const auto matched = send_windows_->match_echo(frame.channel, frame.echo_id);
        if (!matched) {
            return;
        }
        send_id = static_cast<std::uint32_t>(*matched);
    }
    RxMeta meta = annotate_received(frame, received, sequence);
    meta.send_id = send_id;
    if (!rx_queue_->push(frame, meta)) {
        count_one(rx_counters_.dropped_no_memory);
        return;
    }
    ++completions_handled_;
    count_one(rx_counters_.frames);
    if (frame.echo_id != gsusb::ECHO_ID_RX) {
        count_one(rx_counters_.echoes);
    }
    if ((frame.flags & gsusb::FLAG_OVERFLOW) != 0) {
        count_one(rx_counters_.overflow_flags);
    }
}

void UsbDevice::on_rx_complete(libusb_transfer* transfer) {
    const auto& slot = *static_cast<const RxSlot*>(transfer->user_data);
    UsbDevice* device = slot.device;
    switch (transfer->status) {
        case LIBUSB_TRANSFER_COMPLETED:
        case LIBUSB_TRANSFER_TIMED_OUT:  // an idle bus
            // libusb may hand back data with a time-out or a cancellation: a whole frame counts.
            device->queue_received(*transfer);
            device->rx_error_streak_[slot.index] = 0;
            device->rx_clears_since_data_.store(0, std::memory_order_relaxed);
            device->resubmit_rx(slot.index);
            return;
        case LIBUSB_TRANSFER_CANCELLED:
            device->queue_received(*transfer);
            // Taken off a halted endpoint: it waits for the clear. Otherwise reception stopped.
            if (device->rx_halt_draining_.load(std::memory_order_acquire)) {
                device->park_rx(slot.index, RxWait::Halt, std::chrono::steady_clock::now());
            } else {
                device->rx_transfer_done();
            }
            return;
        case LIBUSB_TRANSFER_NO_DEVICE:
            // No echo comes back from an adapter that is gone.
            device->send_windows_->close_all(SendEnd::Unplugged);
            device->end_reception(RxEnd::Unplugged);
            device->rx_transfer_done();
            return;
        case LIBUSB_TRANSFER_STALL:
            count_one(device->rx_counters_.transfer_errors);
            device->on_rx_stall(slot.index);
            return;
        case LIBUSB_TRANSFER_OVERFLOW:  // a babbling adapter or one that pads
            count_one(device->rx_counters_.dropped_overflow);
            device->on_rx_error(slot.index);
            return;
        default:
            count_one(device->rx_counters_.transfer_errors);
            device->on_rx_error(slot.index);
            return;
    }
}

}  // namespace ovel::usb
