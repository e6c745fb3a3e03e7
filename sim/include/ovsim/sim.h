// Control API of the simulated gs_usb adapter.
//
// The simulator is a libusb-1.0 implementation (the functions of <libusb-1.0/libusb.h> that the
// driver calls) over emulated adapters. Tests and benchmarks link it instead of the real libusb
// and use this header to plug adapters in, shape their behaviour, inject faults and read back
// what reached the wire. Every function here may be called from any thread.
//
// Misuse of the libusb API (a closed handle used, a transfer freed while in flight, libusb_exit
// with open handles...) prints "ovsim: misuse: ..." on stderr and aborts the process.
#pragma once

#include <libusb.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace ovsim {

namespace detail {
struct AdapterModel;
}

// gs_usb request codes that the emulated adapter understands.
inline constexpr std::uint8_t REQUEST_HOST_FORMAT = 0;
inline constexpr std::uint8_t REQUEST_BITTIMING = 1;
inline constexpr std::uint8_t REQUEST_MODE = 2;
inline constexpr std::uint8_t REQUEST_BT_CONST = 4;
inline constexpr std::uint8_t REQUEST_DEVICE_CONFIG = 5;
inline constexpr std::uint8_t REQUEST_DATA_BITTIMING = 8;
inline constexpr std::uint8_t REQUEST_IDENTIFY = 7;
inline constexpr std::uint8_t REQUEST_SET_TERMINATION = 12;
inline constexpr std::uint8_t REQUEST_GET_TERMINATION = 13;

// Feature bits that allow the optional requests. A request whose bit the adapter did not report
// is misuse: real firmware stalls it or, worse, takes it for another request.
inline constexpr std::uint32_t FEATURE_HW_TIMESTAMP = 1u << 4;
inline constexpr std::uint32_t FEATURE_IDENTIFY = 1u << 5;
inline constexpr std::uint32_t FEATURE_USER_ID = 1u << 6;
inline constexpr std::uint32_t FEATURE_FD = 1u << 8;
inline constexpr std::uint32_t FEATURE_BT_CONST_EXT = 1u << 10;
inline constexpr std::uint32_t FEATURE_TERMINATION = 1u << 11;
inline constexpr std::uint32_t FEATURE_GET_STATE = 1u << 13;
// The data-phase timing on firmware that follows the Linux kernel's numbering (Firmware::Standard).
inline constexpr std::uint8_t REQUEST_DATA_BITTIMING_STANDARD = 10;
inline constexpr std::uint8_t REQUEST_BT_CONST_EXT = 11;
// Answered only by adapters that report the feature; a request without it aborts as misuse.
inline constexpr std::uint8_t REQUEST_TIMESTAMP = 6;   // FEATURE_HW_TIMESTAMP
inline constexpr std::uint8_t REQUEST_GET_STATE = 14;  // FEATURE_GET_STATE

inline constexpr std::uint8_t ENDPOINT_CONTROL = 0x00;
inline constexpr std::uint8_t ENDPOINT_BULK_IN = 0x81;
inline constexpr std::uint8_t ENDPOINT_BULK_OUT = 0x02;

// MODE flags as the adapter stores them per channel.
inline constexpr std::uint32_t MODE_FLAG_LISTEN_ONLY = 0x1;
inline constexpr std::uint32_t MODE_FLAG_LOOP_BACK = 0x2;
inline constexpr std::uint32_t MODE_FLAG_FD = 0x100;
// Frames the adapter sends on this channel carry its microsecond counter: classic frames grow
// to 24 bytes (stamp at offset 20), FD frames to 80 (stamp at 76).
inline constexpr std::uint32_t MODE_FLAG_HW_TIMESTAMP = 0x10;

inline constexpr std::uint8_t FRAME_FLAG_OVERFLOW = 0x01;  // frames were lost before this one
inline constexpr std::uint8_t FRAME_FLAG_FD = 0x02;
inline constexpr std::uint8_t FRAME_FLAG_BRS = 0x04;
inline constexpr std::uint32_t CAN_ERR_FLAG = 0x20000000;  // can_id of an error frame
inline constexpr std::uint32_t ECHO_ID_RECEIVED = 0xFFFFFFFF;

