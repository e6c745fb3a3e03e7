// Error frames as text, in candump -e style: each class the frame's identifier carries, with the
// details its data bytes give, e.g.
//   controller-problem{rx-error-warning,tx-error-passive},error-counter-tx-rx{{130}{97}}
// Pure: no I/O, no adapter.
#pragma once

#include <string>
#include <string_view>

#include "ovelcanfd.h"

namespace ovel::tool {

// The classes of an error frame (record.err set) joined by `separator`; "" for other frames.
// Classes without a known name appear as "error-class-0x..." so nothing is hidden.
std::string describe_error_frame(const ovel_canfd_frame& frame, std::string_view separator = ",");

}  // namespace ovel::tool
