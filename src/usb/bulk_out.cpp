// The transmit path: one host frame per bulk OUT transfer, waited for until it finishes.
#include <libusb.h>

#include "usb/cpu_relax.h"
#include "usb/usb_device.h"

namespace ovel::usb {
void UsbDevice::on_tx_complete(libusb_transfer* transfer) {
    auto* device = static_cast<UsbDevice*>(transfer->user_data);
    ++device->completions_handled_;
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
    spin_while_set(tx_pending_);
    const int status_code = error_code_for_status(transfer->status);
    if (status_code != 0) {
        return unexpected(UsbError::libusb("send: transfer", status_code));
    }
    return {};
}

}  // namespace ovel::usb