// When the outcomes the adapter decides reach the host's completion queue.
//  Immediate: as soon as they are decided.
//  HighSpeed: bulk completions at the next 125 us microframe boundary, at most 13 packets of
//             512 bytes per microframe and adapter (a transfer of L bytes takes ceil(L/512)
//             packets, at least 1); one that no longer fits moves to the next microframe.
//  FullSpeed: the same with 1 ms frames and at most 19 packets of 64 bytes per frame.
// Boundaries are whole multiples of the period on steady_clock. Control completions wait for
// the next boundary without a budget. Completions keep their order per endpoint. Time-outs,
// cancellations and unplugging complete transfers as in Immediate.
enum class LinkTiming { Immediate, HighSpeed, FullSpeed };

// The request numbering of the adapter's firmware.
//  Original: takes the data-phase timing as request 8; 10 stalls like any unknown request.
//  Standard: numbers requests as the Linux kernel's gs_usb driver does, as most firmware in the
//            field: the data-phase timing is 10, and 8 (GET_USER_ID, an IN request) stalls
//            when it comes as an OUT request.
enum class Firmware { Original, Standard };

struct AdapterSpec {
    std::uint16_t vendor_id = 0x1D50, product_id = 0x606F;
    std::optional<std::string> serial = "OVSIM0001";  // nullopt: iSerialNumber 0
    bool serial_unreadable = false;  // the string descriptor read stalls (LIBUSB_ERROR_PIPE)
    std::uint8_t icount = 1;         // highest channel index: icount + 1 channels
    std::uint32_t sw_version = 2, hw_version = 1, features = 0x103, fclk_can = 80'000'000;
    // tseg1_min, tseg1_max, tseg2_min, tseg2_max, sjw_max, brp_min, brp_max, brp_inc
    std::array<std::uint32_t, 8> bt_limits = {1, 16, 1, 8, 4, 1, 1024, 1};
    bool kernel_driver_attached = true;
    LinkTiming link_timing = LinkTiming::Immediate;
    // Descriptor strings (iManufacturer 1, iProduct 2).
    std::string manufacturer = "ovsim";
    std::string product = "ovsim gs_usb adapter";
    // Where it is plugged: libusb_get_bus_number and libusb_get_port_numbers. No ports: root
    // hub port N on bus 1 for the N-th adapter plugged (1-based), as with adapters plugged
    // straight into a computer.
    std::uint8_t bus_number = 1;
    std::vector<std::uint8_t> port_numbers{};
    // Termination of every channel when plugged in.
    bool termination_on = false;
    Firmware firmware = Firmware::Original;
    // The data-phase limits that BT_CONST_EXT (11) reports after BT_CONST's words, in bt_limits'
    // order; nullopt: the same as bt_limits. Answered only when `features` has
    // FEATURE_BT_CONST_EXT; otherwise request 11 stalls.
    std::optional<std::array<std::uint32_t, 8>> data_bt_limits = std::nullopt;
};

// One control transfer as the adapter received it.
struct ControlRecord {
    std::array<std::uint8_t, 8> setup;  // the setup packet, byte for byte
    std::uint8_t request_type, request;
    std::uint16_t value, index, length;  // wValue, wIndex, wLength
    std::vector<std::uint8_t> payload;   // OUT: the wLength data-stage bytes; IN: empty
    int transfer_length;                 // libusb_transfer::length (setup included)
    std::uint8_t endpoint = 0, type = LIBUSB_TRANSFER_TYPE_CONTROL;
};

// A host frame for feed_frame(). wire_length -1: 20 bytes for a classic frame, 76 with FD.
struct FrameSpec {
    std::uint32_t echo_id = ECHO_ID_RECEIVED, can_id = 0;
    std::uint8_t dlc = 0, channel = 0, flags = 0;
    std::vector<std::uint8_t> data;  // up to 64 bytes, the rest is zero
    int wire_length = -1;
    // While the channel runs with MODE_FLAG_HW_TIMESTAMP the frame carries a stamp (and
    // wire_length -1 means 24 or 80 bytes): this one, or the adapter's counter when fed.
    std::optional<std::uint32_t> timestamp_us = std::nullopt;
};

enum class OutBehaviour {
    Take,    // complete at once, record, echo on bulk IN when the frame's channel is started
    Ignore,  // never complete: the transfer ends with its own time-out
    Stall,   // complete with LIBUSB_TRANSFER_STALL
    Error,   // complete with LIBUSB_TRANSFER_ERROR
};

