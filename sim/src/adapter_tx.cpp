// The adapter's transmit side: a buffer of a few frames per channel, the frames' time on the
// bus, their echoes, and the bulk OUT transfers it NAKs while a buffer is full.
//
// Time on the bus (with bus timing on) counts the frame's bits as ovsim/frame_bits.h lays them
// out: the shortest time the frame can take.
// A channel whose bitrate was never set counts 1 Mbit/s (and its nominal rate for the data phase).
#include "model.h"

#include <algorithm>

#include "ovsim/frame_bits.h"

namespace ovsim::detail {
namespace {

constexpr std::size_t CLASSIC_WIRE_LENGTH = 20;
constexpr std::size_t CHANNEL_OFFSET = 9;
constexpr std::uint32_t DEFAULT_BITRATE = 1'000'000;

Clock::duration bits_at(std::uint64_t bits, std::uint32_t bitrate) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(
        static_cast<std::int64_t>(bits * 1'000'000'000ull / (bitrate == 0 ? 1 : bitrate))));
}

std::uint8_t channel_of(const std::vector<std::uint8_t>& bytes) { return bytes[CHANNEL_OFFSET]; }

bool started(const AdapterModel& adapter, std::uint8_t channel) {
    return channel < adapter.channel_started.size() && adapter.channel_started[channel];
}

// Whether the adapter can parse the bulk OUT as a frame for a started channel: only those go
// into a buffer; the others are taken and dropped.
bool buffered(const AdapterModel& adapter, const std::uint8_t* bytes, std::size_t length) {
    if ((adapter.config.features & FEATURE_FD) == 0 && length > CLASSIC_WIRE_LENGTH) {
        return false;
    }
    return length > CHANNEL_OFFSET && started(adapter, bytes[CHANNEL_OFFSET]);
}

void put_on_bus(Sim& s, AdapterModel& adapter, std::vector<std::uint8_t> bytes) {
    const std::uint8_t channel = channel_of(bytes);
    // A listen-only channel never drives the bus, and a loopback one keeps its frames inside
    // the adapter: both only echo them.
    constexpr std::uint32_t OFF_BUS = MODE_FLAG_LISTEN_ONLY | MODE_FLAG_LOOP_BACK;
    if (s.bus_observer && (adapter.channel_flags[channel] & OFF_BUS) == 0) {
        s.bus_observer(bytes, BusSender{&adapter.facade, adapter_channel_bus(adapter, channel)});
    }
    adapter_append_stamp(adapter, bytes);
    adapter_offer_frame(s, adapter, std::move(bytes));
}

std::uint32_t bitrate_or_default(const std::map<std::uint8_t, std::uint32_t>& rates,
                                 std::uint8_t channel, std::uint32_t fallback) {
    const auto found = rates.find(channel);
    return found == rates.end() || found->second == 0 ? fallback : found->second;
}

// Takes a bulk OUT at `taken`: complete, recorded, and into its channel's buffer when it is a
// frame there.
void take_out(Sim& s, AdapterModel& adapter, TransferState& transfer, Clock::time_point taken) {
    libusb_transfer& pub = *transfer.pub();
    const auto length = static_cast<std::size_t>(pub.length);
    adapter.out_log.emplace_back(pub.buffer, pub.buffer + length);
    const std::optional<Clock::time_point> deciding = adapter.deciding_as_of;
    adapter.deciding_as_of = taken;
    adapter_complete(s, adapter, transfer, LIBUSB_TRANSFER_COMPLETED, pub.length);
    adapter.deciding_as_of = deciding;
    // Firmware without CAN FD reads its host frames into 20-byte buffers: a longer transfer is
    // taken on the USB side but is no frame it can parse, so it never reaches the bus.
    if ((adapter.config.features & FEATURE_FD) == 0 && length > CLASSIC_WIRE_LENGTH) {
        ++adapter.out_unparsed;
        return;
    }
    if (buffered(adapter, pub.buffer, length)) {
        ChannelTx& tx = adapter.tx[pub.buffer[CHANNEL_OFFSET]];
        // Without bus timing a frame that finds the bus free is on it at once: no buffering,
        // which keeps a benchmark's transmit path as cheap as it was.
        if (!adapter.bus_timing && adapter.acknowledged && tx.frames.empty()) {
            put_on_bus(s, adapter, adapter.out_log.back());
            return;
        }
        tx.frames.push_back({adapter.out_log.back(), taken});
    }
}

// Takes the NAKed transfers at the head of the endpoint's queue that fit now. The adapter takes
// one at the host controller's next retry, microseconds after a frame leaves its buffer: with
// bus timing that is as of `freed` (or its submission, if later), however late the event thread
// looks, so a late look does not leave the bus idle.
bool take_waiting(Sim& s, AdapterModel& adapter, std::optional<Clock::time_point> freed) {
    bool took = false;
    while (TransferState* waiting = adapter.waiting_out.front()) {
        libusb_transfer& pub = *waiting->pub();
        if (adapter_out_must_wait(adapter, pub.buffer, static_cast<std::size_t>(pub.length))) {
            break;
        }
        adapter.waiting_out.remove(*waiting);
        waiting->out_waiting = false;
        take_out(s, adapter, *waiting,
                 freed ? std::max(*freed, waiting->waiting_since) : Clock::now());
        took = true;
    }
    return took;
}

}  // namespace

Clock::duration frame_bus_time(const std::uint8_t* bytes, std::size_t length,
                               std::uint32_t nominal_bitrate, std::uint32_t data_bitrate) {
    const FrameBits bits = frame_bits(bytes, length);
    return bits_at(bits.nominal, nominal_bitrate) +
           bits_at(bits.data_phase, bits.switched ? data_bitrate : nominal_bitrate);
}

bool adapter_out_must_wait(const AdapterModel& adapter, const std::uint8_t* bytes,
                           std::size_t length) {
    if (!buffered(adapter, bytes, length)) {
        return false;
    }
    const auto channel = adapter.tx.find(bytes[CHANNEL_OFFSET]);
    return channel != adapter.tx.end() && channel->second.frames.size() >= adapter.tx_buffer_frames;
}

void adapter_buffer_out(Sim& s, AdapterModel& adapter, TransferState& transfer) {
    libusb_transfer& pub = *transfer.pub();
    // The endpoint is one queue: behind a NAKed transfer every later one waits too.
    if (!adapter.waiting_out.empty() ||
        adapter_out_must_wait(adapter, pub.buffer, static_cast<std::size_t>(pub.length))) {
        make_pending(s, transfer);
        transfer.out_waiting = true;
        transfer.waiting_since = Clock::now();
        adapter.waiting_out.push_back(transfer);
        adapter.waiting_out_high_water =
            std::max(adapter.waiting_out_high_water, adapter.waiting_out.size());
        return;
    }
    take_out(s, adapter, transfer, Clock::now());
    // Without bus timing nothing is due later: a buffered frame waits for an acknowledge.
    if (adapter.bus_timing && adapter_pump_tx(s, adapter, Clock::now())) {
        notify_adapter_contexts(adapter);  // event threads plan the frame's end on the bus
    }
}

std::optional<Clock::time_point> adapter_pump_tx(Sim& s, AdapterModel& adapter,
                                                 Clock::time_point now) {
    for (;;) {
        std::optional<Clock::time_point> earliest;
        bool progressed = false;
        for (auto& [channel, tx] : adapter.tx) {
            while (!tx.frames.empty() && adapter.acknowledged) {
                if (adapter.bus_timing) {
                    if (!tx.head_done) {
                        const ChannelTx::Buffered& head = tx.frames.front();
                        const Clock::time_point start = std::max(head.taken, tx.bus_free);
                        const std::uint32_t nominal = bitrate_or_default(
                            adapter.nominal_bitrate, channel, DEFAULT_BITRATE);
                        tx.head_done =
                            start + frame_bus_time(head.bytes.data(), head.bytes.size(), nominal,
                                                   bitrate_or_default(adapter.data_bitrate,
                                                                      channel, nominal));
                    }
                    if (*tx.head_done > now) {
                        earliest = earliest ? std::min(*earliest, *tx.head_done) : *tx.head_done;
                        break;
                    }
                    tx.bus_free = *tx.head_done;
                    tx.head_done.reset();
                }
                std::vector<std::uint8_t> bytes = std::move(tx.frames.front().bytes);
                tx.frames.pop_front();
                // The adapter sends the echo when the frame has left the bus, not when the
                // event thread gets round to it: its transfer reaches the host at the boundary
                // after the frame's end, however late the thread woke.
                const std::optional<Clock::time_point> deciding = adapter.deciding_as_of;
                if (adapter.bus_timing) {
                    adapter.deciding_as_of = tx.bus_free;
                }
                put_on_bus(s, adapter, std::move(bytes));
                adapter.deciding_as_of = deciding;
                progressed = true;
                // The room this frame left is taken at once, before the next frame's end.
                if (adapter.bus_timing) {
                    take_waiting(s, adapter, tx.bus_free);
                }
            }
        }
        if (take_waiting(s, adapter, std::nullopt)) {
            progressed = true;
        }
        if (!progressed) {
            return earliest;
        }
    }
}

void adapter_clear_tx(Sim& s, AdapterModel& adapter, std::uint8_t channel) {
    const auto found = adapter.tx.find(channel);
    if (found != adapter.tx.end()) {
        found->second.frames.clear();
        found->second.head_done.reset();
        found->second.bus_free = Clock::time_point{};
    }
    adapter_pump_tx(s, adapter, Clock::now());
}

}  // namespace ovsim::detail

namespace ovsim {

std::chrono::nanoseconds frame_time_on_bus(const std::vector<std::uint8_t>& host_frame,
                                           std::uint32_t nominal_bitrate,
                                           std::uint32_t data_bitrate) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(detail::frame_bus_time(
        host_frame.data(), host_frame.size(), nominal_bitrate, data_bitrate));
}

}  // namespace ovsim
