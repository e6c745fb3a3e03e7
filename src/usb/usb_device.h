// The transport object of one open adapter: its libusb handle with interface 0 claimed,
// its own libusb context and USB event thread, and the transfers and buffers that
// libusb writes into. Transfers point into this object, so it never moves.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "common/expected.h"
#include "gsusb/error_frame.h"
#include "gsusb/host_frame.h"
#include "usb/adapter_search.h"
#include "usb/completion_signal.h"
#include "usb/event_nap.h"
#include "usb/rx_health.h"
#include "usb/hw_clock.h"
#include "usb/rx_queue.h"
#include "usb/send_windows.h"
#include "usb/usb_context.h"
#include "usb/usb_error.h"

struct libusb_device_handle;
struct libusb_transfer;

namespace ovel::usb {

inline constexpr std::uint16_t GS_USB_VENDOR_ID = 0x1D50;
inline constexpr std::uint16_t GS_USB_PRODUCT_ID = 0x606F;
inline constexpr int GS_USB_INTERFACE = 0;
inline constexpr std::size_t RX_TRANSFER_COUNT = 32;
inline constexpr std::size_t CONTROL_SETUP_SIZE = 8;
// The largest reply is BT_CONST_EXT's 72 bytes.
inline constexpr std::size_t CONTROL_DATA_SIZE = 72;
inline constexpr unsigned CONTROL_TIMEOUT_MS = 1000;
inline constexpr unsigned BULK_OUT_TIMEOUT_MS = 1000;
// Receive transfers wait for the adapter as long as it takes, as the kernel's receive URBs do: a
// time-out would only cost wake-ups on a quiet bus and could cut a frame between its packets.
inline constexpr unsigned BULK_IN_TIMEOUT_MS = 0;
inline constexpr unsigned char BULK_IN_ENDPOINT = 0x81;
inline constexpr unsigned char BULK_OUT_ENDPOINT = 0x02;
// Receive recovery. A receive transfer that fails (or whose resubmission libusb refuses) is
// resubmitted at once RX_IMMEDIATE_RETRIES times in a row, then parked and resubmitted by the
// recovery thread after a delay that doubles from RX_RETRY_DELAY_MIN up to RX_RETRY_DELAY_MAX,
// so that a failing adapter never spins the event thread. The RX_MAX_ERROR_STREAK-th failure in
// a row of one transfer (some 2.6 s of failures) ends reception.
inline constexpr unsigned RX_IMMEDIATE_RETRIES = 2;
inline constexpr std::chrono::milliseconds RX_RETRY_DELAY_MIN{1};
inline constexpr std::chrono::milliseconds RX_RETRY_DELAY_MAX{64};
inline constexpr unsigned RX_MAX_ERROR_STREAK = 48;
// A halted endpoint does not recover by resubmission: the recovery thread takes every receive
// transfer off the endpoint, clears the halt and resubmits them. A stall after this many clears
// with no good completion in between ends reception.
inline constexpr unsigned RX_MAX_HALT_CLEARS = 4;
// Consecutive failures of libusb's event handling (other than an interrupted wait) after which
// the event thread gives up, as it would for an adapter that is gone, rather than spin.
inline constexpr unsigned EVENT_ERROR_LIMIT = 8;
inline constexpr std::chrono::milliseconds EVENT_ERROR_PAUSE{1};
// How long stop and teardown wait for cancelled receive transfers to come back.
inline constexpr std::chrono::milliseconds RX_CANCEL_WAIT{2000};
// A transmit submitted within this time of the previous one's return belongs to a sending loop.
inline constexpr std::chrono::nanoseconds TX_LOOP_GAP{10'000};
// After completing such a transmit the event thread polls this long for the next one: longer
// than a sender's wake-up, so that one slow call does not make the next one wait for the event
// thread's wake-up too.
inline constexpr std::chrono::nanoseconds TX_FOLLOW_WINDOW{50'000};

// Owns a libusb transfer object; frees it only when libusb can no longer touch it.
struct TransferDeleter {
    void operator()(libusb_transfer* transfer) const;
};
using TransferPtr = std::unique_ptr<libusb_transfer, TransferDeleter>;

class UsbDevice {
  public:
    // The first adapter in libusb's device list. Takes over the context; on failure
    // everything obtained is released in reverse order and the context is exited. `held`: the
    // adapter the caller holds already (claim_first_matching).
    static Expected<std::unique_ptr<UsbDevice>, UsbError> open(
        UsbContext context, const AdapterIdentity* held = nullptr);
    // The first adapter whose serial text equals `serial` exactly.
    static Expected<std::unique_ptr<UsbDevice>, UsbError> open_with_serial_number(
        UsbContext context, std::string serial, const AdapterIdentity* held = nullptr);
    // The first adapter at the port path `path` ("1-2.3").
    static Expected<std::unique_ptr<UsbDevice>, UsbError> open_with_path(
        UsbContext context, std::string path, const AdapterIdentity* held = nullptr);

    // Where the adapter sits and its descriptor strings, read at opening.
    const AdapterIdentity& identity() const { return identity_; }

    UsbDevice(const UsbDevice&) = delete;
    UsbDevice& operator=(const UsbDevice&) = delete;
    // Runs the teardown if it has not run yet.
    ~UsbDevice();

    // One vendor request, device to host; returns the reply (at least `length` bytes).
    Expected<std::vector<std::uint8_t>, UsbError> control_in(std::uint8_t request,
                                                             std::size_t length,
                                                             std::uint16_t value = 0);
    // One vendor request, host to device; fails unless the adapter took it.
    Expected<void, UsbError> control_out(std::uint8_t request, std::uint16_t value,
                                         std::span<const std::uint8_t> payload);
    // Asks libusb to cancel every receive transfer in flight; does not wait. A failing slot
    // does not stop the others from being cancelled; the first failure is reported.
    Expected<void, UsbError> cancel_transfers();

    // Allocates and submits the 32 bulk IN transfers. Fails if earlier ones are still in flight.
    Expected<void, UsbError> start_transfers();
    // Stops resubmission and pending recovery, cancels, and waits (bounded) until every receive
    // transfer is back. Fails only if a cancellation failed. A reception that ended by itself
    // keeps its reason until the next start.
    Expected<void, UsbError> stop_transfers();
    // Counters and state of reception; any thread.
    RxHealth rx_health() const;
    // Receive transfers submitted whose completion has not yet been handled for good.
    int rx_transfers_in_flight() const { return rx_in_flight_.load(std::memory_order_acquire); }
    // The adapter's highest channel index: received frames of other channels are dropped.
    // Set once, after opening, before the first start.
    void set_last_channel(std::uint8_t last_channel) { last_channel_ = last_channel; }

    // Sends one host frame on bulk OUT, in a form of `forms`, and waits until the transfer has
    // finished. A transfer that did not complete fails with Libusb("send: transfer", code).
    Expected<void, UsbError> send(const gsusb::HostFrame& frame,
                                  gsusb::OutForms forms = gsusb::OutForms::ShortAndLong);

    // Queued sends (bulk_out_queued.cpp): hands the frame to USB with an echo id of its own and
    // returns its send id at once, as long as its channel's window has room; the echo (or the
    // failure) takes it out of the window later.
    struct QueuedSendError {
        enum class Kind : std::uint8_t { WindowFull, ChannelClosed, Usb } kind;
        UsbError usb = UsbError::device_not_found();
    };
    Expected<std::uint64_t, QueuedSendError> send_queued(gsusb::HostFrame frame,
                                                         gsusb::OutForms forms,
                                                         const std::shared_ptr<SendLedger>& ledger);
    const std::shared_ptr<SendWindows>& send_windows() const { return send_windows_; }

    // Whether received frames carry the adapter's stamp (the HW_TIMESTAMP mode flag is on), and
    // the adapter's counter read at the start of streaming (nullopt: the first stamp anchors).
    // Any thread; takes effect with the next frame the event thread handles.
    void set_rx_timestamping(bool enabled, std::optional<HwAnchor> anchor);
    // Makes the event thread re-read the adapter's counter (TIMESTAMP, asynchronously) every
    // `period` while reception runs with stamps. Only for adapters that have the request; call
    // while reception is stopped, before set_rx_timestamping (which hands the period over).
    // Fails only if no transfer could be allocated.
    Expected<void, UsbError> enable_hw_clock_refresh(std::chrono::nanoseconds period);
    // The status the error frames received on `channel` imply; reset when it starts.
    gsusb::BusStatus bus_status(unsigned channel) const;
    void reset_bus_status(unsigned channel);

    // The consuming end of the receive queue, shared with the receive dispatch thread.
    const std::shared_ptr<RxQueue>& rx_queue() const { return rx_queue_; }
    // Receive latency budget (0: none); the event thread naps under it, the dispatch thread
    // sleeps under it. Any thread; takes effect at once.
    void set_rx_latency_budget(std::chrono::nanoseconds budget);

    // Cancels, releases interface 0, gives interface 0 back to the kernel driver that opening
    // detached, closes the handle, ends the event thread and exits the context, in that order.
    // Sends nothing to the adapter. Idempotent.
    void teardown();

    // 0 while USB event handling runs; once it has failed for good, the libusb error that ended
    // it. Control requests and transmits then fail at once with it ("...: event handling").
    int event_handling_failure() const { return events_failed_.load(std::memory_order_seq_cst); }

  private:
    UsbDevice(UsbContext context, libusb_device_handle* handle, TransferPtr control_transfer,
              TransferPtr tx_transfer, std::shared_ptr<RxQueue> rx_queue);
    static Expected<std::unique_ptr<UsbDevice>, UsbError> open_matching(
        UsbContext context, const AdapterSelector& selector, const AdapterIdentity* held);
    static Expected<std::unique_ptr<UsbDevice>, UsbError> finish_open(UsbContext context,
                                                                      ClaimedAdapter claimed);
    void run_event_loop();
    // Whether event handling goes on after a call that returned `result`.
    bool event_handling_may_go_on(int result);
    void end_event_handling(int error);
    void drain_after_event_failure();
    void poll_for_next_transmit();
    // After a blocking round that brought `received` frames: how long the event thread may nap.
    std::chrono::nanoseconds nap_after_round(std::uint64_t received);
    static void on_control_complete(libusb_transfer* transfer);
    void fill_control_transfer(std::uint8_t request_type, std::uint8_t request, std::uint16_t value,
                               std::uint16_t length);
    // Fills every field of a transfer of this device; no flags, no isochronous packets.
    void fill_transfer(libusb_transfer* transfer, unsigned char endpoint, unsigned char type,
                       unsigned timeout_ms, std::uint8_t* buffer, std::size_t length,
                       void (*callback)(libusb_transfer*));
    static void on_rx_complete(libusb_transfer* transfer);
    // Receive recovery (rx_recovery.cpp). The event thread side: each takes a transfer whose
    // completion it is handling and resubmits it, parks it for the recovery thread, or lets go.
    void resubmit_rx(std::size_t slot);
    void on_rx_error(std::size_t slot);
    void on_rx_stall(std::size_t slot);
    enum class RxWait : std::uint8_t { None, Retry, Halt };
    void park_rx(std::size_t slot, RxWait wait, std::chrono::steady_clock::time_point due);
    // Ends reception by itself with `reason`, unless it is not streaming; cancels the rest.
    void end_reception(RxEnd reason);
    bool end_reception_locked(RxEnd reason);
    // The recovery thread side; called with recovery_mutex_ held.
    bool ensure_recovery_thread();
    void stop_recovery_thread();
    void run_recovery();
    void clear_halt_locked(std::unique_lock<std::mutex>& lock);
    // Cancels the receive transfers still on the endpoint and waits (bounded) until each is
    // parked; false if some did not come back. With recovery_mutex_ held.
    bool drain_for_clear_locked(std::unique_lock<std::mutex>& lock, std::uint64_t generation);
    // Cancels only the receive transfers, not the clock's re-read.
    void cancel_rx_transfers();
    // Retries cancelling the transfers of a stopped or ended reception until they are back.
    void retry_cancellation_locked(std::unique_lock<std::mutex>& lock);
    void resubmit_parked_locked(std::size_t slot, std::unique_lock<std::mutex>& lock);
    // Decodes a received transfer and queues the frame, unless it is one the header rules out.
    void queue_received(const libusb_transfer& transfer);
    // Moves the stamp out of the frame's bytes, maps it, notes the overflow flag and follows the
    // channel's state through error frames. Event thread.
    RxMeta annotate_received(gsusb::HostFrame& frame, std::size_t received, std::uint64_t sequence);
    // The host clocks of this round of event handling, read at its first completion.
    void read_round_clocks();
    void new_event_round() { round_clocks_read_ = false; }
    // Takes over a change that set_rx_timestamping made.
    void take_timestamping_change();
    // Event thread, once per round: submits the TIMESTAMP read when it is due.
    void refresh_hw_clock_when_due();
    static void on_hw_clock_refresh(libusb_transfer* transfer);
    static void on_tx_complete(libusb_transfer* transfer);
    static void on_queued_out_complete(libusb_transfer* transfer);
    // Teardown: cancels the queued sends' transfers still in flight and waits (bounded) for them.
    void drain_queued_sends();
    void rx_transfer_done();
    bool wait_rx_idle(std::chrono::milliseconds bound);

    UsbContext context_;
    libusb_device_handle* handle_;
    std::atomic<bool> event_loop_running_{true};
    std::atomic<int> events_failed_{0};
    unsigned event_error_streak_ = 0;  // event thread only
    // Frames queued and transmits completed; touched by the event thread only.
    std::uint64_t completions_handled_ = 0;
    std::uint64_t transmits_completed_ = 0;
    std::thread event_thread_;
    EventNap event_nap_;
    // Control requests and transmits each have their own transfer and buffer.
    TransferPtr control_transfer_;
    alignas(64) std::array<std::uint8_t, CONTROL_SETUP_SIZE + CONTROL_DATA_SIZE> control_buffer_{};
    alignas(64) CompletionSignal control_done_;
    std::array<TransferPtr, RX_TRANSFER_COUNT> rx_transfers_{};
    // Receive transfers of this streaming period handed to libusb, in slot order (each stays
    // allocated until the teardown): while a start still fills the others, they are the only
    // ones another thread, the event thread ending reception or the recovery thread, may cancel.
    std::atomic<std::size_t> rx_transfers_submitted_{0};
    // Each receive transfer's user data: which device and slot it belongs to.
    struct RxSlot {
        UsbDevice* device;
        std::size_t index;
    };
    std::array<RxSlot, RX_TRANSFER_COUNT> rx_slots_{};
    std::uint8_t last_channel_ = 255;
    alignas(64) std::array<std::array<std::uint8_t, gsusb::HOST_FRAME_SIZE>,
                           RX_TRANSFER_COUNT> rx_buffers_{};
    // Per receive transfer, written only by the thread that holds the transfer (the event
    // thread between its completion and resubmission, the recovery thread while it is parked):
    // failures in a row, and the halt clears made when it was submitted.
    std::array<std::uint8_t, RX_TRANSFER_COUNT> rx_error_streak_{};
    std::array<std::uint32_t, RX_TRANSFER_COUNT> rx_slot_clears_{};
    // Halt clears since the last good completion: the recovery thread counts them, the event
    // thread resets them.
    std::atomic<std::uint32_t> rx_clears_since_data_{0};
    alignas(64) RxEventCounters rx_counters_;
    std::shared_ptr<RxQueue> rx_queue_;
    alignas(64) std::atomic<bool> rx_streaming_{false};
    std::atomic<int> rx_in_flight_{0};
    std::mutex rx_idle_mutex_;
    std::condition_variable rx_idle_;
    // Receive recovery: the parked transfers, the thread that resubmits them and clears halts,
    // and the state of reception. rx_streaming_ and rx_state_ change only under the mutex.
    struct RxParked {
        RxWait wait = RxWait::None;
        std::chrono::steady_clock::time_point due{};
    };
    std::mutex recovery_mutex_;
    std::condition_variable recovery_wake_;
    std::array<RxParked, RX_TRANSFER_COUNT> rx_parked_{};
    std::uint64_t rx_generation_ = 0;  // bumped by every start and stop
    unsigned failed_clears_ = 0;       // libusb_clear_halt failures in a row
    // While set, the event thread parks receive transfers for the halt's clear instead of
    // resubmitting them. Written by the recovery thread under recovery_mutex_.
    std::atomic<bool> rx_halt_draining_{false};
    // A cancellation failed while reception is not streaming: the recovery thread retries it, as
    // the transfers have no time-out to bring them back. Under recovery_mutex_.
    bool rx_cancel_retry_ = false;
    unsigned rx_cancel_retries_ = 0;
    bool recovery_quit_ = false;
    std::thread recovery_thread_;
    std::atomic<std::uint32_t> rx_halt_clears_{0};  // halt clears made; the recovery thread's
    std::atomic<RxState> rx_state_{RxState::Stopped};
    std::atomic<RxEnd> rx_end_{RxEnd::None};
    RxRecoveryCounters recovery_counters_;
    // Receive notes, event thread only: a sequence number per transfer that brought bytes, the
    // host clocks of the current round, and the adapter's clock.
    std::uint64_t rx_sequence_ = 0;
    bool round_clocks_read_ = false;
    std::int64_t round_realtime_ns_ = 0;
    std::int64_t round_monotonic_ns_ = 0;
    bool hw_stamps_ = false;
    HwClock hw_clock_;
    // A change of the above from another thread, taken over at the next frame.
    std::atomic<bool> timestamping_changed_{false};
    std::mutex timestamping_mutex_;
    bool next_hw_stamps_ = false;
    std::optional<HwAnchor> next_anchor_;
    // The periodic TIMESTAMP read: allocated before reception starts, counted in rx_in_flight_
    // and cancelled with the receive transfers.
    TransferPtr refresh_transfer_;
    std::array<std::uint8_t, CONTROL_SETUP_SIZE + 4> refresh_buffer_{};
    std::int64_t next_refresh_period_ns_ = 0;  // under timestamping_mutex_
    std::int64_t refresh_period_ns_ = 0;       // event thread, as the next two
    std::int64_t next_refresh_ns_ = 0;
    std::atomic<bool> refresh_in_flight_{false};
    // Per channel: state | rx errors << 8 | tx errors << 16, as error frames left it.
    std::array<std::atomic<std::uint32_t>, 256> bus_status_{};
    TransferPtr tx_transfer_;
    alignas(64) CompletionSignal tx_done_;
    // steady_clock ns at which the last send returned; senders only (one at a time).
    std::int64_t tx_returned_ns_ = 0;
    // Whether the transmit in flight followed its predecessor's completion at once.
    std::atomic<bool> tx_back_to_back_{false};
    std::array<std::uint8_t, gsusb::HOST_FRAME_LONG_SIZE> tx_buffer_{};
    // Queued sends: one transfer and buffer per frame on its way to the adapter, allocated as
    // needed and reused; a slot is busy from its submission to its callback.
    struct QueuedSlot {
        TransferPtr transfer;
        std::array<std::uint8_t, gsusb::HOST_FRAME_LONG_SIZE> buffer{};
        UsbDevice* device = nullptr;
        std::size_t index = 0;
        std::uint64_t send_id = 0;
        std::uint8_t channel = 0;
    };
    std::mutex queued_mutex_;
    std::condition_variable queued_idle_;
    std::vector<std::unique_ptr<QueuedSlot>> queued_slots_;  // under queued_mutex_
    std::vector<std::size_t> queued_free_;                   // under queued_mutex_
    int queued_in_flight_ = 0;                               // under queued_mutex_
    std::shared_ptr<SendWindows> send_windows_ = std::make_shared<SendWindows>();
    bool torn_down_ = false;
    bool kernel_driver_detached_ = false;
    AdapterIdentity identity_;
};

}  // namespace ovel::usb
