// The transmit path: one host frame per bulk OUT transfer, waited for until it finishes.
#include <libusb.h>

#include "usb/usb_device.h"

namespace ovel::usb {
namespace {

std::int64_t steady_now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

void UsbDevice::on_tx_complete(libusb_transfer* transfer) {
    auto* device = static_cast<UsbDevice*>(transfer->user_data);
    ++device->completions_handled_;
    ++device->transmits_completed_;
    device->tx_done_.complete();
}

Expected<void, UsbError> UsbDevice::send(const gsusb::HostFrame& frame, gsusb::OutForms forms) {
    // As for control requests: before the transfer is touched, and again once armed.
    if (const int failed = event_handling_failure(); failed != 0) {
        return unexpected(UsbError::libusb("send: event handling", failed));
    }
    const std::size_t length = gsusb::encode_host_frame(frame, tx_buffer_, forms);
    libusb_transfer* transfer = tx_transfer_.get();
    fill_transfer(transfer, BULK_OUT_ENDPOINT, LIBUSB_TRANSFER_TYPE_BULK, BULK_OUT_TIMEOUT_MS,
                  tx_buffer_.data(), length, &UsbDevice::on_tx_complete);

    // A transmit that the caller makes as soon as its previous one returned belongs to a
    // sending loop: the event thread then stays awake for the next one rather than be woken for
    // each. Measured from the return, not from the completion, so that a wake-up that made the
    // previous call slow does not make the next one slow too.
    const std::int64_t since_last = steady_now_ns() - tx_returned_ns_;
    tx_back_to_back_.store(since_last < TX_LOOP_GAP.count(), std::memory_order_relaxed);

    tx_done_.arm();
    if (const int failed = event_handling_failure(); failed != 0) {
        tx_done_.disarm();
        return unexpected(UsbError::libusb("send: event handling", failed));
    }
    const int submitted = libusb_submit_transfer(transfer);
    if (submitted != 0) {
        tx_done_.disarm();
        tx_returned_ns_ = steady_now_ns();
        return unexpected(UsbError::libusb("send: libusb_submit_transfer", submitted));
    }
    event_nap_.interrupt();
    const bool completed = tx_done_.wait();
    tx_returned_ns_ = steady_now_ns();
    if (!completed) {
        return unexpected(UsbError::libusb("send: event handling", event_handling_failure()));
    }
    const int status_code = error_code_for_status(transfer->status);
    if (status_code != 0) {
        return unexpected(UsbError::libusb("send: transfer", status_code));
    }
    return {};
}

}  // namespace ovel::usb
