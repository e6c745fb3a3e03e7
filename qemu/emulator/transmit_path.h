#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

#include "gs_usb_model.h"

// The adapter's transmit side, as firmware in the field has it: each channel buffers a few
// frames from the host and sends them one after the other on its own bus, which no other node
// contends for; a frame's echo goes to the host when its last bit has left the bus. Times are
// ns on CLOCK_MONOTONIC.
namespace ovel::qemu {

// A host frame's time on the bus at these bitrates (the data bitrate with bit-rate switch), from
// the bit count the simulated adapter uses.
std::int64_t frame_time_on_bus_ns(const std::vector<std::uint8_t>& host_frame,
                                  std::uint32_t nominal_bitrate, std::uint32_t data_bitrate);

class TransmitPath {
  public:
    static constexpr unsigned DEFAULT_CAPACITY = 3;
    // A channel whose bit timing was never set sends at 1 Mbit/s.
    static constexpr std::uint32_t DEFAULT_BITRATE = 1'000'000;

    // Frames each channel's buffer holds.
    void set_capacity(unsigned frames) { capacity_ = frames; }
    unsigned capacity() const { return capacity_; }
    // 0: not set (the default rate; the data phase at the nominal one).
    void set_bitrates(unsigned channel, std::uint32_t nominal, std::uint32_t data);

    bool has_room(unsigned channel) const {
        return channel < CHANNEL_COUNT && buffers_[channel].size() < capacity_;
    }
    // Takes the frame that bulk OUT `transfer` carries into the adapter at `arrives_ns` (a room
    // the caller has checked for; the bytes may still be on their way over USB).
    void push(unsigned channel, std::uint64_t transfer, std::vector<std::uint8_t> frame,
              std::int64_t arrives_ns);
    // Forgets the frame of a transfer cancelled before its bytes arrived; false if none.
    bool remove(std::uint64_t transfer, std::int64_t now_ns);
    // The frames whose time on the bus has ended by `now_ns`, each channel's in order.
    std::vector<std::vector<std::uint8_t>> take_sent(std::int64_t now_ns);
    // When the next frame leaves its bus.
    std::optional<std::int64_t> next_due_ns() const;
    // A stopped channel or a reset adapter forgets what it had not sent.
    void clear(unsigned channel);
    void clear();

    // The most frames one channel held at once, since the last reset_peak.
    unsigned peak() const { return peak_; }
    void reset_peak() { peak_ = 0; }
    std::size_t buffered(unsigned channel) const {
        return channel < CHANNEL_COUNT ? buffers_[channel].size() : 0;
    }

  private:
    struct Buffered {
        std::uint64_t transfer;
        std::vector<std::uint8_t> frame;
        std::int64_t arrives_ns;
    };
    struct Channel {
        std::deque<Buffered> frames;
        std::int64_t bus_free_ns = 0;  // when the last frame sent left the bus
        std::uint32_t nominal = 0, data = 0;
        std::size_t size() const { return frames.size(); }
    };
    // When the head frame leaves the bus: it starts once its bytes are there and the bus is free.
    static std::int64_t head_done_ns(const Channel& channel);

    unsigned capacity_ = DEFAULT_CAPACITY;
    unsigned peak_ = 0;
    Channel buffers_[CHANNEL_COUNT];
};

}  // namespace ovel::qemu
