// The open adapter: its transport, the configuration read at opening, and the
// per-channel settings with the device-wide running flag.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/expected.h"
#include "device/channel_settings.h"
#include "device/device_stats.h"
#include "device/driver_error.h"
#include "device/rx_dispatcher.h"
#include "gsusb/control_records.h"
#include "gsusb/error_frame.h"
#include "gsusb/host_frame.h"
#include "usb/usb_device.h"

namespace ovel {

// Why an open failed: either no libusb context could be created (no DriverError
// exists for that), or the DriverError that made it fail.
struct OpenFailure {
    bool context_failed = false;
    // The first adapter that matches is the one the caller holds (`held` of the open).
    bool held_first = false;
    DriverError error = DriverError::device_not_found();

    std::string describe() const;
};

// Where a channel's bus state came from.
enum class BusStateSource {
    Library,      // the channel is not on the bus: stopped
    Adapter,      // the adapter's GET_STATE answer
    ErrorFrames,  // derived from the error frames the adapter sent on the channel
};

struct ChannelBusState {
    gsusb::BusState state = gsusb::BusState::Stopped;
    std::uint32_t rx_errors = 0, tx_errors = 0;
    BusStateSource source = BusStateSource::Library;
};

class Device {
  public:
    // `held`: the adapter the caller holds already, which is not busy to it (OpenFailure).
    static Expected<std::unique_ptr<Device>, OpenFailure> open(
        const usb::AdapterIdentity* held = nullptr);
    static Expected<std::unique_ptr<Device>, OpenFailure> open_with_serial_number(
        std::string serial, const usb::AdapterIdentity* held = nullptr);
    static Expected<std::unique_ptr<Device>, OpenFailure> open_with_path(
        std::string path, const usb::AdapterIdentity* held = nullptr);

    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;
    // Retires the dispatch thread (see retire_dispatcher) and tears the transport down. Waits
    // for no dispatch thread: RxDispatchLine::finish does.
    ~Device();
    // Hands a running dispatch thread to the line: asked to stop when called from inside the
    // callback; otherwise it delivers what is queued and ends once the transport is gone.
    // Called as the device leaves its handle, under the handle's lock, so that a call that
    // finds no device still finds the thread on the line and waits for it.
    void retire_dispatcher();

    unsigned icount() const { return icount_; }
    std::uint32_t fclk_can() const { return fclk_can_; }
    std::uint32_t features() const { return features_; }
    std::uint32_t sw_version() const { return sw_version_; }
    std::uint32_t hw_version() const { return hw_version_; }
    const ChannelSettings& channel(unsigned index) const { return channels_.at(index); }
    // BT_CONST as read at opening: features, CAN clock and the nominal timing limits.
    const gsusb::BtConst& bt_const() const { return bt_const_; }
    const usb::AdapterIdentity& identity() const { return usb_->identity(); }
    bool running() const { return running_.load(std::memory_order_acquire); }
    // Diagnostics: received frames not yet delivered, receive transfers still in flight.
    std::size_t rx_queue_size() const { return usb_->rx_queue()->size(); }
    int rx_transfers_in_flight() const { return usb_->rx_transfers_in_flight(); }
    bool rx_consumer_sleeping() const { return usb_->rx_queue()->consumer_sleeping(); }
    // Counters and state of reception.
    usb::RxHealth rx_health() const { return usb_->rx_health(); }
    // Every counter and the state of reception; any thread.
    DeviceStats stats() const;
    // Counts the callbacks made with a frame. Shared: a dispatch thread may outlive the device.
    const std::shared_ptr<std::atomic<std::uint64_t>>& delivered_counter() const {
        return delivered_;
    }

    // Setters: bitrates go to the adapter at once, flags with the next start.
    Expected<void, DriverError> set_bitrate(unsigned channel, std::uint32_t bitrate);
    Expected<void, DriverError> set_data_bitrate(unsigned channel, std::uint32_t bitrate);
    Expected<void, DriverError> set_enabled(unsigned channel, bool enabled);
    Expected<void, DriverError> set_monitor(unsigned channel, bool monitor);
    Expected<void, DriverError> set_hw_loopback(unsigned channel, bool loopback);
    Expected<void, DriverError> set_fd(unsigned channel, bool fd);

    // The line of the handle this device belongs to: it starts the dispatch threads and takes
    // them over when their period ends. Set once, before the first start; without it the
    // first start makes one of the device's own.
    void set_dispatch_line(std::shared_ptr<RxDispatchLine> line) { line_ = std::move(line); }
    // Puts the channel on the bus; the first start of a stopped device also starts the
    // receive dispatch thread, which hands every received frame to `handler`.
    Expected<void, DriverError> start(unsigned channel, FrameHandler handler = {});
    // Takes the channel off the bus; the last one also ends reception. The dispatch thread is
    // asked to stop and handed to the line, not waited for: the caller waits for it
    // (RxDispatchLine::finish) without holding the locks its handler may need. A start that
    // fails once its dispatch thread runs hands it over the same way.
    Expected<void, DriverError> stop(unsigned channel);

    // The channel's bus state and error counters: from GET_STATE when the adapter has it (and
    // tells), otherwise from its error frames; stopped for a channel not on the bus.
    Expected<ChannelBusState, DriverError> bus_state(unsigned channel);

    // How often the adapter's counter is re-read while reception runs with stamps: well within
    // half its 71.6-minute wrap period. Tests shorten it; takes effect at the next start.
    void set_hw_clock_refresh_period(std::chrono::nanoseconds period) {
        hw_clock_refresh_period_ = period;
    }

