// The adapter as the commands use it: opening (first or by serial number), the channel settings
// shared by every command, and a teardown that always stops what was started and closes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "arguments.h"
#include "ovelcanfd.h"

namespace ovel::tool {

// The bitrates and sample points the python-can interface defaults to as well; the sample
// points (permille) are CiA's recommendations for the nominal and the data phase.
inline constexpr std::uint32_t DEFAULT_BITRATE = 500'000, DEFAULT_DATA_BITRATE = 2'000'000;
inline constexpr std::uint32_t DEFAULT_SAMPLE_POINT = 875, DEFAULT_DATA_SAMPLE_POINT = 750;
// What CAN runs at: the nominal phase at most 1 Mbit/s, a CAN FD data phase at most 10 Mbit/s
// (faster than any CAN FD transceiver is specified for). A bitrate above them is a typo that
// an adapter with a fast clock might otherwise take.
inline constexpr std::uint32_t MAX_BITRATE = 1'000'000, MAX_DATA_BITRATE = 10'000'000;

struct ChannelSettings {
    std::uint32_t bitrate = DEFAULT_BITRATE;
    std::optional<std::uint32_t> data_bitrate;  // set: CAN FD data phase bitrate
    std::uint32_t sample_point = DEFAULT_SAMPLE_POINT;            // permille
    std::uint32_t data_sample_point = DEFAULT_DATA_SAMPLE_POINT;  // permille
    bool fd = false;
    bool loopback = false;
    bool listen_only = false;
};

// The library's longest receive latency budget.
inline constexpr std::uint32_t MAX_RX_LATENCY_US = 10'000'000;

struct AdapterOptions {
    std::optional<std::string> serial;
    ChannelSettings settings;
    std::uint32_t rx_latency_us = 0;  // the receive latency budget, set at opening
};

// --serial, --bitrate, --dbitrate, --sample-point, --dsample-point, --fd, --loopback,
// --listen-only, --rx-latency. A short letter that the
// command's `own` options use is dropped (dump's -l logs to a file, as in candump).
std::vector<KnownOption> adapter_known_options(const std::vector<KnownOption>& own);
// Help text lines for those options, as adapter_known_options(own) accepts them.
std::string adapter_options_help(const std::vector<KnownOption>& own);
std::optional<AdapterOptions> read_adapter_options(const Arguments& arguments, std::string& error);

// How long a command waits for its queued frames before it stops their channels: the 1 s the
// library gives the adapter to take a frame, and the most the default window of 10 frames
// takes on a bus at `settings`' nominal bitrate (CAN FD's 64 bytes without bit-rate switch,
// stuff bits included, stay below 700 bits).
std::uint32_t flush_bound_ms(const ChannelSettings& settings);
// Why a queued frame failed, for a message ("the adapter went away").
const char* failed_send_reason(std::uint8_t reason);
// Reports failed queued sends on stderr, one line per reason with its count.
void report_failed_sends(const std::vector<ovel_canfd_failed_send>& failed);

class Adapter {
  public:
    Adapter();
    ~Adapter();
    Adapter(const Adapter&) = delete;
    Adapter& operator=(const Adapter&) = delete;

    // Each returns false after printing the library's failure text on stderr.
    // Opens the adapter of `options.serial` (the first without) and sets its receive latency.
    bool open(const AdapterOptions& options);
    bool configure(std::uint8_t channel, const ChannelSettings& settings);
    bool start(std::uint8_t channel);
    // Sets `failure` to the library's text instead of printing it.
    bool transmit(const ovel_canfd_frame& frame, std::string& failure);
    enum class SendOutcome { Sent, Failed, Interrupted };
    // The queued path: returns once the frame is handed to USB. A full window is waited out
    // (as a blocking SocketCAN write waits), in steps that notice Ctrl-C: Interrupted then,
    // nothing sent. Failed sets `failure` to the library's text. `send_id` gets the send's id.
    SendOutcome send(const ovel_canfd_frame& frame, std::uint32_t& send_id, std::string& failure);
    // The queued path for a caller that must not wait long: waits for room up to `timeout_ms`;
    // false with `failure` set to the library's text.
    bool send_within(const ovel_canfd_frame& frame, std::uint32_t timeout_ms, std::string& failure);
    // Waits up to `timeout_ms` until every queued frame is on the bus or reported failed;
    // false when frames were still in flight then (stopping their channels reports them).
    bool flush(std::uint32_t timeout_ms);
    // The queued frames reported failed since the last call, oldest first.
    std::vector<ovel_canfd_failed_send> take_failed_sends();
    void set_rx_callback(ovel_canfd_rx_callback_ex callback, void* user);
    // A handler that also gets each frame's receive info (completion and hardware times).
    void set_rx_handler(ovel_canfd_rx_handler handler, void* user);
    // Channel count of the open adapter.
    int channel_count();
    // Stops every channel this object started, then closes; false if a stop failed (reported).
    bool shut_down();
    // Stops every channel this object started and leaves the adapter open; false if a stop
    // failed (reported).
    bool stop_all();
    // The open adapter's counters and state of reception; false with none open.
    bool stats(ovel_canfd_stats& out);

  private:
    bool check(std::int32_t result);

    ovel_canfd_driver* handle_;
    std::vector<std::uint8_t> started_;
};

}  // namespace ovel::tool
