#include "usb/usb_device.h"

#include <algorithm>
#include <chrono>
#include <new>
#include <system_error>
#include <utility>

#include <libusb.h>

#include "platform/thread_name.h"
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

Expected<std::unique_ptr<UsbDevice>, UsbError> UsbDevice::open(UsbContext context,
                                                               const AdapterIdentity* held) {
    return open_matching(std::move(context), AdapterSelector{}, held);
}

Expected<std::unique_ptr<UsbDevice>, UsbError> UsbDevice::open_with_serial_number(
    UsbContext context, std::string serial, const AdapterIdentity* held) {
    return open_matching(std::move(context),
                         AdapterSelector{AdapterSelector::By::Serial, std::move(serial)}, held);
}

Expected<std::unique_ptr<UsbDevice>, UsbError> UsbDevice::open_with_path(
    UsbContext context, std::string path, const AdapterIdentity* held) {
    return open_matching(std::move(context),
                         AdapterSelector{AdapterSelector::By::Path, std::move(path)}, held);
}

Expected<std::unique_ptr<UsbDevice>, UsbError> UsbDevice::open_matching(
    UsbContext context, const AdapterSelector& selector, const AdapterIdentity* held) {
    auto claimed = claim_first_matching(context.get(), selector, held);
    if (!claimed) {
        return unexpected(claimed.error());
    }
    return finish_open(std::move(context), std::move(claimed.value()));
}

Expected<std::unique_ptr<UsbDevice>, UsbError> UsbDevice::finish_open(UsbContext context,
                                                                      ClaimedAdapter claimed) {
    libusb_device_handle* handle = claimed.handle;
    // Undo in reverse order of acquisition: claim, kernel driver, handle, context.
    auto fail = [&](UsbError error) -> Expected<std::unique_ptr<UsbDevice>, UsbError> {
        libusb_release_interface(handle, GS_USB_INTERFACE);
        if (claimed.kernel_driver_detached) {
            (void)libusb_attach_kernel_driver(handle, GS_USB_INTERFACE);
        }
        libusb_close(handle);
        context.reset();
        return unexpected(error);
    };

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
    device->kernel_driver_detached_ = claimed.kernel_driver_detached;
    device->identity_ = std::move(claimed.identity);
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
    platform::name_this_thread("ovel-usb-events");
    timeval no_wait{0, 0};
    unsigned polls = 0;
    bool napped = false;
    while (event_loop_running_.load(std::memory_order_acquire)) {
        const std::uint64_t handled = completions_handled_;
        const std::uint64_t transmitted = transmits_completed_;
        rx_queue_->note_producer_polling(polls > 0);
        new_event_round();
        const std::uint32_t nap_epoch = event_nap_.round_start();
        const int result =
            polls > 0 ? libusb_handle_events_timeout_completed(context_.get(), &no_wait, nullptr)
                      : libusb_handle_events(context_.get());
        if (!event_handling_may_go_on(result)) {
            rx_queue_->note_producer_polling(false);
            return;
        }
        const std::uint64_t round = completions_handled_ - handled;
        if (round > 0) {
            if (napped) {
                rx_queue_->end_held_batch();
            } else {
                rx_queue_->end_batch();
            }
        }
        refresh_hw_clock_when_due();
        const std::chrono::nanoseconds nap =
            polls == 0 ? nap_after_round(round - (transmits_completed_ - transmitted))
                       : std::chrono::nanoseconds::zero();
        napped = nap > std::chrono::nanoseconds::zero();
        if (napped) {
            event_nap_.nap(nap_epoch, nap);
            continue;
        }
        // Under a budget the naps gather the frames: polling for them would only cost a core.
        const bool budget = rx_queue_->latency_budget() > std::chrono::nanoseconds::zero();
        polls = !budget && round >= POLL_BATCH && polls < POLL_BUDGET ? polls + 1 : 0;
        if (polls == 0 && transmits_completed_ != transmitted &&
            tx_back_to_back_.load(std::memory_order_relaxed)) {
            poll_for_next_transmit();
        }
    }
}

std::chrono::nanoseconds UsbDevice::nap_after_round(std::uint64_t received) {
    std::chrono::nanoseconds budget = rx_queue_->latency_budget();
    if (budget == std::chrono::nanoseconds::zero()) {
        return budget;
    }
    // Only receive transfers wait for the adapter meanwhile: a request, a transmit or a queued
    // frame in flight wants its completion at once.
    if (!rx_streaming_.load(std::memory_order_acquire) || control_done_.pending() ||
        tx_done_.pending() || send_windows_->any_in_flight()) {
        budget = std::chrono::nanoseconds::zero();
    }
    return event_nap_.length(budget, received, rx_transfers_in_flight(),
                             std::chrono::steady_clock::now());
}

