// The control API of sim.h: adapters, faults, observations and simulator-wide settings.
#include "model.h"

#include <algorithm>

namespace ovsim {
namespace detail {
namespace {

constexpr std::size_t HEADER_SIZE = 12;
constexpr std::size_t CLASSIC_WIRE_LENGTH = 20;
constexpr std::size_t FD_WIRE_LENGTH = 76;
constexpr std::size_t MAX_DATA = 64;

std::vector<std::uint8_t> encode_frame(const FrameSpec& frame) {
    std::size_t length = (frame.flags & FRAME_FLAG_FD) != 0 ? FD_WIRE_LENGTH : CLASSIC_WIRE_LENGTH;
    if (frame.wire_length >= 0) {
        length = static_cast<std::size_t>(frame.wire_length);
    }
    // Allocated at full size and only ever shrunk: growing it after the copy draws a false
    // -Warray-bounds from GCC 12 in optimized builds.
    std::vector<std::uint8_t> bytes(std::max(length, HEADER_SIZE + MAX_DATA), 0);
    for (int i = 0; i < 4; ++i) {
        bytes[i] = static_cast<std::uint8_t>(frame.echo_id >> (8 * i));
        bytes[4 + i] = static_cast<std::uint8_t>(frame.can_id >> (8 * i));
    }
    bytes[8] = frame.dlc;
    bytes[9] = frame.channel;
    bytes[10] = frame.flags;
    std::copy_n(frame.data.begin(), std::min(frame.data.size(), MAX_DATA), &bytes[HEADER_SIZE]);
    bytes.resize(length);
    return bytes;
}

// Every transfer of the adapter still undecided learns that the device is gone.
void fail_in_flight_transfers(Sim& s, AdapterModel& adapter) {
    std::vector<libusb_context*> contexts;
    for (libusb_device_handle* handle : adapter.handles) {
        if (std::find(contexts.begin(), contexts.end(), handle->context) == contexts.end()) {
            contexts.push_back(handle->context);
        }
    }
    for (libusb_context* context : contexts) {
        TransferState* transfer = context->pending.front();
        while (transfer != nullptr) {
            TransferState* following = ContextList::next(*transfer);
            if (transfer->handle->adapter == &adapter) {
                queue_completion(s, *transfer, LIBUSB_TRANSFER_NO_DEVICE, 0);
            }
            transfer = following;
        }
    }
}

// After a change to how frames leave the transmit buffers: those that can go now go, and the
// event threads hear of it. With `restart_bus`, the frames waiting go on the bus from now, not
// from when they were taken.
void retime_tx(Sim& s, AdapterModel& adapter, bool restart_bus) {
    const auto now = Clock::now();
    if (restart_bus) {
        for (auto& [channel, tx] : adapter.tx) {
            tx.bus_free = now;
            tx.head_done.reset();
        }
    }
    if (adapter_pump_tx(s, adapter, now)) {
        notify_adapter_contexts(adapter);
    }
}

}  // namespace

AdapterModel::AdapterModel(const AdapterSpec& adapter_spec)
    : config(adapter_spec),
      facade(*this),
      kernel_driver_attached(adapter_spec.kernel_driver_attached),
      link_timing(adapter_spec.link_timing),
      channel_started(static_cast<std::size_t>(adapter_spec.icount) + 1, false),
      channel_flags(static_cast<std::size_t>(adapter_spec.icount) + 1, 0),
      termination(static_cast<std::size_t>(adapter_spec.icount) + 1,
                  adapter_spec.termination_on) {}

}  // namespace detail

using detail::Sim;
using detail::sim;

void Adapter::set_open_result(int code) {
    std::lock_guard lock(sim().mutex);
    model_.open_result = code;
}

void Adapter::set_detach_result(int code) {
    std::lock_guard lock(sim().mutex);
    model_.detach_result = code;
}

void Adapter::set_claim_result(int code) {
    std::lock_guard lock(sim().mutex);
    model_.claim_result = code;
}

void Adapter::set_reply_length(std::uint8_t request, int length) {
    std::lock_guard lock(sim().mutex);
    model_.reply_length[request] = length;
}

void Adapter::set_control_status(std::uint8_t request, libusb_transfer_status status) {
    std::lock_guard lock(sim().mutex);
    model_.control_status[request] = status;
}

void Adapter::set_no_answer(std::uint8_t request) {
    std::lock_guard lock(sim().mutex);
    model_.no_answer[request] = true;
}

void Adapter::set_link_timing(LinkTiming timing) {
    std::lock_guard lock(sim().mutex);
    detail::adapter_set_link_timing(model_, timing);
}

void Adapter::set_tx_buffer_frames(std::size_t frames) {
    Sim& s = sim();
    std::lock_guard lock(s.mutex);
    model_.tx_buffer_frames = std::max<std::size_t>(frames, 1);
    detail::retime_tx(s, model_, false);
}

void Adapter::set_bus_timing(bool on) {
    Sim& s = sim();
    std::lock_guard lock(s.mutex);
    model_.bus_timing = on;
    detail::retime_tx(s, model_, true);
}

void Adapter::set_acknowledged(bool acknowledged) {
    Sim& s = sim();
    std::lock_guard lock(s.mutex);
    model_.acknowledged = acknowledged;
    detail::retime_tx(s, model_, true);
}

std::size_t Adapter::tx_frames_buffered(std::uint8_t channel) const {
    std::lock_guard lock(sim().mutex);
    const auto found = model_.tx.find(channel);
    return found == model_.tx.end() ? 0 : found->second.frames.size();
}

int Adapter::out_transfers_waiting() const {
    std::lock_guard lock(sim().mutex);
    return static_cast<int>(model_.waiting_out.size());
}

int Adapter::out_transfers_waiting_high_water() const {
    std::lock_guard lock(sim().mutex);
    return static_cast<int>(model_.waiting_out_high_water);
}

void Adapter::clear_faults() {
    std::lock_guard lock(sim().mutex);
    model_.open_result.reset();
    model_.detach_result.reset();
    model_.claim_result.reset();
    model_.reply_length.clear();
    model_.control_status.clear();
    model_.no_answer.clear();
    model_.refusals.clear();
    model_.cancel_refusal.reset();
    model_.fail_in_remaining = 0;
    model_.in_halted = false;
    model_.in_halt_persists = false;
    model_.in_ep_halted = false;
    model_.in_toggle_stale = false;
}

void Adapter::refuse_cancellations(int code, int count) {
    std::lock_guard lock(sim().mutex);
    if (count == 0) {
        model_.cancel_refusal.reset();
        return;
    }
    model_.cancel_refusal = detail::AdapterModel::Refusal{code, count < 0 ? -1 : count};
}

void Adapter::refuse_submissions(std::uint8_t endpoint, int code, int count) {
    std::lock_guard lock(sim().mutex);
    if (count == 0) {
        model_.refusals.erase(endpoint);
        return;
    }
    model_.refusals[endpoint] = {code, count < 0 ? -1 : count};
}

void Adapter::unplug() {
    Sim& s = sim();
    std::lock_guard lock(s.mutex);
    model_.unplugged = true;
    model_.stream.active = false;
    model_.to_host.clear();
    model_.fail_in_remaining = 0;
    model_.tx.clear();
    detail::fail_in_flight_transfers(s, model_);
}

std::vector<ControlRecord> Adapter::control_requests() const {
    std::lock_guard lock(sim().mutex);
    return model_.control_log;
}

void Adapter::clear_control_requests() {
    std::lock_guard lock(sim().mutex);
    model_.control_log.clear();
}

bool Adapter::channel_started(std::uint8_t channel) const {
    std::lock_guard lock(sim().mutex);
    return channel < model_.channel_started.size() && model_.channel_started[channel];
}

std::uint32_t Adapter::channel_flags(std::uint8_t channel) const {
    std::lock_guard lock(sim().mutex);
    return channel < model_.channel_flags.size() ? model_.channel_flags[channel] : 0;
}

void Adapter::feed(std::vector<std::uint8_t> bytes) {
    feed_with_status(std::move(bytes), LIBUSB_TRANSFER_COMPLETED);
}

void Adapter::feed_with_status(std::vector<std::uint8_t> bytes, libusb_transfer_status status) {
    Sim& s = sim();
    std::lock_guard lock(s.mutex);
    if (model_.unplugged) {
        return;
    }
    detail::adapter_offer_frame(s, model_, std::move(bytes), status);
}

void Adapter::feed_frame(const FrameSpec& frame) {
    std::vector<std::uint8_t> bytes = detail::encode_frame(frame);
    if (frame.wire_length < 0) {
        std::lock_guard lock(sim().mutex);
        detail::adapter_append_stamp(model_, bytes, frame.timestamp_us);
    }
    feed(std::move(bytes));
}

void Adapter::fail_in(libusb_transfer_status status, int count) {
    Sim& s = sim();
    std::lock_guard lock(s.mutex);
    model_.fail_in_status = status;
    model_.fail_in_remaining = std::max(count, 0);
    detail::adapter_serve_pending(s, model_);
}

void Adapter::halt_in(bool persists) {
    Sim& s = sim();
    std::lock_guard lock(s.mutex);
    model_.in_halted = true;
    model_.in_halt_persists = persists;
    detail::adapter_serve_pending(s, model_);
}

int Adapter::clear_halt_count() const {
    std::lock_guard lock(sim().mutex);
    return model_.in_halt_clears;
}

int Adapter::clears_with_transfers_queued() const {
    std::lock_guard lock(sim().mutex);
    return model_.in_clears_while_queued;
}

int Adapter::in_packets_dropped() const {
    std::lock_guard lock(sim().mutex);
    return model_.in_packets_dropped;
}

std::uint64_t Adapter::in_submissions() const {
    std::lock_guard lock(sim().mutex);
    return model_.in_submissions;
}

void Adapter::feed_split(const FrameSpec& frame, std::chrono::microseconds gap) {
    std::vector<std::uint8_t> bytes = detail::encode_frame(frame);
    Sim& s = sim();
    std::lock_guard lock(s.mutex);
    if (model_.unplugged) {
        return;
    }
    if (frame.wire_length < 0) {
        detail::adapter_append_stamp(model_, bytes, frame.timestamp_us);
    }
    model_.to_host.push_back({std::move(bytes), LIBUSB_TRANSFER_COMPLETED,
                              std::chrono::duration_cast<detail::Clock::duration>(gap)});
    detail::adapter_serve_pending(s, model_);
}

std::size_t Adapter::frames_waiting() const {
    std::lock_guard lock(sim().mutex);
    return model_.to_host.size();
}

void Adapter::set_out_behaviour(OutBehaviour b) {
    std::lock_guard lock(sim().mutex);
    model_.out_behaviour = b;
}

std::vector<std::vector<std::uint8_t>> Adapter::out_frames() const {
    std::lock_guard lock(sim().mutex);
    return model_.out_log;
}

int Adapter::out_frames_unparsed() const {
    std::lock_guard lock(detail::sim().mutex);
    return model_.out_unparsed;
}

void Adapter::clear_out_frames() {
    std::lock_guard lock(sim().mutex);
    model_.out_log.clear();
}

int Adapter::in_transfers_pending() const {
    std::lock_guard lock(sim().mutex);
    return static_cast<int>(model_.pending_in.size());
}

void Adapter::start_stream(const StreamSpec& config) {
    Sim& s = sim();
    std::lock_guard lock(s.mutex);
    if (model_.unplugged) {
        return;
    }
    model_.stream.config = config;
    model_.stream.active = true;
    model_.stream.next_sequence = 0;
    model_.stream.started = detail::Clock::now();
    model_.streamed = 0;
    detail::adapter_serve_pending(s, model_);
}

void Adapter::stop_stream() {
    std::lock_guard lock(sim().mutex);
    model_.stream.active = false;
}

std::uint64_t Adapter::streamed() const {
    std::lock_guard lock(sim().mutex);
    return model_.streamed;
}

Adapter& add_adapter(const AdapterSpec& config) {
    Sim& s = sim();
    std::lock_guard lock(s.mutex);
    s.adapters.push_back(std::make_unique<detail::AdapterModel>(config));
    return s.adapters.back()->facade;
}

void reset() {
    Sim& s = sim();
    std::lock_guard lock(s.mutex);
    if (s.counters.contexts != 0) {
        detail::misuse("reset: a libusb context is still alive");
    }
    clear_calls();
    s.contexts.clear();  // device objects still referenced go with their context
    s.handles.clear();
    s.adapters.clear();
    s.time_scale = 1.0;
    s.init_result = 0;
    s.events_failures_left.store(0);
    s.events_failures_returned.store(0);
    s.alloc_successes_before_failure = 0;
    s.alloc_failures = 0;
    s.counters.device_refs = 0;
    s.counters.closed_with_transfers_in_flight = 0;
    s.counters.closed_with_cancellations_pending = 0;
}

void set_time_scale(double scale) {
    if (!(scale > 0)) {
        detail::misuse("set_time_scale: the scale must be positive");
    }
    std::lock_guard lock(sim().mutex);
    sim().time_scale = scale;
}

void set_init_result(int code) {
    std::lock_guard lock(sim().mutex);
    sim().init_result = code;
}

void fail_handle_events(int code, int count) {
    Sim& s = sim();
    std::lock_guard lock(s.mutex);
    s.events_failure_code.store(code);
    s.events_failures_left.store(count);
    for (const auto& context : s.contexts) {
        ovsim::detail::wake_context(*context);  // threads waiting inside event handling fail now
    }
}

int handle_events_failures() {
    return sim().events_failures_returned.load();
}

void fail_alloc_transfer(int after_successes, int count) {
    std::lock_guard lock(sim().mutex);
    sim().alloc_successes_before_failure = std::max(after_successes, 0);
    sim().alloc_failures = std::max(count, 0);
}

void set_bus_observer(BusObserver observer) {
    std::lock_guard lock(sim().mutex);
    sim().bus_observer = std::move(observer);
}

Counters counters() {
    std::lock_guard lock(sim().mutex);
    return sim().counters;
}

std::vector<std::string> calls() {
    std::lock_guard lock(sim().calls_mutex);
    return sim().calls;
}

void clear_calls() {
    std::lock_guard lock(sim().calls_mutex);
    sim().calls.clear();
}

}  // namespace ovsim
