// The simulator's state: contexts, device objects, handles, transfers and emulated adapters.
// Everything here is guarded by Sim::mutex; callbacks are never called while it is held.
#pragma once

#include "ovsim/sim.h"
#include "platform/poll_sleeper.h"
#include "transfer_list.h"

#include <libusb.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace ovsim::detail {

using Clock = std::chrono::steady_clock;

enum class Endpoint : std::uint8_t { Control, BulkIn, BulkOut };

// The private part of a transfer, allocated just before the public libusb_transfer.
struct TransferState {
    static constexpr std::uint32_t MAGIC = 0x6F767472;  // "ovtr"
    enum class Phase : std::uint8_t {
        Idle,       // not in flight: may be filled, submitted or freed
        Pending,    // in flight, its outcome not decided yet
        Scheduled,  // in flight, outcome decided, waiting for the USB frame that carries it
        Queued,     // in flight, outcome decided, waiting for an event thread to deliver it
    };

    std::uint32_t magic = MAGIC;
    Phase phase = Phase::Idle;
    bool cancel_requested = false;
    Endpoint endpoint = Endpoint::Control;
    bool has_deadline = false;
    Clock::time_point deadline{};
    libusb_device_handle* handle = nullptr;
    libusb_context* context = nullptr;
    libusb_transfer_status result_status = LIBUSB_TRANSFER_COMPLETED;
    int result_length = 0;
    Clock::time_point release{};  // Scheduled: the frame boundary at which it reaches the host
    bool stamp_release = false;   // carries a stream FD frame that records its release time
    bool out_waiting = false;     // a bulk OUT the adapter NAKs: in its waiting_out FIFO
    Clock::time_point waiting_since{};  // out_waiting: when it was submitted
    // Links in the context's pending list, its completion queue or the adapter's schedule
    // (one at a time).
    TransferState* prev = nullptr;
    TransferState* next = nullptr;
    // Links in the adapter's FIFO of IN transfers waiting for a frame.
    TransferState* in_prev = nullptr;
    TransferState* in_next = nullptr;

    libusb_transfer* pub();
    static TransferState* of(libusb_transfer* transfer);
    static std::size_t allocation_size(int iso_packets);
};

using ContextList = IntrusiveList<TransferState, &TransferState::prev, &TransferState::next>;
using InList = IntrusiveList<TransferState, &TransferState::in_prev, &TransferState::in_next>;

// A channel's transmit buffer: frames the adapter took from the host, oldest first, waiting for
// the bus or on it.
struct ChannelTx {
    struct Buffered {
        std::vector<std::uint8_t> bytes;
        Clock::time_point taken;
    };
    std::deque<Buffered> frames;
    std::optional<Clock::time_point> head_done;  // with bus timing: when the head leaves the bus
    Clock::time_point bus_free{};                // when the channel's last frame left the bus
};

struct StreamState {
    StreamSpec config;
    bool active = false;
    std::uint64_t next_sequence = 0;
    Clock::time_point started{};
};

struct AdapterModel {
    explicit AdapterModel(const AdapterSpec& adapter_spec);

    AdapterSpec config;
    Adapter facade;
    bool unplugged = false;
    bool kernel_driver_attached;
    LinkTiming link_timing;

    std::optional<int> open_result, detach_result, claim_result;
    std::map<std::uint8_t, int> reply_length;
    std::map<std::uint8_t, libusb_transfer_status> control_status;
    std::map<std::uint8_t, bool> no_answer;
    struct Refusal {
        int code;
        int remaining;  // -1: until cleared
    };
    std::map<std::uint8_t, Refusal> refusals;
    std::optional<Refusal> cancel_refusal;  // libusb_cancel_transfer fails and cancels nothing

    std::vector<ControlRecord> control_log;
    std::vector<bool> channel_started;
    std::vector<std::uint32_t> channel_flags;
    // Bitrates from the last BITTIMING and DATA_BITTIMING requests, per channel.
    std::map<std::uint8_t, std::uint32_t> nominal_bitrate, data_bitrate;

    struct ToHost {
        std::vector<std::uint8_t> bytes;
        libusb_transfer_status status;  // COMPLETED, or the status a fed frame arrives with
        // feed_split: the packets after the first follow this long after it.
        std::optional<Clock::duration> split_gap = std::nullopt;
    };
    std::deque<ToHost> to_host;
    libusb_transfer_status fail_in_status = LIBUSB_TRANSFER_ERROR;
    int fail_in_remaining = 0;
    // Bulk IN halted on the adapter: it answers the host with a stall until the halt is cleared.
    bool in_halted = false;
    bool in_halt_persists = false;
    int in_halt_clears = 0;
    // The host controller saw the stall: the transfers still queued on the endpoint wait until
    // libusb_clear_halt, or until a transfer is submitted to an empty queue.
    bool in_ep_halted = false;
    // Cleared while transfers were queued: the host's data toggle was not reset, so it takes
    // the adapter's next packet for a repeat and drops it.
    bool in_toggle_stale = false;
    int in_clears_while_queued = 0;
    int in_packets_dropped = 0;
    std::uint64_t in_submissions = 0;
    // A frame split by feed_split whose first packet is in `split_target` (or in a transfer that
    // has ended, then nullptr); the rest follows at split_due.
    bool split_active = false;
    TransferState* split_target = nullptr;
    std::vector<std::uint8_t> split_rest;
    std::size_t split_taken = 0;
    Clock::time_point split_due{};
    InList pending_in;

