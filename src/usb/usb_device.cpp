#include "usb/usb_device.h"

#include <algorithm>
#include <chrono>
#include <new>
#include <system_error>

#include <libusb.h>

#include "common/thread_name.h"
#include "common/utf8.h"
#include "usb/cpu_relax.h"

namespace ovel::usb {

void TransferDeleter::operator()(libusb_transfer* transfer) const {
    libusb_free_transfer(transfer);
}

UsbDevice::UsbDevice(UsbContext context, libusb_device_handle* handle, TransferPtr control_transfer,
                     TransferPtr tx_transfer, std::shared_ptr<RxQueue> rx_queue)
    : context_(std::move(context)),
      handle_(handle),
      control_transfer_(std::move(control_transfer)),
      rx_queue_(std::move(rx_queue)),
      tx_transfer_(std::move(tx_transfer)) {
    for (std::size_t slot = 0; slot < RX_TRANSFER_COUNT; ++slot) {
        rx_slots_[slot] = RxSlot{this, slot};
    }
}

UsbDevice::~UsbDevice() {
    teardown();
}

Expected<std::unique_ptr<UsbDevice>, UsbError> UsbDevice::open(UsbContext context) {
    libusb_device_handle* handle =
        libusb_open_device_with_vid_pid(context.get(), GS_USB_VENDOR_ID, GS_USB_PRODUCT_ID);
    if (handle == nullptr) {
        return unexpected(UsbError::device_not_found());
    }
    return finish_open(std::move(context), handle);
}

Expected<std::unique_ptr<UsbDevice>, UsbError> UsbDevice::open_with_serial_number(
    UsbContext context, std::string serial) {
    libusb_device_handle* handle =
        find_by_serial_number(context.get(), GS_USB_VENDOR_ID, GS_USB_PRODUCT_ID, serial);
    serial.clear();
    serial.shrink_to_fit();
    if (handle == nullptr) {
        return unexpected(UsbError::device_not_found());
    }
    return finish_open(std::move(context), handle);
}

Expected<std::unique_ptr<UsbDevice>, UsbError> UsbDevice::finish_open(
    UsbContext context, libusb_device_handle* handle) {
    bool claimed = false;
    // Undo in reverse order of acquisition: claim, handle, context.
    auto fail = [&](UsbError error) -> Expected<std::unique_ptr<UsbDevice>, UsbError> {
        if (claimed) {
            libusb_release_interface(handle, GS_USB_INTERFACE);
        }
        libusb_close(handle);
        context.reset();
        return unexpected(error);
    };

    const int detached = libusb_detach_kernel_driver(handle, GS_USB_INTERFACE);
    if (detached != 0 && detached != LIBUSB_ERROR_NOT_FOUND &&
        detached != LIBUSB_ERROR_NOT_SUPPORTED) {
        return fail(UsbError::libusb("libusb_detach_kernel_driver", detached));
    }
    const int claim = libusb_claim_interface(handle, GS_USB_INTERFACE);
    if (claim != 0) {
        return fail(UsbError::libusb("libusb_claim_interface", claim));
    }
    claimed = true;
    TransferPtr control_transfer(libusb_alloc_transfer(0));
    if (!control_transfer) {
        return fail(UsbError::transfer_alloc_failed());
    }
    TransferPtr tx_transfer(libusb_alloc_transfer(0));
    if (!tx_transfer) {
        return fail(UsbError::transfer_alloc_failed());
    }
    std::shared_ptr<RxQueue> rx_queue;
    try {
        rx_queue = std::make_shared<RxQueue>();
    } catch (const std::bad_alloc&) {
        return fail(UsbError::libusb("open: out of memory", LIBUSB_ERROR_NO_MEM));
    }
    std::unique_ptr<UsbDevice> device(
        new (std::nothrow) UsbDevice(std::move(context), handle, std::move(control_transfer),
                                     std::move(tx_transfer), std::move(rx_queue)));
    if (!device) {
        return fail(UsbError::libusb("open: out of memory", LIBUSB_ERROR_NO_MEM));
    }
    try {
        device->event_thread_ = std::thread(&UsbDevice::run_event_loop, device.get());
    } catch (const std::system_error&) {
        // The teardown releases the claim, the handle and the context in the same order.
        device->teardown();
        return unexpected(UsbError::libusb("open: event thread", LIBUSB_ERROR_NO_MEM));
    }
    return device;
}

void UsbDevice::fill_transfer(libusb_transfer* transfer, unsigned char endpoint, unsigned char type,
                              unsigned timeout_ms, std::uint8_t* buffer, std::size_t length,
                              void (*callback)(libusb_transfer*)) {
    transfer->dev_handle = handle_;
    transfer->flags = 0;
    transfer->endpoint = endpoint;
    transfer->type = type;
    transfer->timeout = timeout_ms;
    transfer->buffer = buffer;
    transfer->length = static_cast<int>(length);
    transfer->actual_length = 0;
    transfer->callback = callback;
    transfer->user_data = this;
    transfer->num_iso_packets = 0;
}

namespace {

// The event thread blocks in libusb, which costs nothing while the bus is quiet and one wake-up
// per USB (micro)frame while it is busy. It polls without blocking only while polling clearly
// pays, as NAPI does: while each round of event handling completes a batch of transfers (the
// adapter streams faster than a wake-up costs), up to a budget of rounds, and falls back to
// blocking as soon as a round brings less.
constexpr std::uint64_t POLL_BATCH = 4;
constexpr unsigned POLL_BUDGET = 64;

}  // namespace

void UsbDevice::run_event_loop() {
    name_this_thread("ovel-usb-events");
    timeval no_wait{0, 0};
    unsigned polls = 0;
    while (event_loop_running_.load(std::memory_order_acquire)) {
        const std::uint64_t handled = completions_handled_;
        const std::uint64_t transmitted = transmits_completed_;
        rx_queue_->note_producer_polling(polls > 0);
        new_event_round();
        if (polls > 0) {
            libusb_handle_events_timeout_completed(context_.get(), &no_wait, nullptr);
        } else {
            libusb_handle_events(context_.get());
        }
        const std::uint64_t round = completions_handled_ - handled;
        if (round > 0) {
            rx_queue_->end_batch();
        }
        refresh_hw_clock_when_due();
        polls = round >= POLL_BATCH && polls < POLL_BUDGET ? polls + 1 : 0;
        if (polls == 0 && transmits_completed_ != transmitted &&
            tx_back_to_back_.load(std::memory_order_relaxed)) {
            poll_for_next_transmit();
        }
    }
}

// A sending loop submits its next frame within microseconds of the last completion; waking
// the event thread for it would cost more than the frame's whole round trip on a fast adapter.
void UsbDevice::poll_for_next_transmit() {
    timeval no_wait{0, 0};
    rx_queue_->note_producer_polling(true);
    auto end = std::chrono::steady_clock::now() + TX_FOLLOW_WINDOW;
    while (event_loop_running_.load(std::memory_order_acquire)) {
        const std::uint64_t handled = completions_handled_;
        const std::uint64_t transmitted = transmits_completed_;
        new_event_round();
        libusb_handle_events_timeout_completed(context_.get(), &no_wait, nullptr);
        const auto now = std::chrono::steady_clock::now();
        if (completions_handled_ != handled) {
            // The echoes of a sending loop are delivered in batches; end_batch() below makes
            // sure the last one is not left waiting.
            rx_queue_->end_batch_deferring_wake();
            if (transmits_completed_ == transmitted ||
                !tx_back_to_back_.load(std::memory_order_relaxed)) {
                break;
            }
            end = now + TX_FOLLOW_WINDOW;  // the loop goes on
        } else if (now >= end) {
            break;
        } else {
            cpu_relax();
        }
    }
    rx_queue_->end_batch();
}

void UsbDevice::teardown() {
    if (torn_down_) {
        return;
    }
    torn_down_ = true;
    // libusb does not support closing a handle with transfers in flight, and the cancelled
    // ones only come back through the event thread, so it keeps running until they have.
    (void)stop_transfers();
    event_loop_running_.store(false, std::memory_order_release);
    libusb_release_interface(handle_, GS_USB_INTERFACE);
    libusb_close(handle_);
    handle_ = nullptr;
    // The wake-up that libusb_close gives the event thread is lost if the thread is just
    // between two calls; an interrupt is remembered until event handling consumes it.
    libusb_interrupt_event_handler(context_.get());
    if (event_thread_.joinable()) {
        event_thread_.join();
    }
    for (auto& transfer : rx_transfers_) {
        transfer.reset();
    }
    control_transfer_.reset();
    refresh_transfer_.reset();
    tx_transfer_.reset();
    context_.reset();
    // The producing end goes last: the dispatch thread drains what is queued, then ends.
    rx_queue_->disconnect();
}

libusb_device_handle* find_by_serial_number(libusb_context* context, std::uint16_t vendor_id,
                                            std::uint16_t product_id, const std::string& serial) {
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(context, &list);
    if (count < 0) {
        return nullptr;
    }
    libusb_device_handle* found = nullptr;
    for (ssize_t i = 0; i < count && found == nullptr; ++i) {
        libusb_device_descriptor descriptor{};
        if (libusb_get_device_descriptor(list[i], &descriptor) != 0) {
            continue;
        }
        if (descriptor.idVendor != vendor_id || descriptor.idProduct != product_id) {
            continue;
        }
        libusb_device_handle* handle = nullptr;
        if (libusb_open(list[i], &handle) != 0 || handle == nullptr) {
            continue;
        }
        std::string text;
        if (descriptor.iSerialNumber != 0) {
            unsigned char buffer[256] = {};
            const int length = libusb_get_string_descriptor_ascii(handle, descriptor.iSerialNumber,
                                                                  buffer, sizeof buffer);
            if (length > 0) {
                text.assign(reinterpret_cast<const char*>(buffer),
                            std::min(static_cast<std::size_t>(length), sizeof buffer));
                if (!is_valid_utf8(text)) {
                    text.clear();
                }
            }
        }
        if (text == serial) {
            found = handle;
        } else {
            libusb_close(handle);
        }
    }
    libusb_free_device_list(list, 1);
    return found;
}

}  // namespace ovel::usb
