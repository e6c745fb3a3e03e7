// The object behind one handle.
#pragma once

#include <memory>
#include <string>

#include "device/device.h"
#include "ovelcanfd.h"

struct ovel_canfd_driver {
    std::unique_ptr<ovel::Device> device;
    // Handed to the receive dispatch thread by the start that brings reception up.
    ovel_canfd_rx_callback rx_callback = nullptr;
    // Failure text of the most recent call, empty after a success.
    std::string last_error;
};

namespace ovel {
using Driver = ovel_canfd_driver;
}
