// The emulated adapter's bulk endpoints: frames to the host on 0x81, frames from it on 0x02,
// echoes of transmitted frames and the generated stream used by benchmarks.
#include "model.h"

#include <algorithm>
#include <cstring>

namespace ovsim::detail {
namespace {

constexpr std::size_t CLASSIC_WIRE_LENGTH = 20;
constexpr std::size_t FD_WIRE_LENGTH = 76;
constexpr std::size_t CHANNEL_OFFSET = 9;
constexpr std::size_t DATA_OFFSET = 12;

void put_le(std::uint8_t* out, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        out[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

// FD stream frames: data bytes 8..15 hold when the transfer reached the host, 16..23 when the
// frame was on the bus.
constexpr std::size_t RELEASE_STAMP_OFFSET = DATA_OFFSET + 8;
constexpr std::size_t BUS_STAMP_OFFSET = DATA_OFFSET + 16;

std::uint64_t nanoseconds_of(Clock::time_point time) {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(time.time_since_epoch()).count());
}

// The largest packet on bulk IN: 64 bytes at full speed, 512 at high speed.
std::size_t in_packet_size(const AdapterModel& adapter) {
    return adapter.link_timing == LinkTiming::FullSpeed ? 64 : 512;
}

// After a clear that left the host's data toggle stale, the host drops the adapter's next
// packet as a repeat: the frame loses its first packet. False when nothing of it is left.
bool drop_stale_packet(AdapterModel& adapter, const std::uint8_t*& bytes, std::size_t& size) {
    if (!adapter.in_toggle_stale) {
        return true;
    }
    adapter.in_toggle_stale = false;
    ++adapter.in_packets_dropped;
    const std::size_t dropped = std::min(size, in_packet_size(adapter));
    bytes += dropped;
    size -= dropped;
    return size > 0;
}

// Copies a frame into an IN transfer; a frame longer than the buffer overflows it.
void complete_in(Sim& s, AdapterModel& adapter, TransferState& transfer, const std::uint8_t* bytes,
                 std::size_t size, libusb_transfer_status status = LIBUSB_TRANSFER_COMPLETED) {
    libusb_transfer& pub = *transfer.pub();
    const auto capacity = static_cast<std::size_t>(pub.length);
    const std::size_t copied = std::min(size, capacity);
    if (copied > 0) {
        std::memcpy(pub.buffer, bytes, copied);
    }
    adapter_complete(s, adapter, transfer, size > capacity ? LIBUSB_TRANSFER_OVERFLOW : status,
                     static_cast<int>(copied));
}

bool stream_has_frame(const StreamState& stream) {
    return stream.active &&
           (stream.config.count == 0 || stream.next_sequence < stream.config.count);
}

Clock::time_point stream_due(const StreamState& stream, std::uint64_t sequence) {
    const std::chrono::duration<double> offset(static_cast<double>(sequence) /
                                               stream.config.rate_hz);
    return stream.started + std::chrono::duration_cast<Clock::duration>(offset);
}

bool started(const AdapterModel& adapter, std::uint8_t channel) {
    return channel < adapter.channel_started.size() && adapter.channel_started[channel];
}

std::uint8_t stream_channel(const StreamState& stream, std::uint64_t sequence) {
    const std::vector<std::uint8_t>& channels = stream.config.channels;
    return channels.empty() ? 0 : channels[sequence % channels.size()];
}

// The stream's frames are on the bus whether or not a channel listens; the adapter hands the
// host only those of started channels. Passes over the frames due by `now` that no started
// channel hears (an unpaced stream: all of them up to the next heard one); false when the next
// frame is not for a started channel (nothing to hand over now).
bool stream_frame_heard(AdapterModel& adapter, Clock::time_point now) {
    StreamState& stream = adapter.stream;
    const bool paced = stream.config.rate_hz > 0;
    bool any_started = stream.config.channels.empty() && started(adapter, 0);
    for (const std::uint8_t channel : stream.config.channels) {
        any_started = any_started || started(adapter, channel);
    }
    if (!any_started) {
        if (paced && now > stream.started) {
            // Straight to the first frame not yet due: the silent stretch can be long.
            const std::chrono::duration<double> elapsed = now - stream.started;
            auto first_not_due = static_cast<std::uint64_t>(elapsed.count() * stream.config.rate_hz) + 1;
            if (stream.config.count != 0) {
                first_not_due = std::min(first_not_due, stream.config.count);
            }
            stream.next_sequence = std::max(stream.next_sequence, first_not_due);
        }
        return false;
    }
    while (stream_has_frame(stream) && !started(adapter, stream_channel(stream, stream.next_sequence))) {
        if (paced && stream_due(stream, stream.next_sequence) > now) {
            return false;
        }
        ++stream.next_sequence;
    }
    return stream_has_frame(stream);
}

// False when the host dropped the whole frame (a stale data toggle): the transfer still waits.
bool complete_with_stream_frame(Sim& s, AdapterModel& adapter, TransferState& transfer) {
    StreamState& stream = adapter.stream;
    const std::uint64_t sequence = stream.next_sequence++;
    const std::uint8_t channel = stream_channel(stream, sequence);
    std::uint8_t frame[FD_WIRE_LENGTH + 4] = {};  // room for a stamp
    put_le(&frame[0], ECHO_ID_RECEIVED, 4);
    put_le(&frame[4], 0x100u + channel, 4);
    frame[8] = stream.config.fd ? 15 : 8;
    frame[CHANNEL_OFFSET] = channel;
    frame[10] = stream.config.fd ? FRAME_FLAG_FD : 0;
    put_le(&frame[DATA_OFFSET], sequence, 8);
    if (stream.config.fd) {
        const Clock::time_point now = Clock::now();
        // Immediate timing releases the completion now; a timed one stamps it at its boundary.
        if (adapter.link_timing == LinkTiming::Immediate) {
            put_le(&frame[RELEASE_STAMP_OFFSET], nanoseconds_of(now), 8);
        } else {
            transfer.stamp_release = true;
        }
        const Clock::time_point on_bus =
            stream.config.rate_hz > 0 ? stream_due(stream, sequence) : now;
        put_le(&frame[BUS_STAMP_OFFSET], nanoseconds_of(on_bus), 8);
    }
    std::size_t length = stream.config.fd ? FD_WIRE_LENGTH : CLASSIC_WIRE_LENGTH;
    if (channel < adapter.channel_flags.size() &&
        (adapter.channel_flags[channel] & MODE_FLAG_HW_TIMESTAMP) != 0) {
        put_le(&frame[length], adapter_counter_now(adapter), 4);
        length += 4;
    }
    ++adapter.streamed;
    const std::uint8_t* bytes = frame;
    if (!drop_stale_packet(adapter, bytes, length)) {
        return false;
    }
    complete_in(s, adapter, transfer, bytes, length);
    return true;
}

enum class Served : std::uint8_t {
    Nothing,    // nothing for the host now: the transfer waits
    Completed,  // the transfer is complete
    Dropped,    // a frame was lost on the way; look again
    Split,      // the transfer holds a split frame's first packet and waits for the rest
};

// Completes an IN transfer from what the adapter has for the host right now, if anything.
Served serve_now(Sim& s, AdapterModel& adapter, TransferState& transfer) {
    // Mid-frame, or the host has stopped the halted endpoint's queue.
    if (adapter.split_active || adapter.in_ep_halted) {
        return Served::Nothing;
    }
    if (adapter.in_halted) {
        adapter.in_ep_halted = true;
        adapter_complete(s, adapter, transfer, LIBUSB_TRANSFER_STALL, 0);
        return Served::Completed;
    }
    if (adapter.fail_in_remaining > 0) {
        --adapter.fail_in_remaining;
        adapter.in_halted = adapter.fail_in_status == LIBUSB_TRANSFER_STALL;
        adapter.in_ep_halted = adapter.in_halted;
        adapter_complete(s, adapter, transfer, adapter.fail_in_status, 0);
        return Served::Completed;
    }
    if (!adapter.to_host.empty()) {
        AdapterModel::ToHost frame = std::move(adapter.to_host.front());
        adapter.to_host.pop_front();
        const std::uint8_t* bytes = frame.bytes.data();
        std::size_t size = frame.bytes.size();
        if (!drop_stale_packet(adapter, bytes, size)) {
            return Served::Dropped;
        }
        const std::size_t packet = in_packet_size(adapter);
        if (frame.split_gap && size > packet) {
            libusb_transfer& pub = *transfer.pub();
            const std::size_t taken = std::min(packet, static_cast<std::size_t>(pub.length));
            std::memcpy(pub.buffer, bytes, taken);
            adapter.split_active = true;
            adapter.split_target = &transfer;
            adapter.split_taken = taken;
            adapter.split_rest.assign(bytes + packet, bytes + size);
            adapter.split_due = Clock::now() + *frame.split_gap;
            notify_adapter_contexts(adapter);  // event threads plan the rest's due time
            return Served::Split;
        }
        complete_in(s, adapter, transfer, bytes, size, frame.status);
        return Served::Completed;
    }
    if (stream_has_frame(adapter.stream) && adapter.stream.config.rate_hz <= 0 &&
        stream_frame_heard(adapter, Clock::now())) {
        return complete_with_stream_frame(s, adapter, transfer) ? Served::Completed
                                                                : Served::Dropped;
    }
    return Served::Nothing;
}

}  // namespace

void adapter_stamp_release(TransferState& transfer) {
    const libusb_transfer& pub = *transfer.pub();
    std::uint8_t stamp[8];
    put_le(stamp, nanoseconds_of(transfer.release), 8);
    // A buffer shorter than the frame keeps the part of the stamp that fits.
    const auto received = static_cast<std::size_t>(transfer.result_length);
    for (std::size_t i = 0; i < sizeof stamp && RELEASE_STAMP_OFFSET + i < received; ++i) {
        pub.buffer[RELEASE_STAMP_OFFSET + i] = stamp[i];
    }
}

std::optional<Clock::time_point> adapter_pump_stream(Sim& s, AdapterModel& adapter,
                                                     Clock::time_point now) {
    StreamState& stream = adapter.stream;
    if (stream.config.rate_hz <= 0) {
        return std::nullopt;
    }
    // Nothing reaches the host mid-frame or through a halted endpoint; what ends either serves
    // the pending transfers again.
    if (adapter.in_halted || adapter.in_ep_halted || adapter.split_active) {
        return std::nullopt;
    }
    while (!adapter.pending_in.empty() && stream_has_frame(stream)) {
        if (!stream_frame_heard(adapter, now)) {
            if (!stream_has_frame(stream)) {
                return std::nullopt;
            }
            // Looked at again when the next frame is due.
            return adapter_earliest_release(adapter, stream_due(stream, stream.next_sequence));
        }
        // With USB timing a frame reaches the host at the boundary after its time on the bus:
        // it is decided then, as of that time, so that the event thread wakes once per boundary
        // as it does on a real adapter, not also at each frame's time on the bus.
        const Clock::time_point due = stream_due(stream, stream.next_sequence);
        const Clock::time_point decide_at = adapter_earliest_release(adapter, due);
        if (decide_at > now) {
            return decide_at;
        }
        adapter.deciding_as_of = due;
        complete_with_stream_frame(s, adapter, *adapter.pending_in.front());
        adapter.deciding_as_of.reset();
    }
    return std::nullopt;
}

std::optional<Clock::time_point> adapter_finish_split(Sim& s, AdapterModel& adapter,
                                                      Clock::time_point now) {
    if (!adapter.split_active) {
        return std::nullopt;
    }
    if (adapter.split_due > now) {
        return adapter.split_due;
    }
    adapter.split_active = false;
    std::vector<std::uint8_t> rest = std::move(adapter.split_rest);
    adapter.split_rest.clear();
    if (TransferState* transfer = adapter.split_target) {
        adapter.split_target = nullptr;
        libusb_transfer& pub = *transfer->pub();
        const auto capacity = static_cast<std::size_t>(pub.length);
        const std::size_t total = adapter.split_taken + rest.size();
        if (capacity > adapter.split_taken) {
            std::memcpy(pub.buffer + adapter.split_taken, rest.data(),
                        std::min(rest.size(), capacity - adapter.split_taken));
        }
        adapter_complete(s, adapter, *transfer,
                         total > capacity ? LIBUSB_TRANSFER_OVERFLOW : LIBUSB_TRANSFER_COMPLETED,
                         static_cast<int>(std::min(total, capacity)));
    } else {
        // The transfer that took the first packet has ended: the rest ends the next one short.
        adapter.to_host.push_front({std::move(rest), LIBUSB_TRANSFER_COMPLETED});
    }
    adapter_serve_pending(s, adapter);
    return std::nullopt;
}

void adapter_serve_pending(Sim& s, AdapterModel& adapter) {
    while (!adapter.pending_in.empty()) {
        const Served served = serve_now(s, adapter, *adapter.pending_in.front());
        if (served == Served::Nothing || served == Served::Split) {
            break;
        }
    }
    if (stream_has_frame(adapter.stream) && adapter.stream.config.rate_hz > 0) {
        adapter_pump_stream(s, adapter, Clock::now());
        notify_adapter_contexts(adapter);  // the next due time changed
    }
}

void adapter_offer_frame(Sim& s, AdapterModel& adapter, std::vector<std::uint8_t> bytes,
                         libusb_transfer_status status) {
    adapter.to_host.push_back({std::move(bytes), status});
    adapter_serve_pending(s, adapter);
}

void adapter_bulk_in(Sim& s, AdapterModel& adapter, TransferState& transfer) {
    if (!adapter.pending_in.empty() && adapter.stream.config.rate_hz > 0) {
        adapter_pump_stream(s, adapter, Clock::now());
    }
    ++adapter.in_submissions;
    // Transfers are served in submission order: one waiting ahead means no frame is ready.
    if (adapter.pending_in.empty()) {
        // Queued on an idle endpoint, a transfer restarts it: the adapter's halt shows again.
        adapter.in_ep_halted = false;
        Served served = Served::Dropped;
        while (served == Served::Dropped) {
            served = serve_now(s, adapter, transfer);
        }
        if (served == Served::Completed) {
            return;
        }
        if (served == Served::Nothing && stream_has_frame(adapter.stream) &&
            adapter.stream.config.rate_hz > 0 && stream_frame_heard(adapter, Clock::now()) &&
            stream_due(adapter.stream, adapter.stream.next_sequence) <= Clock::now() &&
            complete_with_stream_frame(s, adapter, transfer)) {
            return;
        }
    }
    make_pending(s, transfer);
    if (stream_has_frame(adapter.stream) && adapter.stream.config.rate_hz > 0 &&
        has_sleepers(*transfer.context)) {
        wake_context(*transfer.context);  // its event thread must plan the due time
    }
}

void adapter_bulk_out(Sim& s, AdapterModel& adapter, TransferState& transfer) {
    libusb_transfer& pub = *transfer.pub();
    const auto length = static_cast<std::size_t>(pub.length);
    switch (adapter.out_behaviour) {
        case OutBehaviour::Take:
            // Recorded when taken: a NAKed transfer has not crossed yet.
            adapter_buffer_out(s, adapter, transfer);
            return;
        case OutBehaviour::Ignore:
            adapter.out_log.emplace_back(pub.buffer, pub.buffer + length);
            make_pending(s, transfer);
            return;
        case OutBehaviour::Stall:
            adapter.out_log.emplace_back(pub.buffer, pub.buffer + length);
            adapter_complete(s, adapter, transfer, LIBUSB_TRANSFER_STALL, 0);
            return;
        case OutBehaviour::Error:
            adapter.out_log.emplace_back(pub.buffer, pub.buffer + length);
            adapter_complete(s, adapter, transfer, LIBUSB_TRANSFER_ERROR, 0);
            return;
    }
}

}  // namespace ovsim::detail
