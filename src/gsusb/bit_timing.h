#pragma once

#include <cstdint>
#include <optional>

#include "gsusb/control_records.h"

namespace ovel::gsusb {

// Finds the timing for bitrate at the adapter clock fclk_can with the three-pass prescaler
// search (exact match first, then within 0.1 %, then within 0.5 %; smallest prescaler wins
// within a pass). nullopt when no timing exists, including bitrate 0 and fclk_can 0; the
// caller reports InvalidBitrate(bitrate).
std::optional<BitTiming> compute_bit_timing(std::uint32_t fclk_can, std::uint32_t bitrate);

}  // namespace ovel::gsusb
