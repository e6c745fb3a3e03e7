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

// The first field of an explicit timing that the adapter's `limits` do not allow ("brp",
// "tseg1" for prop_seg + phase_seg1, "phase_seg2", "sjw"), or nullptr when it fits. sjw is
// 1 to sjw_max and at most each phase segment, as the Linux kernel requires; brp a multiple of
// brp_inc within brp_min to brp_max.
const char* timing_outside_limits(const BitTiming& timing, const TimingLimits& limits);

}  // namespace ovel::gsusb