    OutBehaviour out_behaviour = OutBehaviour::Take;
    // Transmit buffers (adapter_tx.cpp): per channel, up to tx_buffer_frames frames; a bulk OUT
    // that finds its channel's buffer full waits (NAKed) in waiting_out, and the transfers
    // behind it too, as the endpoint is one queue.
    std::map<std::uint8_t, ChannelTx> tx;
    std::size_t tx_buffer_frames = 3;
    bool bus_timing = false;
    bool acknowledged = true;
    InList waiting_out;
    std::size_t waiting_out_high_water = 0;  // the most bulk OUT transfers NAKed at once
    std::vector<std::vector<std::uint8_t>> out_log;
    int out_unparsed = 0;  // bulk OUT transfers taken but not parsed as a frame

    StreamState stream;
    std::uint64_t streamed = 0;

    // Decided completions waiting for their frame boundary, in release order.
    ContextList scheduled;
    // The frame that bulk completions are filling and the packets already in it.
    Clock::time_point fill_frame{};
    int fill_packets = 0;
    // Set while the stream decides a frame late, as of its time on the bus (see the pump).
    std::optional<Clock::time_point> deciding_as_of;

    std::vector<libusb_device_handle*> handles;  // open handles of this adapter

    std::vector<bool> termination;
    bool identifying = false;
    // The microsecond counter: timestamp_base at timestamp_epoch, running at 1 MHz.
    std::uint32_t timestamp_base = 0;
    Clock::time_point timestamp_epoch = Clock::now();
    // GET_STATE answers set by the test, per channel: state, rxerr, txerr.
    std::map<std::uint8_t, std::array<std::uint32_t, 3>> bus_state;
};

}  // namespace ovsim::detail

struct libusb_context {
    bool alive = true;
    std::condition_variable wakeup;
    ovsim::detail::ContextList pending;      // in flight, outcome not decided
    ovsim::detail::ContextList completions;  // decided, waiting for delivery
    std::vector<libusb_device_handle*> open_handles;
    std::vector<std::unique_ptr<libusb_device>> devices;
    int threads_inside = 0;
    int sleepers = 0;  // threads blocked on `wakeup`
    std::chrono::steady_clock::time_point
        sleeping_until{};  // the earliest planned wake-up of a sleeper
    // The first thread that sleeps in event handling waits in ppoll on these instead, as
    // libusb's event thread waits on its descriptors: a thread that submits a transfer due
    // earlier re-arms the timer (as libusb re-arms its timerfd, and as the host controller
    // completes the transfer) instead of waking the sleeper only for it to plan again.
    // Its timer is armed only by such an earlier plan; its signal is what notify_all does for
    // the others.
    ovel::platform::PollSleeper poller;
    bool poll_sleeping = false;
    bool timer_armed = false;   // since the poll sleep began
    bool wake_written = false;  // since the poll sleep began
    std::chrono::steady_clock::time_point poll_sleeping_until{};

    libusb_context() = default;
    libusb_context(const libusb_context&) = delete;
    libusb_context& operator=(const libusb_context&) = delete;
    bool interrupt_pending = false;
    std::uint64_t close_epoch = 0;  // bumped by every libusb_close: a transient wake-up
    bool handler_active = false;    // one thread at a time delivers completions
    std::thread::id handler_thread{};
    std::uint64_t handler_generation = 0;
    libusb_device_handle* delivering_handle = nullptr;  // whose callback runs right now
    int close_waiters = 0;  // libusb_close calls waiting for that callback to return
    // Lets a non-blocking poll return without the lock while nothing has changed since the last
    // poll that found nothing to do: `changes` counts completions queued, transfers made pending
    // and stream changes; the quiet pair is what that poll saw and its next due time.
    std::atomic<std::uint64_t> changes{0};
    std::atomic<std::uint64_t> quiet_changes{UINT64_MAX};
    std::atomic<std::chrono::steady_clock::rep> quiet_until{0};
};

struct libusb_device {
    libusb_context* context;
    ovsim::detail::AdapterModel* adapter;
    int refs = 0;
};

