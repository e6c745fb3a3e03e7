// The queued transmit path: one bulk OUT transfer per frame, not waited for; up to a window of
// frames per channel are in flight until their echoes come back.
#include <libusb.h>

#include "usb/usb_device.h"

namespace ovel::usb {

Expected<std::uint64_t, UsbDevice::QueuedSendError> UsbDevice::send_queued(
    gsusb::HostFrame frame, gsusb::OutForms forms, const std::shared_ptr<SendLedger>& ledger) {
    using Kind = QueuedSendError::Kind;
    if (const int failed = event_handling_failure(); failed != 0) {
        return unexpected(
            QueuedSendError{Kind::Usb, UsbError::libusb("send: event handling", failed)});
    }
    std::uint64_t send_id = 0;
    std::uint32_t echo_id = 0;
    switch (send_windows_->reserve(frame.channel, ledger, send_id, echo_id)) {
        case SendWindows::Reserve::Reserved:
            break;
        case SendWindows::Reserve::Full:
            return unexpected(QueuedSendError{Kind::WindowFull});
        case SendWindows::Reserve::ChannelClosed:
        case SendWindows::Reserve::Closed:
            return unexpected(QueuedSendError{Kind::ChannelClosed});
    }
    frame.echo_id = echo_id;
    QueuedSlot* slot = nullptr;
    {
        std::lock_guard lock(queued_mutex_);
        if (queued_free_.empty()) {
            auto fresh = std::make_unique<QueuedSlot>();
            fresh->transfer.reset(libusb_alloc_transfer(0));
            if (!fresh->transfer) {
                send_windows_->unreserve(frame.channel, send_id);
                return unexpected(QueuedSendError{Kind::Usb, UsbError::transfer_alloc_failed()});
            }
            fresh->device = this;
            fresh->index = queued_slots_.size();
            queued_slots_.push_back(std::move(fresh));
            queued_free_.push_back(queued_slots_.back()->index);
        }
        slot = queued_slots_[queued_free_.back()].get();
        queued_free_.pop_back();
        ++queued_in_flight_;
    }
    slot->send_id = send_id;
    slot->channel = frame.channel;
    const std::size_t length = gsusb::encode_host_frame(frame, slot->buffer, forms);
    libusb_transfer* transfer = slot->transfer.get();
    fill_transfer(transfer, BULK_OUT_ENDPOINT, LIBUSB_TRANSFER_TYPE_BULK, BULK_OUT_TIMEOUT_MS,
                  slot->buffer.data(), length, &UsbDevice::on_queued_out_complete);
    transfer->user_data = slot;
    const int submitted = libusb_submit_transfer(transfer);
    if (submitted != 0) {
        {
            std::lock_guard lock(queued_mutex_);
            queued_free_.push_back(slot->index);
            --queued_in_flight_;
            queued_idle_.notify_all();
        }
        send_windows_->unreserve(frame.channel, send_id);
        return unexpected(QueuedSendError{
            Kind::Usb, UsbError::libusb("send: libusb_submit_transfer", submitted)});
    }
    event_nap_.interrupt();  // its echo frees the window: not to wait for a nap
    ledger->count_queued();
    return send_id;
}

void UsbDevice::on_queued_out_complete(libusb_transfer* transfer) {
    auto* slot = static_cast<QueuedSlot*>(transfer->user_data);
    UsbDevice* device = slot->device;
    switch (transfer->status) {
        case LIBUSB_TRANSFER_COMPLETED:
            break;  // the adapter has it; its echo takes it out of the window
        case LIBUSB_TRANSFER_NO_DEVICE:
            device->send_windows_->close_all(SendEnd::Unplugged);
            break;
        case LIBUSB_TRANSFER_TIMED_OUT:
            device->send_windows_->out_failed(slot->channel, slot->send_id, SendEnd::TimedOut);
            break;
        case LIBUSB_TRANSFER_CANCELLED:  // only the teardown cancels them
            device->send_windows_->out_failed(slot->channel, slot->send_id, SendEnd::Closed);
            break;
        default:
            device->send_windows_->out_failed(slot->channel, slot->send_id,
                                              SendEnd::TransferFailed);
            break;
    }
    // Notified under the lock: the teardown may free the device as soon as it sees it idle.
    std::lock_guard lock(device->queued_mutex_);
    device->queued_free_.push_back(slot->index);
    --device->queued_in_flight_;
    device->queued_idle_.notify_all();
}

void UsbDevice::drain_queued_sends() {
    // Every frame in flight is reported now, in the order sent; the cancellations below then
    // find nothing left to report.
    send_windows_->close_all(SendEnd::Closed);
    std::unique_lock lock(queued_mutex_);
    if (queued_slots_.empty()) {
        return;
    }
    std::vector<bool> free(queued_slots_.size(), false);
    for (const std::size_t index : queued_free_) {
        free[index] = true;
    }
    for (std::size_t index = 0; index < queued_slots_.size(); ++index) {
        if (!free[index]) {
            // A transfer whose callback is running may refuse; it is back soon anyway.
            (void)libusb_cancel_transfer(queued_slots_[index]->transfer.get());
        }
    }
    event_nap_.interrupt();
    const auto deadline = std::chrono::steady_clock::now() + RX_CANCEL_WAIT;
    if (event_handling_failure() == 0) {
        queued_idle_.wait_until(lock, deadline, [&] { return queued_in_flight_ == 0; });
    } else {
        // No event thread: this thread handles the cancellations' completions itself.
        timeval slice{0, 10'000};
        while (queued_in_flight_ > 0 && std::chrono::steady_clock::now() < deadline) {
            lock.unlock();
            (void)libusb_handle_events_timeout_completed(context_.get(), &slice, nullptr);
            lock.lock();
        }
    }
    // What did not come back is dropped by libusb_close.
}

}  // namespace ovel::usb
