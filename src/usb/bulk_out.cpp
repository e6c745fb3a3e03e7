// The transmit path: one host frame per bulk OUT transfer, waited for until it finishes.
#include <libusb.h>

#include <thread>

#include "usb/cpu_relax.h"
#include "usb/usb_device.h"

namespace ovel::usb {
namespace {

// Polls of about 40 ns (a pause) before a waiting transmit starts yielding its core.
constexpr unsigned TX_SPIN_POLLS = 512;

}  // namespace

void UsbDevice::on_tx_complete(libusb_transfer* transfer) {
    auto* device = static_cast<UsbDevice*>(transfer->user_data);
    device->tx_pending_.store(false, std::memory_order_release);
}

Expected<void, UsbError> UsbDevice::send(const gsusb::HostFrame& frame) {
    const std::size_t length = gsusb::encode_host_frame(frame, tx_buffer_);
    libusb_transfer* transfer = shared_transfer_.get();
    fill_transfer(transfer, BULK_OUT_ENDPOINT, LIBUSB_TRANSFER_TYPE_BULK, BULK_OUT_TIMEOUT_MS,
                  tx_buffer_.data(), length, &UsbDevice::on_tx_complete);

    tx_pending_.store(true, std::memory_order_release);
    const int submitted = libusb_submit_transfer(transfer);
    if (submitted != 0) {
        tx_pending_.store(false, std::memory_order_release);
        return unexpected(UsbError::libusb("send: libusb_submit_transfer", submitted));
    }
    // Busy-polls so that a transmit returns as soon as the event thread has seen the completion.
    // Past a few microseconds the event thread is probably not running (more runnable threads
    // than cores): yielding then lets it have this core instead of spinning out a time slice.
    unsigned polls = 0;
    while (tx_pending_.load(std::memory_order_acquire)) {
        if (++polls < TX_SPIN_POLLS) {
            cpu_relax();
        } else {
            std::this_thread::yield();
        }
    }
    const int status_code = error_code_for_status(transfer->status);
    if (status_code != 0) {
        return unexpected(UsbError::libusb("send: transfer", status_code));
    }
    return {};
}

}  // namespace ovel::usb