// Generated receive traffic. Frame k: channel channels[k % size], can_id 0x100 + channel, data
// bytes 0..7 = k (u64 LE). Classic: 20 bytes, dlc 8. FD frames (76 bytes, FLAG_FD, dlc 15) also
// carry steady_clock times in ns (u64 LE): in data bytes 8..15 when the transfer was completed,
// that is when its completion was released to the host (the frame boundary under a timed
// LinkTiming, the moment it was decided under Immediate); in bytes 16..23 the frame's time on
// the bus (started + k / rate_hz, or the moment it was decided when rate_hz is 0).
// How a channel takes part in its bus, from the last BITTIMING, DATA_BITTIMING and MODE requests
// (bitrates 0 until set). Two channels understand each other's frames only with the same
// nominal bitrate; a CAN FD frame also needs a receiver in FD mode and, with bit-rate switch,
// the same data bitrate. Other frames are lost to the receiver, as on a mis-configured bus.
struct ChannelBus {
    std::uint32_t nominal_bitrate = 0;
    std::uint32_t data_bitrate = 0;
    std::uint32_t mode_flags = 0;

    bool hears(const ChannelBus& sender, std::uint8_t frame_flags) const;
};

class Adapter;

// The sender of a frame put on the bus, and its channel's configuration.
struct BusSender {
    const Adapter* adapter;
    ChannelBus channel;
};

struct StreamSpec {
    std::uint64_t count = 0;  // 0: unlimited
    std::vector<std::uint8_t> channels = {0};
    bool fd = false;
    double rate_hz = 0;  // 0: each IN transfer completes as soon as it is submitted
};

struct Counters {
    int contexts;             // libusb_init without libusb_exit
    int handles;              // open device handles
    int claimed_interfaces;   // claims not yet released (closing a handle drops its claim)
    int transfers_allocated;  // libusb_alloc_transfer without libusb_free_transfer
    int transfers_in_flight;  // submitted, callback not yet started
    int threads_in_handle_events;
    // Of those, the threads blocked waiting for an event (not handling one, not polling).
    int threads_blocked_in_handle_events;
    // Times a thread began to block there: how often event handling was woken, in effect.
    int handle_events_sleeps;
    int device_refs;  // device references held outside handles (lists not freed, ref_device)
    // libusb_close calls that dropped in-flight transfers of a plugged adapter for which no
    // cancellation had been requested: real libusb reports this as an error.
    int closed_with_transfers_in_flight;
    // libusb_close calls that dropped transfers whose cancellation was requested but whose
    // callback had not run yet: real libusb warns about this and never calls those callbacks.
    int closed_with_cancellations_pending;
};

// One emulated adapter. Owned by the simulator and valid until reset().
class Adapter {
  public:
    // libusb_open of this adapter fails with `code` (0 clears the fault).
    void set_open_result(int code);
    // libusb_detach_kernel_driver / libusb_claim_interface return `code` instead of their usual
    // result (until clear_faults()). A forced 0 performs the normal detach or claim.
    void set_detach_result(int code);
    void set_claim_result(int code);
    // Control request faults, by request code, until clear_faults():
    // reply only `length` bytes (status COMPLETED, at most wLength);
    void set_reply_length(std::uint8_t request, int length);
    // complete with `status` and actual_length 0;
    void set_control_status(std::uint8_t request, libusb_transfer_status status);
    // never answer: the transfer ends with its own time-out.
    void set_no_answer(std::uint8_t request);
    // Applies to outcomes decided from now on; those already waiting for a boundary keep it.
    void set_link_timing(LinkTiming timing);
    // Clears every fault above, the refusals, IN failures and halts, and the open result.
    void clear_faults();
    // libusb_submit_transfer on `endpoint` (0, 0x81, 0x02) returns `code` for the next `count`
    // submissions; -1: until clear_faults(). A refused submission reaches nothing.
    void refuse_submissions(std::uint8_t endpoint, int code, int count = -1);
    // libusb_cancel_transfer on a transfer of this adapter returns `code` and cancels nothing,
    // for the next `count` calls; -1: until clear_faults(). As when the kernel refuses to
    // discard a request: the transfer completes later by itself (data or its time-out).
    void refuse_cancellations(int code, int count = -1);
    // The adapter disappears: gone from new device lists, submissions fail with
    // LIBUSB_ERROR_NO_DEVICE, every transfer in flight completes with LIBUSB_TRANSFER_NO_DEVICE.
    void unplug();
    // A cable pulled and put back: unplugs this adapter (if it is still plugged) and plugs in a
    // new one with the same configuration at the end of the device list, which it returns. Handles to the
    // old adapter stay dead; a new libusb_open reaches the new one.
    Adapter& replug();