void UsbDevice::set_rx_latency_budget(std::chrono::nanoseconds budget) {
    rx_queue_->set_latency_budget(budget);
    event_nap_.interrupt();  // a nap under the old budget ends
}

bool UsbDevice::event_handling_may_go_on(int result) {
    if (result == 0) {
        event_error_streak_ = 0;
        return true;
    }
    // A signal cut libusb's wait short: nothing is wrong.
    if (result == LIBUSB_ERROR_INTERRUPTED) {
        return true;
    }
    if (++event_error_streak_ < EVENT_ERROR_LIMIT) {
        // A passing shortage (memory, descriptors) gets a moment to clear; the pause also keeps
        // a failing libusb from being called in a tight loop.
        std::this_thread::sleep_for(EVENT_ERROR_PAUSE);
        return true;
    }
    end_event_handling(result);
    return false;
}

// Nothing will complete a transfer any more: callers waiting for one are released with the
// error, and later ones fail before they submit (see event_handling_failure()).
void UsbDevice::end_event_handling(int error) {
    events_failed_.store(error, std::memory_order_seq_cst);
    control_done_.abandon();
    tx_done_.abandon();
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
        if (libusb_handle_events_timeout_completed(context_.get(), &no_wait, nullptr) < 0) {
            break;  // the main loop's next call tells whether the failure lasts
        }
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
    // Queued sends first, while the event thread still brings their cancelled transfers back:
    // every frame still in flight is reported failed, once.
    if (event_handling_failure() == 0) {
        drain_queued_sends();
    }
    // libusb does not support closing a handle with transfers in flight, and the cancelled
    // ones only come back through the event thread, so it keeps running until they have.
    if (event_handling_failure() == 0) {
        (void)stop_transfers();
    } else {
        drain_after_event_failure();
        drain_queued_sends();
    }
    // The recovery thread may be clearing a halt on the handle.
    stop_recovery_thread();
    event_loop_running_.store(false, std::memory_order_release);
    libusb_release_interface(handle_, GS_USB_INTERFACE);
    // The system's own CAN interface comes back when the application lets go of the adapter.
    if (kernel_driver_detached_) {
        (void)libusb_attach_kernel_driver(handle_, GS_USB_INTERFACE);
    }
    libusb_close(handle_);
    handle_ = nullptr;
    // The wake-up that libusb_close gives the event thread is lost if the thread is just
    // between two calls; an interrupt is remembered until event handling consumes it.
    libusb_interrupt_event_handler(context_.get());
    event_nap_.interrupt();
    if (event_thread_.joinable()) {
        event_thread_.join();
    }
    rx_transfers_submitted_.store(0, std::memory_order_relaxed);
    for (auto& transfer : rx_transfers_) {
        transfer.reset();
    }
    control_transfer_.reset();
    refresh_transfer_.reset();
    tx_transfer_.reset();
    {
        std::lock_guard lock(queued_mutex_);
        queued_slots_.clear();
        queued_free_.clear();
    }
    context_.reset();
    // The producing end goes last: the dispatch thread drains what is queued, then ends.
    rx_queue_->disconnect();
}

// The event thread has given up: it has left its loop and touches nothing more. This thread
// cancels what is in flight and handles the events it still can, within the bound that stop
// gives cancellations; whatever is still in flight after that is dropped by libusb_close, as
// the transfers of an adapter that is gone.
void UsbDevice::drain_after_event_failure() {
    if (event_thread_.joinable()) {
        event_thread_.join();
    }
    rx_streaming_.store(false, std::memory_order_seq_cst);
    (void)cancel_transfers();
    for (auto [transfer, done] : {std::pair{control_transfer_.get(), &control_done_},
                                  std::pair{tx_transfer_.get(), &tx_done_}}) {
        if (done->abandoned()) {
            libusb_cancel_transfer(transfer);
        }
    }
    const auto deadline = std::chrono::steady_clock::now() + RX_CANCEL_WAIT;
    timeval slice{0, 10'000};
    while ((rx_transfers_in_flight() > 0 || control_done_.abandoned() || tx_done_.abandoned()) &&
           std::chrono::steady_clock::now() < deadline) {
        const int result = libusb_handle_events_timeout_completed(context_.get(), &slice, nullptr);
        if (result < 0 && result != LIBUSB_ERROR_INTERRUPTED) {
            break;
        }
    }
}

}  // namespace ovel::usb
