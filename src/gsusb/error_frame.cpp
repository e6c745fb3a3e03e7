#include "gsusb/error_frame.h"

namespace ovel::gsusb {

BusStatus next_bus_status(const BusStatus& current, const HostFrame& frame) {
    BusStatus next = current;
    const std::uint32_t classes = frame.can_id & CAN_ID_MASK;
    const std::uint8_t details = frame.data[1];
    // The precedence of the Linux kernel's gs_usb driver: a restart before bus-off, warning
    // before passive, so that a frame read by both gives the same state.
    if ((classes & ERR_RESTARTED) != 0) {
        next.state = BusState::ErrorActive;
    } else if ((classes & ERR_BUS_OFF) != 0) {
        next.state = BusState::BusOff;
    } else if ((classes & ERR_CONTROLLER) != 0) {
        if ((details & (ERR_CTRL_RX_WARNING | ERR_CTRL_TX_WARNING)) != 0) {
            next.state = BusState::ErrorWarning;
        } else if ((details & (ERR_CTRL_RX_PASSIVE | ERR_CTRL_TX_PASSIVE)) != 0) {
            next.state = BusState::ErrorPassive;
        } else if ((details & ERR_CTRL_ACTIVE) != 0) {
            next.state = BusState::ErrorActive;
        }
    }
    const bool state_report = (classes & (ERR_CONTROLLER | ERR_BUS_OFF)) != 0 && frame.dlc >= 8;
    if ((classes & ERR_COUNTERS) != 0 || state_report) {
        next.tx_errors = frame.data[6];
        next.rx_errors = frame.data[7];
    }
    return next;
}

}  // namespace ovel::gsusb
