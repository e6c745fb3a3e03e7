// The object behind one handle.
#pragma once

#include <memory>
#include <string>

#include "device/device.h"
#include "ovelcanfd.h"

struct ovel_canfd_driver {
    std::unique_ptr<ovel::Device> device;
    // Failure text of the most recent call, empty after a success.
    std::string last_error;
};

namespace ovel {
using Driver = ovel_canfd_driver;
}