    std::vector<ControlRecord> control_requests() const;
    void clear_control_requests();
    bool channel_started(std::uint8_t channel) const;
    std::uint32_t channel_flags(std::uint8_t channel) const;
    // A kernel driver is bound to interface 0 (plugged with kernel_driver_attached; detached by
    // libusb_detach_kernel_driver, bound again by libusb_attach_kernel_driver).
    bool kernel_driver_attached() const;
    // The channel's termination (SET_TERMINATION) and whether IDENTIFY last asked to blink.
    bool termination(std::uint8_t channel) const;
    bool identifying() const;
    ChannelBus channel_bus(std::uint8_t channel) const;

    // Queues one frame for the host, any length; it completes the oldest pending IN transfer.
    void feed(std::vector<std::uint8_t> bytes);
    // As feed_frame, but the adapter falls behind between the frame's packets: the oldest
    // pending IN transfer takes the first packet (64 bytes at full speed, 512 otherwise) at once
    // and the rest `gap` later (real time, not scaled), frames behind it waiting meanwhile. A
    // transfer that ends in between (time-out, cancellation) keeps the first packet's bytes,
    // and the rest then ends the next transfer as a short one of its own.
    void feed_split(const FrameSpec& frame, std::chrono::microseconds gap);
    void feed_frame(const FrameSpec& frame);
    // As feed, but the IN transfer it completes carries `status` with the bytes, as libusb may
    // report a transfer that timed out or was cancelled after its data arrived.
    void feed_with_status(std::vector<std::uint8_t> bytes, libusb_transfer_status status);
    // The next `count` IN completions carry `status` and no data (pending transfers first).
    // LIBUSB_TRANSFER_STALL halts the endpoint as halt_in() does; each of the `count` stalls is
    // one halt, so the endpoint halts again after each of the first count - 1 clears.
    void fail_in(libusb_transfer_status status, int count);
    // Queues one malformed frame, its kind and bytes chosen by `seed`: shorter than a classic
    // frame, an FD frame cut short, a DLC above 15, a channel the adapter lacks, or longer than
    // an 80-byte receive buffer (that transfer overflows). A host must drop every one of them.
    void feed_garbage(std::uint32_t seed);
    // Halts bulk IN as a real adapter does: it answers the oldest IN transfer in flight (or the
    // next one submitted) with LIBUSB_TRANSFER_STALL; the host controller then stops the
    // endpoint's queue, so the other transfers queued on it wait (until cancelled) without
    // completing. libusb_clear_halt(handle, 0x81) clears the halt and restarts the queue; a
    // transfer submitted to an empty queue restarts it too (and stalls again while the halt
    // lasts). With `persists`, clearing succeeds but does not cure the halt.
    // A clear made while IN transfers are still queued returns 0 and clears the adapter's halt,
    // but, as on real host controllers (xHCI refuses to reset a busy endpoint, EHCI warns), the
    // host's data toggle is not reset: the host then drops the adapter's next packet as a
    // repeat, losing that frame (or the first 64 bytes, at full speed, of a longer one).
    void halt_in(bool persists = false);
    int clear_halt_count() const;  // libusb_clear_halt calls on bulk IN
    int clears_with_transfers_queued() const;  // of those, made with IN transfers still queued
    int in_packets_dropped() const;  // packets lost to a data toggle such a clear left stale
    std::uint64_t in_submissions() const;  // bulk IN transfers submitted and accepted
    std::size_t frames_waiting() const;  // fed frames not yet taken by an IN transfer

    void set_out_behaviour(OutBehaviour b);
    std::vector<std::vector<std::uint8_t>> out_frames() const;  // every bulk OUT transfer's bytes
    // Bulk OUT transfers the adapter took but could not parse as a host frame: on an adapter
    // without FEATURE_FD, any longer than 20 bytes (its firmware knows no 76-byte form). Such a
    // transfer completes normally, yet the frame is neither echoed nor put on the bus.
    int out_frames_unparsed() const;
    void clear_out_frames();

    int in_transfers_pending() const;  // IN transfers submitted and waiting for a frame

