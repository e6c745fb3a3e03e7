// How a channel takes part in its bus: the bitrates and mode the host configured, and which
// frames of another channel it can understand.
#include "model.h"

namespace ovsim {

bool ChannelBus::hears(const ChannelBus& sender, std::uint8_t frame_flags) const {
    if (nominal_bitrate != sender.nominal_bitrate) {
        return false;
    }
    if ((frame_flags & FRAME_FLAG_FD) == 0) {
        return true;  // an FD controller understands classic frames too
    }
    if ((mode_flags & MODE_FLAG_FD) == 0) {
        return false;
    }
    return (frame_flags & FRAME_FLAG_BRS) == 0 || data_bitrate == sender.data_bitrate;
}

ChannelBus Adapter::channel_bus(std::uint8_t channel) const {
    std::lock_guard lock(detail::sim().mutex);
    return detail::adapter_channel_bus(model_, channel);
}

namespace detail {

ChannelBus adapter_channel_bus(const AdapterModel& adapter, std::uint8_t channel) {
    ChannelBus bus;
    if (channel >= adapter.channel_flags.size()) {
        return bus;
    }
    bus.mode_flags = adapter.channel_flags[channel];
    if (const auto found = adapter.nominal_bitrate.find(channel);
        found != adapter.nominal_bitrate.end()) {
        bus.nominal_bitrate = found->second;
    }
    if (const auto found = adapter.data_bitrate.find(channel); found != adapter.data_bitrate.end()) {
        bus.data_bitrate = found->second;
    }
    return bus;
}

std::uint32_t bitrate_of_timing(const std::uint8_t* payload, std::uint32_t fclk_can) {
    std::uint32_t field[5];
    for (int i = 0; i < 5; ++i) {
        const std::uint8_t* in = payload + 4 * i;
        field[i] = static_cast<std::uint32_t>(in[0]) | static_cast<std::uint32_t>(in[1]) << 8 |
                   static_cast<std::uint32_t>(in[2]) << 16 | static_cast<std::uint32_t>(in[3]) << 24;
    }
    const std::uint64_t quanta = 1ull + field[0] + field[1] + field[2];
    const std::uint64_t brp = field[4];
    if (brp == 0) {
        return 0;
    }
    return static_cast<std::uint32_t>(fclk_can / (brp * quanta));
}

}  // namespace detail
}  // namespace ovsim