struct libusb_device_handle {
    libusb_device* device;
    libusb_context* context;
    ovsim::detail::AdapterModel* adapter;
    bool closed = false;
    bool claimed = false;
};

namespace ovsim::detail {

struct Sim {
    std::mutex mutex;
    std::vector<std::unique_ptr<AdapterModel>> adapters;
    // Exited contexts and closed handles stay allocated until reset() so that a late use
    // is reported as misuse instead of touching freed memory.
    std::vector<std::unique_ptr<libusb_context>> contexts;
    std::vector<std::unique_ptr<libusb_device_handle>> handles;
    double time_scale = 1.0;
    int init_result = 0;
    // fail_handle_events: the code, and the calls left to fail (-1: every call). Read without
    // the lock by the non-blocking poll, so atomic.
    std::atomic<int> events_failure_code{0};
    std::atomic<int> events_failures_left{0};
    std::atomic<int> events_failures_returned{0};
    int alloc_successes_before_failure = 0;
    int alloc_failures = 0;
    Counters counters{};
    BusObserver bus_observer;  // sees every frame an adapter puts on its bus
    // Names of the lifecycle calls (not submissions, cancels or event handling), in order.
    std::mutex calls_mutex;
    std::vector<std::string> calls;
};

Sim& sim();

[[noreturn]] void misuse(const char* what);

// Appends a lifecycle call to the call log; called without Sim::mutex held.
void record_call(const char* function);

Clock::duration scaled(const Sim& s, std::chrono::microseconds duration);

// Validity checks shared by the libusb entry points; each aborts as misuse.
void require_context(const libusb_context* context, const char* function);
void require_open_handle(const libusb_device_handle* handle, const char* function);

// Decides the outcome of an in-flight transfer and queues it for the event thread.
void queue_completion(Sim& s, TransferState& transfer, libusb_transfer_status status, int length);
// The two halves of queue_completion, defined here so that it stays one call per frame:
// takes the transfer out of the pending lists with its outcome...
inline void decide_outcome(Sim& s, TransferState& transfer, libusb_transfer_status status,
                           int length) {
    if (transfer.phase == TransferState::Phase::Pending) {
        transfer.context->pending.remove(transfer);
        if (transfer.endpoint == Endpoint::BulkIn && transfer.handle != nullptr) {
            AdapterModel& adapter = *transfer.handle->adapter;
            adapter.pending_in.remove(transfer);
            // Ended between the packets of a split frame: it keeps the first one's bytes.
            if (adapter.split_target == &transfer) {
                adapter.split_target = nullptr;
                length = std::max(length, static_cast<int>(adapter.split_taken));
            }
        }
        if (transfer.out_waiting && transfer.handle != nullptr) {
            transfer.handle->adapter->waiting_out.remove(transfer);
            transfer.out_waiting = false;
        }
    } else {
        ++s.counters.transfers_in_flight;
    }
    transfer.has_deadline = false;
    transfer.result_status = status;
    transfer.result_length = length;
}

// Whether a thread sleeps in the context's event handling.
inline bool has_sleepers(const libusb_context& context) {
    return context.sleepers > 0 || context.poll_sleeping;
}

// Wakes every thread that waits in the context (on `wakeup` or in the poll sleep).
void wake_context(libusb_context& context);

// Something in the context is due at `when`: a sleeper planned to wake later wakes then.
void plan_wake(libusb_context& context, Clock::time_point when);

// ...then hands it to its context's completion queue and wakes that context's sleepers.
inline void release_completion(TransferState& transfer) {
    libusb_context& context = *transfer.context;
    transfer.phase = TransferState::Phase::Queued;
    context.completions.push_back(transfer);
    context.changes.fetch_add(1, std::memory_order_release);
    if (has_sleepers(context)) {
        wake_context(context);
    }
}

// Leaves a transfer in flight until something (a frame, a time-out, a cancel) decides it.
void make_pending(Sim& s, TransferState& transfer);

// The channel's part in its bus (channel_bus.cpp); a channel beyond the adapter's has none.
ChannelBus adapter_channel_bus(const AdapterModel& adapter, std::uint8_t channel);
// The bitrate a BITTIMING payload (prop_seg, phase_seg1, phase_seg2, sjw, brp) gives at
// `fclk_can`; 0 for a timing that gives none.
std::uint32_t bitrate_of_timing(const std::uint8_t* payload, std::uint32_t fclk_can);

// Adapter behaviour (adapter_*.cpp): each decides or parks a freshly submitted transfer.
void adapter_control(Sim& s, AdapterModel& adapter, TransferState& transfer);
// The optional requests (adapter_features.cpp): aborts as misuse on one whose feature bit the
// adapter did not report. The reply of an IN one it knows, or nullopt; whether it takes an OUT
// one it knows, or nullopt for a request it does not know.
void adapter_check_feature(const AdapterModel& adapter, const ControlRecord& request);
std::optional<std::vector<std::uint8_t>> adapter_feature_reply(const AdapterModel& adapter,
                                                               const ControlRecord& request);
std::optional<bool> adapter_feature_accept(AdapterModel& adapter, const ControlRecord& request);
void adapter_bulk_in(Sim& s, AdapterModel& adapter, TransferState& transfer);
void adapter_bulk_out(Sim& s, AdapterModel& adapter, TransferState& transfer);
// Transmit buffers (adapter_tx.cpp). Takes a bulk OUT into its channel's buffer (a frame for a
// stopped channel is taken and dropped), or NAKs it while that buffer is full.
void adapter_buffer_out(Sim& s, AdapterModel& adapter, TransferState& transfer);
// Puts due frames on the bus, echoes them and takes waiting bulk OUT transfers that now fit;
// returns when the next frame leaves the bus.
std::optional<Clock::time_point> adapter_pump_tx(Sim& s, AdapterModel& adapter,
                                                 Clock::time_point now);
// A channel stopped (or the adapter went away): its buffer is forgotten.
void adapter_clear_tx(Sim& s, AdapterModel& adapter, std::uint8_t channel);
// Whether a bulk OUT of these bytes has to wait for room.
bool adapter_out_must_wait(const AdapterModel& adapter, const std::uint8_t* bytes,
                           std::size_t length);
// The frame's time on the bus at the channel's bitrates (adapter_tx.cpp).
Clock::duration frame_bus_time(const std::uint8_t* bytes, std::size_t length,
                               std::uint32_t nominal_bitrate, std::uint32_t data_bitrate);
// Hands what the adapter has for the host (failures, fed frames, stream) to pending IN transfers.
void adapter_serve_pending(Sim& s, AdapterModel& adapter);
// Queues one frame for the host and serves it at once if an IN transfer is waiting.
void adapter_offer_frame(Sim& s, AdapterModel& adapter, std::vector<std::uint8_t> bytes,
                         libusb_transfer_status status = LIBUSB_TRANSFER_COMPLETED);
// Hands the rest of a split frame over once it is due; returns when it is due otherwise.
std::optional<Clock::time_point> adapter_finish_split(Sim& s, AdapterModel& adapter,
                                                      Clock::time_point now);
// Completes pending IN transfers with stream frames that are due; returns when the next one is.
std::optional<Clock::time_point> adapter_pump_stream(Sim& s, AdapterModel& adapter,
                                                     Clock::time_point now);
// Hardware timestamps and bus state (adapter_timestamps.cpp).
std::uint32_t adapter_counter_now(const AdapterModel& adapter);
// Pads a frame to 20 or 76 bytes and appends the stamp when its channel runs with stamps.
void adapter_append_stamp(const AdapterModel& adapter, std::vector<std::uint8_t>& frame,
                          std::optional<std::uint32_t> stamp = std::nullopt);
// The answer to TIMESTAMP or GET_STATE; aborts as misuse when the adapter lacks the feature.
std::optional<std::vector<std::uint8_t>> adapter_extension_reply(const AdapterModel& adapter,
                                                                 const ControlRecord& request);
// Wakes event threads of every context that has this adapter open.
void notify_adapter_contexts(AdapterModel& adapter);
// Writes a stream FD frame's release time into the transfer's buffer.
void adapter_stamp_release(TransferState& transfer);

// The adapter's USB timing (link_timing.cpp).
// Decides an outcome and schedules it for the frame boundary that the adapter's timing gives.
void schedule_completion(Sim& s, AdapterModel& adapter, TransferState& transfer,
                         libusb_transfer_status status, int length);
// The earliest moment an outcome decided at `decided` can reach the host: the next boundary with
// USB timing, `decided` itself without.
Clock::time_point adapter_earliest_release(const AdapterModel& adapter, Clock::time_point decided);
// Releases the completions whose boundary has passed; returns when the next one is due.
std::optional<Clock::time_point> adapter_release_due(AdapterModel& adapter, Clock::time_point now);
void adapter_set_link_timing(AdapterModel& adapter, LinkTiming timing);

// An outcome the adapter decided: queued at once with immediate timing, unless completions of an
// earlier timing still wait (they keep their place ahead of it).
inline void adapter_complete(Sim& s, AdapterModel& adapter, TransferState& transfer,
                             libusb_transfer_status status, int length) {
    if (adapter.link_timing == LinkTiming::Immediate && adapter.scheduled.empty()) {
        queue_completion(s, transfer, status, length);
    } else {
        schedule_completion(s, adapter, transfer, status, length);
    }
}

}  // namespace ovsim::detail
