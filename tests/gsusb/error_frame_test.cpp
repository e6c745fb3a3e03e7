#include "gsusb/error_frame.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace ovel::gsusb {
namespace {

HostFrame error_frame(std::uint32_t classes, std::uint8_t details) {
    HostFrame frame;
    frame.echo_id = ECHO_ID_RX;
    frame.can_id = CAN_ERR_FLAG | classes;
    frame.dlc = 8;
    frame.data[1] = details;
    return frame;
}

// Frames that carry more than one condition read as the Linux kernel's gs_usb driver reads
// them: a restart before bus-off, a warning before passive.
TEST(ErrorFrame, CombinedReportsFollowTheKernelsPrecedence) {
    const BusStatus passive{BusState::ErrorPassive, 0, 0};
    const BusStatus off{BusState::BusOff, 0, 0};
    EXPECT_EQ(next_bus_status(off, error_frame(ERR_RESTARTED | ERR_BUS_OFF, 0)).state,
              BusState::ErrorActive);
    EXPECT_EQ(next_bus_status(passive, error_frame(ERR_BUS_OFF | ERR_CONTROLLER,
                                                    ERR_CTRL_TX_WARNING))
                  .state,
              BusState::BusOff);
    EXPECT_EQ(next_bus_status(passive, error_frame(ERR_CONTROLLER,
                                                    ERR_CTRL_TX_WARNING | ERR_CTRL_RX_PASSIVE))
                  .state,
              BusState::ErrorWarning);
    EXPECT_EQ(next_bus_status(off, error_frame(ERR_RESTARTED | ERR_CONTROLLER,
                                                ERR_CTRL_TX_PASSIVE))
                  .state,
              BusState::ErrorActive);
    // Only an overflow: nothing said about the state.
    EXPECT_EQ(next_bus_status(passive, error_frame(ERR_CONTROLLER, ERR_CTRL_RX_OVERFLOW)).state,
              BusState::ErrorPassive);
}

}  // namespace
}  // namespace ovel::gsusb
