#pragma once

#include <cstdint>

#include "device/driver_error.h"

namespace ovel {

// The return code that stands for a DriverError at the C boundary.
std::int32_t return_code(const DriverError& error);

}  // namespace ovel
