// Error frames as adapters report them (SocketCAN's error-frame layout) and the bus state they
// imply: pure, no libusb.
#pragma once

#include <cstdint>

#include "gsusb/host_frame.h"

namespace ovel::gsusb {

// Class bits in can_id of an error frame.
inline constexpr std::uint32_t ERR_TX_TIMEOUT = 0x1, ERR_LOST_ARBITRATION = 0x2,
                               ERR_CONTROLLER = 0x4, ERR_PROTOCOL = 0x8, ERR_TRANSCEIVER = 0x10,
                               ERR_NO_ACK = 0x20, ERR_BUS_OFF = 0x40, ERR_BUS_ERROR = 0x80,
                               ERR_RESTARTED = 0x100, ERR_COUNTERS = 0x200;
// Controller details in data[1].
inline constexpr std::uint8_t ERR_CTRL_RX_OVERFLOW = 0x01, ERR_CTRL_TX_OVERFLOW = 0x02,
                              ERR_CTRL_RX_WARNING = 0x04, ERR_CTRL_TX_WARNING = 0x08,
                              ERR_CTRL_RX_PASSIVE = 0x10, ERR_CTRL_TX_PASSIVE = 0x20,
                              ERR_CTRL_ACTIVE = 0x40;

// Channel states, numbered as GET_STATE answers them.
enum class BusState : std::uint8_t {
    ErrorActive = 0,
    ErrorWarning = 1,
    ErrorPassive = 2,
    BusOff = 3,
    Stopped = 4,
    Sleeping = 5,
};

struct BusStatus {
    BusState state = BusState::ErrorActive;
    std::uint8_t rx_errors = 0, tx_errors = 0;

    bool operator==(const BusStatus&) const = default;
};

// The status after the error frame `frame` (can_id carries ERR flag and class bits), starting
// from `current`, checked in the order of the Linux kernel's gs_usb driver: a restart returns to
// error-active (even with bus-off also set), then bus-off, then a controller report moves to
// warning (which wins over passive when both are set), passive, or back to active by its
// details. Unlike the kernel, a controller report that says nothing about the state (only an
// overflow) keeps it, as do other reports (bus errors). The counters are taken from data[6]
// (tx) and data[7] (rx) when the frame says it carries them, or when it is a controller or
// bus-off report of 8 bytes, the form adapters use for state changes.
BusStatus next_bus_status(const BusStatus& current, const HostFrame& frame);

}  // namespace ovel::gsusb
