#pragma once

#include <cstdint>
#include <optional>

#include "gsusb/control_records.h"

namespace ovel {

// What the application asked for one channel. The flags reach the adapter with the
// next start; the bitrates record the last timing the adapter took.
struct ChannelSettings {
    std::uint32_t bitrate = 0;
    std::uint32_t data_bitrate = 0;
    bool enabled = true;
    bool loopback = false;
    bool monitor = false;
    bool fd = false;
    bool started = false;
    // The timings the adapter last took for the nominal and the data phase.
    std::optional<gsusb::BitTiming> nominal_timing;
    std::optional<gsusb::BitTiming> data_timing;
};

}  // namespace ovel
