#pragma once

#include <cstdint>

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
};

}  // namespace ovel
