#pragma once

#include <cstdint>
#include <optional>

#include "gsusb/control_records.h"

namespace ovel::gsusb {

// CiA 601-3 and SocketCAN's default sample point for a bitrate, in permille: 875 up to
// 500 kbit/s, 800 up to 800 kbit/s, 750 above.
std::uint32_t default_sample_point(std::uint32_t bitrate);

// Finds the timing for `bitrate` at the adapter clock `fclk_can` within the adapter's `limits`
// whose sample point lies closest to `sample_point` permille (1 to 999). Bitrates are tried as
// the prescaler search does: exact first, then within 0.1 %, then within 0.5 %; within one of
// these, the closest sample point wins, then the smaller bitrate error, then the earlier sample
// point, then the smaller prescaler. tseg1 is split as the Linux kernel does (prop_seg =
// tseg1 / 2); sjw is the largest that sjw_max and both phase segments allow. nullopt when no
// timing exists (bitrate or clock 0 included).
std::optional<BitTiming> compute_sample_point_timing(std::uint32_t fclk_can, std::uint32_t bitrate,
                                                     std::uint32_t sample_point,
                                                     const TimingLimits& limits);

// What a timing gives on the bus: the bitrate rounded to bit/s and the sample point rounded to
// permille; zeros for a timing with no quanta or a clock of 0.
struct TimingResult {
    std::uint32_t bitrate = 0;
    std::uint32_t sample_point = 0;
};
TimingResult timing_result(std::uint32_t fclk_can, const BitTiming& timing);

}  // namespace ovel::gsusb
