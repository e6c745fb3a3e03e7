#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

// Payloads of the gs_usb vendor control requests; every multi-byte field is little-endian.
namespace ovel::gsusb {

enum class Request : std::uint8_t {
    BITTIMING = 1,
    MODE = 2,
    BT_CONST = 4,
    DEVICE_CONFIG = 5,
    DATA_BITTIMING = 8,
    // Firmware that follows the Linux kernel's numbering takes the data-phase timing here (its
    // 8 is GET_USER_ID); the library falls back to it when 8 stalls.
    DATA_BITTIMING_STANDARD = 10,
    BT_CONST_EXT = 11,
    IDENTIFY = 7,
    SET_TERMINATION = 12,
    GET_TERMINATION = 13,
    TIMESTAMP = 6,
    GET_STATE = 14,
};

// Bits of BtConst::feature.
inline constexpr std::uint32_t FEATURE_LISTEN_ONLY = 0x1, FEATURE_LOOP_BACK = 0x2,
                               FEATURE_FD = 0x100;
inline constexpr std::uint32_t FEATURE_BT_CONST_EXT = 0x400;
inline constexpr std::uint32_t FEATURE_IDENTIFY = 1u << 5, FEATURE_TERMINATION = 1u << 11;
// Payload of IDENTIFY, SET_TERMINATION and the reply of GET_TERMINATION: one u32, 1 on, 0 off.
inline constexpr std::size_t SWITCH_SIZE = 4;
inline constexpr std::uint32_t FEATURE_HW_TIMESTAMP = 0x10, FEATURE_GET_STATE = 0x2000;

// DeviceMode::mode values and DeviceMode::flags bits.
inline constexpr std::uint32_t MODE_RESET = 0, MODE_START = 1;
inline constexpr std::uint32_t MODE_FLAG_LISTEN_ONLY = 0x1, MODE_FLAG_LOOP_BACK = 0x2,
                               MODE_FLAG_FD = 0x100;
inline constexpr std::uint32_t MODE_FLAG_HW_TIMESTAMP = 0x10;

// Reply of DEVICE_CONFIG: the adapter has icount + 1 channels.
struct DeviceConfig {
    std::uint8_t reserved1 = 0, reserved2 = 0, reserved3 = 0, icount = 0;
    std::uint32_t sw_version = 0, hw_version = 0;

    static constexpr std::size_t SIZE = 12;

    // Reads the first SIZE bytes; callers check bytes.size() >= SIZE and extra bytes are ignored.
    // Should a shorter span slip through anyway, the missing bytes read as zero rather than
    // reading past its end.
    static DeviceConfig decode(std::span<const std::uint8_t> bytes);
};

// Reply of BT_CONST: feature bits and the adapter's CAN clock, followed by timing limits that
// the bit-timing search does not consult.
struct BtConst {
    std::uint32_t feature = 0, fclk_can = 0, tseg1_min = 0, tseg1_max = 0, tseg2_min = 0,
                  tseg2_max = 0, sjw_max = 0, brp_min = 0, brp_max = 0, brp_inc = 0;

    static constexpr std::size_t SIZE = 40;

    // Same contract as DeviceConfig::decode, over SIZE bytes.
    static BtConst decode(std::span<const std::uint8_t> bytes);
};

// The timing limits of one bit phase as an adapter reports them; tseg1 is prop_seg + phase_seg1.
struct TimingLimits {
    std::uint32_t tseg1_min = 0, tseg1_max = 0, tseg2_min = 0, tseg2_max = 0, sjw_max = 0,
                  brp_min = 0, brp_max = 0, brp_inc = 0;

    bool operator==(const TimingLimits&) const = default;
};

// The nominal-phase limits that BT_CONST reports.
TimingLimits nominal_limits(const BtConst& constants);

// Reply of BT_CONST_EXT: BT_CONST's ten words, then the data-phase limits (its own sjw has no
// minimum word, as in BT_CONST).
struct BtConstExt {
    BtConst nominal;
    TimingLimits data;

    static constexpr std::size_t SIZE = 72;

    // Same contract as DeviceConfig::decode, over SIZE bytes.
    static BtConstExt decode(std::span<const std::uint8_t> bytes);
};

// Payload of BITTIMING and DATA_BITTIMING.
struct BitTiming {
    std::uint32_t prop_seg = 0, phase_seg1 = 0, phase_seg2 = 0, sjw = 0, brp = 0;

    static constexpr std::size_t SIZE = 20;

    std::array<std::uint8_t, SIZE> encode() const;
    bool operator==(const BitTiming&) const = default;
};

// Payload of MODE.
struct DeviceMode {
    std::uint32_t mode = 0, flags = 0;

    static constexpr std::size_t SIZE = 8;

    std::array<std::uint8_t, SIZE> encode() const;
};

// Reply of TIMESTAMP: the adapter's free-running 1 MHz counter.
struct Timestamp {
    std::uint32_t counter_us = 0;

    static constexpr std::size_t SIZE = 4;

    static Timestamp decode(std::span<const std::uint8_t> bytes);
};

// Reply of GET_STATE. state: 0 error-active, 1 warning, 2 passive, 3 bus-off, 4 stopped,
// 5 sleeping; anything else means the adapter cannot tell.
struct DeviceState {
    std::uint32_t state = 0, rxerr = 0, txerr = 0;

    static constexpr std::size_t SIZE = 12;
    static constexpr std::uint32_t LAST_KNOWN_STATE = 5;

    static DeviceState decode(std::span<const std::uint8_t> bytes);
};

}  // namespace ovel::gsusb