    // Sends one frame and waits until the adapter has taken it.
    Expected<void, DriverError> transmit(const gsusb::CanFrame& frame);
    // Hands one frame to USB without waiting (queued send); returns its send id. Busy when the
    // channel's window is full, NotRunning when the channel is not started (or disabled).
    Expected<std::uint64_t, DriverError> send(const gsusb::CanFrame& frame,
                                              const std::shared_ptr<usb::SendLedger>& ledger);
    // Frames a channel may have in flight with queued sends: 1 to 32 (default 10).
    Expected<void, DriverError> set_send_window(unsigned channel, unsigned frames);
    const std::shared_ptr<usb::SendWindows>& send_windows() const { return usb_->send_windows(); }
    // How long a received frame may wait before the dispatch thread is woken for it: 0 (the
    // default, every batch wakes it) to 10 s, in microseconds; kept while the adapter is open.
    Expected<void, DriverError> set_rx_latency(std::uint32_t max_us);
    std::chrono::nanoseconds rx_latency_budget() const {
        return usb_->rx_queue()->latency_budget();
    }

    // The channel's 120 ohm termination (feature TERMINATION), and the LED blinking that
    // shows which adapter is which (feature IDENTIFY). Sent at once.
    Expected<void, DriverError> set_termination(unsigned channel, bool on);
    Expected<bool, DriverError> termination(unsigned channel);
    Expected<void, DriverError> identify(unsigned channel, bool on);
    // Bitrate setters for a chosen sample point in permille (0: the CiA 601-3 default), within
    // the adapter's own timing limits (bit_timing_ops.cpp).
    Expected<void, DriverError> set_bitrate_sample_point(unsigned channel, std::uint32_t bitrate,
                                                         std::uint32_t sample_point);
    Expected<void, DriverError> set_data_bitrate_sample_point(unsigned channel,
                                                              std::uint32_t bitrate,
                                                              std::uint32_t sample_point);
    // An explicit timing in time quanta for the nominal or data phase, checked against the
    // adapter's limits for that phase (bit_timing_ops.cpp).
    Expected<void, DriverError> set_explicit_timing(bool data_phase, unsigned channel,
                                                    const gsusb::BitTiming& timing);
    // The timing the adapter last took for the channel's nominal or data phase; nullopt before.
    Expected<std::optional<gsusb::BitTiming>, DriverError> sent_timing(unsigned channel,
                                                                       bool data_phase) const;
    // The limits the adapter reported: BT_CONST, and BT_CONST_EXT's data-phase ones when it has
    // them (otherwise the nominal ones serve the data phase too).
    const gsusb::TimingLimits& nominal_limits() const { return nominal_limits_; }
    const gsusb::TimingLimits& data_limits() const { return data_limits_; }
    // The request the data-phase timing goes out with: 8 until the adapter stalls it and takes
    // 10 instead.
    std::uint8_t data_timing_request() const { return data_timing_request_; }

  private:
    explicit Device(std::unique_ptr<usb::UsbDevice> usb);
    static Expected<std::unique_ptr<Device>, OpenFailure> open_sequence(
        Expected<std::unique_ptr<usb::UsbDevice>, usb::UsbError> opened);

    Expected<void, DriverError> check_channel(unsigned channel) const;
    // What transmit and send refuse to put on the wire.
    Expected<void, DriverError> check_frame(const gsusb::CanFrame& frame) const;
    Expected<void, DriverError> check_feature(std::uint32_t feature_bit, const char* name) const;
    Expected<void, DriverError> check_not_started(unsigned channel) const;
    Expected<void, DriverError> set_mode_setting(unsigned channel, bool ChannelSettings::*setting,
                                                 bool value, std::uint32_t feature_bit,
                                                 const char* feature_name);
    Expected<void, DriverError> send_bit_timing(bool data_phase, unsigned channel,
                                                std::uint32_t bitrate);
    // Sends a computed timing for one phase and records it as the channel's last one.
    Expected<void, DriverError> send_timing(bool data_phase, unsigned channel,
                                            const gsusb::BitTiming& timing);
    Expected<void, DriverError> set_sample_point_timing(bool data_phase, unsigned channel,
                                                        std::uint32_t bitrate,
                                                        std::uint32_t sample_point);
    Expected<void, DriverError> send_mode(unsigned channel, std::uint32_t mode,
                                          std::uint32_t flags);
    Expected<void, DriverError> start_streaming(FrameHandler handler);
    // Turns stamps on for a new streaming period when the adapter has them, anchored to its
    // counter when it can be read; returns the MODE flag to start channels with.
    std::uint32_t prepare_timestamps();
    std::uint32_t hw_timestamp_flag() const {
        return (features_ & gsusb::FEATURE_HW_TIMESTAMP) != 0 ? gsusb::MODE_FLAG_HW_TIMESTAMP : 0;
    }
    void end_dispatcher();

    std::unique_ptr<usb::UsbDevice> usb_;
    std::shared_ptr<RxDispatchLine> line_;
    std::shared_ptr<RxDispatcher> dispatcher_;  // of the current streaming period
    std::vector<ChannelSettings> channels_;
    std::atomic<bool> running_{false};
    unsigned icount_ = 0;
    std::uint32_t fclk_can_ = 0;
    std::uint32_t sw_version_ = 0;
    std::uint32_t hw_version_ = 0;
    std::uint32_t features_ = 0;
    std::shared_ptr<std::atomic<std::uint64_t>> delivered_ =
        std::make_shared<std::atomic<std::uint64_t>>(0);
    TxCounters tx_counters_;
    gsusb::BtConst bt_const_{};
    gsusb::TimingLimits nominal_limits_;
    gsusb::TimingLimits data_limits_;
    std::uint8_t data_timing_request_ = static_cast<std::uint8_t>(gsusb::Request::DATA_BITTIMING);
    std::chrono::nanoseconds hw_clock_refresh_period_ = std::chrono::minutes(10);
};

}  // namespace ovel
