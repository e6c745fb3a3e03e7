#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

// The gs_usb host frame: one CAN or CAN FD frame per bulk transfer, little-endian fields.
namespace ovel::gsusb {

inline constexpr std::uint32_t ECHO_ID_RX = 0xFFFFFFFF;  // echo_id of a frame received from the bus
inline constexpr std::uint32_t ECHO_ID_TX = 1;  // echo_id of every frame the library transmits
// Queued sends take echo ids from their own range, far from ECHO_ID_TX and from the small ids
// other hosts' drivers use, one per send id, so that the frames in flight never share one.
inline constexpr std::uint32_t ECHO_ID_QUEUED_FIRST = 0x80000000;
inline constexpr std::uint32_t ECHO_ID_QUEUED_LAST = 0xFFFFFFFE;
constexpr std::uint32_t echo_id_for_send(std::uint64_t send_id) {
    return ECHO_ID_QUEUED_FIRST +
           static_cast<std::uint32_t>(send_id % (ECHO_ID_QUEUED_LAST - ECHO_ID_QUEUED_FIRST + 1));
}
constexpr bool is_queued_echo_id(std::uint32_t echo_id) {
    return echo_id >= ECHO_ID_QUEUED_FIRST && echo_id <= ECHO_ID_QUEUED_LAST;
}

// Bits of HostFrame::can_id.
inline constexpr std::uint32_t CAN_EFF_FLAG = 0x80000000, CAN_RTR_FLAG = 0x40000000,
                               CAN_ERR_FLAG = 0x20000000, CAN_ID_MASK = 0x1FFFFFFF,
                               CAN_SFF_MASK = 0x7FF;

// Bits of HostFrame::flags.
inline constexpr std::uint8_t FLAG_FD = 0x02, FLAG_BRS = 0x04, FLAG_ESI = 0x08;
// Set by the adapter on a received frame: its receive queue overflowed and frames before this one
// were lost.
inline constexpr std::uint8_t FLAG_OVERFLOW = 0x01;

inline constexpr std::size_t HOST_FRAME_SIZE = 80;        // receive buffer and in-memory record
inline constexpr std::size_t HOST_FRAME_SHORT_SIZE = 20;  // header and 8 data bytes
inline constexpr std::size_t HOST_FRAME_LONG_SIZE = 76;   // header and 64 data bytes

// Mirrors the 80-byte receive buffer field for field; only the decoder and encoder define the
// wire bytes, the layout checks below keep the record itself in step with it.
struct HostFrame {
    std::uint32_t echo_id = 0;
    std::uint32_t can_id = 0;
    std::uint8_t dlc = 0, channel = 0, flags = 0, reserved = 0;
    std::array<std::uint8_t, 64> data{};
    std::uint32_t timestamp = 0;
};

static_assert(sizeof(HostFrame) == HOST_FRAME_SIZE);
static_assert(offsetof(HostFrame, echo_id) == 0);
static_assert(offsetof(HostFrame, can_id) == 4);
static_assert(offsetof(HostFrame, dlc) == 8);
static_assert(offsetof(HostFrame, channel) == 9);
static_assert(offsetof(HostFrame, flags) == 10);
static_assert(offsetof(HostFrame, reserved) == 11);
static_assert(offsetof(HostFrame, data) == 12);
static_assert(offsetof(HostFrame, timestamp) == 76);

// Reads all 80 bytes of a receive buffer (fixed layout, little-endian). Cannot fail.
HostFrame decode_host_frame(std::span<const std::uint8_t, HOST_FRAME_SIZE> buffer);

// The host frames an adapter parses on bulk OUT. One without CAN FD reads only the 20-byte
// short form: a longer transfer is not a frame it knows.
enum class OutForms : std::uint8_t { ShortOnly, ShortAndLong };

// Writes the wire form into out and returns its length: the 20-byte short form when dlc <= 8
// and flags lacks FLAG_FD, otherwise the 76-byte long form. With OutForms::ShortOnly a frame
// without FLAG_FD always takes the short form: a DLC of 9 to 15 is carried unchanged with 8
// data bytes, as the Linux kernel sends a classic frame's DLC above 8 (the caller never passes
// FLAG_FD then). Bytes of out past the returned length are left untouched; timestamp is never
// written.
std::size_t encode_host_frame(const HostFrame& frame,
                              std::span<std::uint8_t, HOST_FRAME_LONG_SIZE> out,
                              OutForms forms = OutForms::ShortAndLong);

// Host-side time of a frame; carried but never set or read by the library.
struct HostTime {
    std::uint64_t seconds = 0;
    std::uint32_t nanoseconds = 0;
};

// The library's frame record for transmission. id holds no flag bits; data is the payload, of
// which at most the first 64 bytes are used.
struct CanFrame {
    std::vector<std::uint8_t> data;
    std::optional<HostTime> host_time;
    std::uint32_t id = 0;
    std::uint32_t device_timestamp = 0;
    bool extended = false, fd = false, brs = false, esi = false, echo = false, err = false,
         rtr = false;
    std::uint8_t dlc = 0, channel = 0;
};

// Builds the HostFrame to transmit: echo_id ECHO_ID_TX, can_id = id OR-ed (unmasked) with the
// flag bits, flags from fd/brs/esi (brs and esi only with fd: a classic frame has neither),
// reserved 0, data = the first min(size, 64) bytes then zeros, timestamp = device_timestamp.
HostFrame host_frame_for_transmit(const CanFrame& frame);

}  // namespace ovel::gsusb
