// Vendor control requests on endpoint 0.
#include <algorithm>
#include <cstring>

#include <libusb.h>

#include "usb/usb_device.h"

namespace ovel::usb {
namespace {

constexpr std::uint8_t REQUEST_TYPE_IN = 0xC1;   // device to host, vendor, interface
constexpr std::uint8_t REQUEST_TYPE_OUT = 0x41;  // host to device, vendor, interface

}  // namespace

void UsbDevice::fill_control_transfer(std::uint8_t request_type, std::uint8_t request,
                                      std::uint16_t value, std::uint16_t length) {
    std::fill(control_buffer_.begin() + CONTROL_SETUP_SIZE, control_buffer_.end(), 0);
    control_buffer_[0] = request_type;
    control_buffer_[1] = request;
    control_buffer_[2] = static_cast<std::uint8_t>(value & 0xFF);
    control_buffer_[3] = static_cast<std::uint8_t>(value >> 8);
    control_buffer_[4] = 0;  // wIndex: interface 0
    control_buffer_[5] = 0;
    control_buffer_[6] = static_cast<std::uint8_t>(length & 0xFF);
    control_buffer_[7] = static_cast<std::uint8_t>(length >> 8);

    // A control transfer is the setup packet and the wLength bytes of its data stage.
    fill_transfer(control_transfer_.get(), 0, LIBUSB_TRANSFER_TYPE_CONTROL, CONTROL_TIMEOUT_MS,
                  control_buffer_.data(), CONTROL_SETUP_SIZE + length,
                  &UsbDevice::on_control_complete);
}

void UsbDevice::on_control_complete(libusb_transfer* transfer) {
    auto* device = static_cast<UsbDevice*>(transfer->user_data);
    device->control_done_.complete();
}

Expected<std::vector<std::uint8_t>, UsbError> UsbDevice::control_in(std::uint8_t request,
                                                                    std::size_t length,
                                                                    std::uint16_t value) {
    if (length > CONTROL_DATA_SIZE) {
        return unexpected(UsbError::libusb("control_in: length", LIBUSB_ERROR_INVALID_PARAM));
    }
    // Checked before the transfer is touched (it may be in flight for good) and again once
    // armed, so that an end of event handling in between is not missed.
    if (const int failed = event_handling_failure(); failed != 0) {
        return unexpected(UsbError::libusb("control_in: event handling", failed));
    }
    fill_control_transfer(REQUEST_TYPE_IN, request, value, static_cast<std::uint16_t>(length));
    control_done_.arm();
    if (const int failed = event_handling_failure(); failed != 0) {
        control_done_.disarm();
        return unexpected(UsbError::libusb("control_in: event handling", failed));
    }
    const int submitted = libusb_submit_transfer(control_transfer_.get());
    if (submitted != 0) {
        control_done_.disarm();
        return unexpected(UsbError::libusb("control_in: libusb_submit_transfer", submitted));
    }
    event_nap_.interrupt();
    if (!control_done_.wait()) {
        return unexpected(UsbError::libusb("control_in: event handling", event_handling_failure()));
    }
    // A stalled or unanswered request says so, rather than look like a short reply.
    if (const int status_code = error_code_for_status(control_transfer_->status);
        status_code != 0) {
        return unexpected(UsbError::libusb("control_in: transfer", status_code));
    }
    const int received = control_transfer_->actual_length;
    if (received < static_cast<int>(length)) {
        return unexpected(UsbError::invalid_control_response());
    }
    const auto data = control_buffer_.begin() + CONTROL_SETUP_SIZE;
    const auto count = std::min(static_cast<std::size_t>(received), CONTROL_DATA_SIZE);
    return std::vector<std::uint8_t>(data, data + static_cast<std::ptrdiff_t>(count));
}

Expected<void, UsbError> UsbDevice::control_out(std::uint8_t request, std::uint16_t value,
                                                std::span<const std::uint8_t> payload) {
    if (payload.size() > CONTROL_DATA_SIZE) {
        return unexpected(UsbError::libusb("control_out: length", LIBUSB_ERROR_INVALID_PARAM));
    }
    if (const int failed = event_handling_failure(); failed != 0) {
        return unexpected(UsbError::libusb("control_out: event handling", failed));
    }
    fill_control_transfer(REQUEST_TYPE_OUT, request, value,
                          static_cast<std::uint16_t>(payload.size()));
    std::copy(payload.begin(), payload.end(), control_buffer_.begin() + CONTROL_SETUP_SIZE);
    control_done_.arm();
    if (const int failed = event_handling_failure(); failed != 0) {
        control_done_.disarm();
        return unexpected(UsbError::libusb("control_out: event handling", failed));
    }
    const int submitted = libusb_submit_transfer(control_transfer_.get());
    if (submitted != 0) {
        control_done_.disarm();
        return unexpected(UsbError::libusb("control_out: libusb_submit_transfer", submitted));
    }
    event_nap_.interrupt();
    if (!control_done_.wait()) {
        return unexpected(
            UsbError::libusb("control_out: event handling", event_handling_failure()));
    }
    // A stalled or unanswered request did not reach the adapter's configuration.
    const int status_code = error_code_for_status(control_transfer_->status);
    if (status_code != 0) {
        return unexpected(UsbError::libusb("control_out: transfer", status_code));
    }
    return {};
}

}  // namespace ovel::usb