    // The transmit side. Each channel buffers up to `frames` frames (default 3, at least 1) that
    // it took from the host and has not yet put on the bus; a bulk OUT whose channel's buffer is
    // full is NAKed: it stays pending (and every OUT behind it, the endpoint being one queue)
    // until room frees, its time-out, a cancellation or unplugging. Frames of a stopped channel
    // are taken and dropped; stopping a channel forgets its buffer.
    void set_tx_buffer_frames(std::size_t frames);
    // Off (default): a buffered frame is on the bus and echoed at once. On: it leaves the bus
    // (and is echoed, stamped then) after its time on the bus at the channel's bitrates, frame
    // after frame (adapter_tx.cpp gives the bit count; stuff bits are not counted).
    void set_bus_timing(bool on);
    // false: no node acknowledges, so no frame leaves the buffers (a controller retries
    // without end) and nothing is echoed; true (default) again: they go on from now.
    void set_acknowledged(bool acknowledged);
    std::size_t tx_frames_buffered(std::uint8_t channel) const;
    int out_transfers_waiting() const;  // bulk OUT transfers NAKed for want of room
    // The most bulk OUT transfers NAKed at once since the adapter was added: above 1 only
    // when the host had several frames in flight together.
    int out_transfers_waiting_high_water() const;

    // The adapter's free-running 1 MHz counter (TIMESTAMP's answer and the stamp of frames)
    // continues from `now_us` (e.g. just before its wrap-around); it starts at 0 when plugged.
    void set_timestamp_counter(std::uint32_t now_us);
    std::uint32_t timestamp_counter() const;
    // GET_STATE's answer for the channel from now on (by default: 0 error-active with counters
    // 0 while the channel is started, 4 stopped otherwise). A state above 5 means "cannot tell".
    void set_bus_state(std::uint8_t channel, std::uint32_t state, std::uint32_t rxerr,
                       std::uint32_t txerr);
    // The error frame a controller sends on a state change: can_id CAN_ERR_FLAG | `classes`,
    // 8 bytes, data[1] = `controller`, data[6] = txerr, data[7] = rxerr; GET_STATE answers the
    // same state and counters from then on (`state` as GET_STATE numbers it).
    void inject_state_change(std::uint8_t channel, std::uint32_t classes, std::uint8_t controller,
                             std::uint32_t state, std::uint8_t rxerr, std::uint8_t txerr);

    void start_stream(const StreamSpec& config);
    void stop_stream();
    std::uint64_t streamed() const;  // frames completed by the current stream

  private:
    friend struct detail::AdapterModel;
    explicit Adapter(detail::AdapterModel& model) : model_(model) {}
    detail::AdapterModel& model_;
};

// A host frame's time on the bus as the adapter counts it with bus timing on (set_bus_timing):
// its bits without stuff bits, the arbitration and end at `nominal_bitrate`, CAN FD's data phase
// at `data_bitrate` with bit-rate switch.
std::chrono::nanoseconds frame_time_on_bus(const std::vector<std::uint8_t>& host_frame,
                                           std::uint32_t nominal_bitrate,
                                           std::uint32_t data_bitrate);

// Plugs in a new adapter; device lists return adapters in the order they were added.
Adapter& add_adapter(const AdapterSpec& config = {});
// Removes every adapter and fault, zeroes the error counters and restores time scale 1.
// Aborts as misuse while a libusb context is alive.
void reset();
// Multiplies every transfer time-out and libusb_handle_events' 60 s limit (must be > 0).
void set_time_scale(double scale);
// libusb_init returns `code` (0: succeeds again).
void set_init_result(int code);
// libusb_handle_events and libusb_handle_events_timeout_completed, on every context, return
// `code` at once without handling anything, for the next `count` calls; -1: until reset() or
// a call with count 0. As when libusb's poll of its descriptors fails.
void fail_handle_events(int code, int count = -1);
// How many calls fail_handle_events has failed since the last reset().
int handle_events_failures();
// The next `after_successes` libusb_alloc_transfer calls succeed, the `count` after them fail.
void fail_alloc_transfer(int after_successes, int count = 1);
Counters counters();
// Called with the bytes of every frame an adapter puts on its bus: each bulk OUT transfer taken
// while the frame's channel is started (the frames the adapter echoes), unless the channel is
// listen-only or in loopback (those frames stay inside the adapter), and with who sent it. It runs on the submitting
// thread under the simulator's lock, so it must be quick and must not call into the simulator.
// An empty function removes it; reset() keeps it.
using BusObserver =
    std::function<void(const std::vector<std::uint8_t>& frame, const BusSender& sender)>;
void set_bus_observer(BusObserver observer);
// The libusb lifecycle calls made since the last reset() or clear_calls(), by name, in order:
// init, exit, device lists, open, close, detach, claim, release, interrupt, alloc and free of
// transfers (submissions, cancellations and event handling are not logged).
std::vector<std::string> calls();
void clear_calls();

}  // namespace ovsim
