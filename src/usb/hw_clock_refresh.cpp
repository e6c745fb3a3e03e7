// The adapter's counter re-read while reception runs, well within half its wrap period, as the
// Linux kernel does: an asynchronous TIMESTAMP request submitted and completed on the event
// thread, so that the clock it feeds stays the event thread's own.
#include <libusb.h>

#include "gsusb/control_records.h"
#include "gsusb/little_endian.h"
#include "platform/clocks.h"
#include "usb/usb_device.h"

namespace ovel::usb {
namespace {

constexpr std::uint8_t REQUEST_TYPE_IN = 0xC1;  // device to host, vendor, interface
constexpr std::uint16_t COUNTER_SIZE = 4;

}  // namespace

Expected<void, UsbError> UsbDevice::enable_hw_clock_refresh(std::chrono::nanoseconds period) {
    if (!refresh_transfer_) {
        refresh_transfer_.reset(libusb_alloc_transfer(0));
        if (!refresh_transfer_) {
            return unexpected(UsbError::transfer_alloc_failed());
        }
    }
    // The event thread takes it over with the next set_rx_timestamping.
    std::lock_guard lock(timestamping_mutex_);
    next_refresh_period_ns_ = period.count();
    return {};
}

void UsbDevice::refresh_hw_clock_when_due() {
    if (timestamping_changed_.load(std::memory_order_acquire)) {
        take_timestamping_change();
    }
    if (!hw_stamps_ || !refresh_transfer_ || refresh_in_flight_.load(std::memory_order_relaxed) ||
        !rx_streaming_.load(std::memory_order_relaxed)) {
        return;
    }
    const std::int64_t now = platform::monotonic_ns();
    if (now < next_refresh_ns_) {
        return;
    }
    next_refresh_ns_ = now + refresh_period_ns_;
    refresh_buffer_ = {REQUEST_TYPE_IN,
                       static_cast<std::uint8_t>(gsusb::Request::TIMESTAMP),
                       0,
                       0,  // wValue 0: the adapter's counter, not a channel's
                       0,
                       0,  // wIndex: interface 0
                       COUNTER_SIZE,
                       0};
    libusb_transfer* transfer = refresh_transfer_.get();
    fill_transfer(transfer, 0, LIBUSB_TRANSFER_TYPE_CONTROL, CONTROL_TIMEOUT_MS,
                  refresh_buffer_.data(), refresh_buffer_.size(), &UsbDevice::on_hw_clock_refresh);
    rx_in_flight_.fetch_add(1, std::memory_order_acq_rel);
    refresh_in_flight_.store(true, std::memory_order_release);
    if (libusb_submit_transfer(transfer) != 0) {
        refresh_in_flight_.store(false, std::memory_order_release);
        rx_transfer_done();
        return;
    }
    // A stop that began meanwhile may have missed it.
    if (!rx_streaming_.load(std::memory_order_seq_cst)) {
        libusb_cancel_transfer(transfer);
    }
}

void UsbDevice::on_hw_clock_refresh(libusb_transfer* transfer) {
    auto* device = static_cast<UsbDevice*>(transfer->user_data);
    // A failed read only means the next stamps are extended from the last one seen.
    if (transfer->status == LIBUSB_TRANSFER_COMPLETED && transfer->actual_length >= COUNTER_SIZE) {
        const auto reply =
            std::span<const std::uint8_t>(transfer->buffer + CONTROL_SETUP_SIZE, COUNTER_SIZE);
        device->hw_clock_.refresh(gsusb::Timestamp::decode(reply).counter_us, platform::monotonic_ns());
    }
    device->refresh_in_flight_.store(false, std::memory_order_release);
    device->rx_transfer_done();
}

}  // namespace ovel::usb
