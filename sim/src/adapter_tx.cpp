// The adapter's transmit side: a buffer of a few frames per channel, the frames' time on the
// bus, their echoes, and the bulk OUT transfers it NAKs while a buffer is full.
//
// Time on the bus (with bus timing on) counts the bits of the frame as ISO 11898-1 lays them out,
// without stuff bits (neither the dynamic ones nor CAN FD's fixed ones in the CRC field), so it is
// the shortest time the frame can take:
//   classic, 11-bit identifier: 47 + 8 * data bytes bits (SOF, identifier, RTR, IDE, r0, DLC,
//     data, CRC 15, CRC delimiter, ACK slot and delimiter, EOF 7, intermission 3);
//   classic, 29-bit identifier: 67 + 8 * data bytes (SRR, IDE, 18 more identifier bits, r1);
//   remote frames carry no data bytes;
//   CAN FD: the arbitration phase (SOF, identifier, RRS, IDE, FDF, res, BRS: 17 bits, or 36
//     with a 29-bit identifier) and the end (ACK 2, EOF 7, intermission 3: 12 bits) at the
//     nominal bitrate; the data phase (ESI, DLC 4, data, stuff count 4, CRC 17 up to 16 data
//     bytes and 21 above, CRC delimiter) at the data bitrate with bit-rate switch, at the
//     nominal one without.
// A channel whose bitrate was never set counts 1 Mbit/s (and its nominal rate for the data phase).
#include "model.h"

#include <algorithm>

namespace ovsim::detail {
namespace {

constexpr std::size_t CLASSIC_WIRE_LENGTH = 20;
constexpr std::size_t CHANNEL_OFFSET = 9;
constexpr std::uint32_t DEFAULT_BITRATE = 1'000'000;

std::uint32_t get_u32(const std::uint8_t* bytes) {
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
           static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

std::size_t data_length(std::uint8_t dlc, bool fd) {
    static constexpr std::size_t FD_LENGTHS[16] = {0, 1,  2,  3,  4,  5,  6,  7,
                                                   8, 12, 16, 20, 24, 32, 48, 64};
    return fd ? FD_LENGTHS[dlc & 0xF] : std::min<std::size_t>(dlc & 0xF, 8);
}

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

// Takes a bulk OUT: complete, recorded, and into its channel's buffer when it is a frame there.
void take_out(Sim& s, AdapterModel& adapter, TransferState& transfer) {
    libusb_transfer& pub = *transfer.pub();
    const auto length = static_cast<std::size_t>(pub.length);
    adapter.out_log.emplace_back(pub.buffer, pub.buffer + length);
    adapter_complete(s, adapter, transfer, LIBUSB_TRANSFER_COMPLETED, pub.length);
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
        tx.frames.push_back({adapter.out_log.back(), Clock::now()});
    }
}

}  // namespace

Clock::duration frame_bus_time(const std::uint8_t* bytes, std::size_t length,
                               std::uint32_t nominal_bitrate, std::uint32_t data_bitrate) {
    if (length < 12) {
        return Clock::duration::zero();
    }
    const std::uint32_t can_id = get_u32(bytes + 4);
    const bool extended = (can_id & 0x80000000u) != 0;
    const bool remote = (can_id & 0x40000000u) != 0;
    const std::uint8_t flags = bytes[10];
    const bool fd = (flags & FRAME_FLAG_FD) != 0;
    const std::size_t data = remote && !fd ? 0 : data_length(bytes[8], fd);
    if (!fd) {
        return bits_at((extended ? 67 : 47) + 8 * data, nominal_bitrate);
    }
    const std::uint64_t nominal_bits = (extended ? 36 : 17) + 12;
    const std::uint64_t data_bits = 1 + 4 + 8 * data + 4 + (data <= 16 ? 17 : 21) + 1;
    const bool brs = (flags & FRAME_FLAG_BRS) != 0;
    return bits_at(nominal_bits, nominal_bitrate) +
           bits_at(data_bits, brs ? data_bitrate : nominal_bitrate);
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
        adapter.waiting_out.push_back(transfer);
        return;
    }
    take_out(s, adapter, transfer);
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
            }
        }
        while (TransferState* waiting = adapter.waiting_out.front()) {
            libusb_transfer& pub = *waiting->pub();
            if (adapter_out_must_wait(adapter, pub.buffer, static_cast<std::size_t>(pub.length))) {
                break;
            }
            adapter.waiting_out.remove(*waiting);
            waiting->out_waiting = false;
            take_out(s, adapter, *waiting);
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
