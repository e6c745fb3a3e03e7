// candump's channel arguments: `CHANNEL[,FILTER]...` with the filters of SocketCAN's raw sockets:
//   123:7FF        pass when (frame id & mask) == (123 & mask)
//   123~7FF        pass when they differ
//   12345678:...   8 hex digits: the id is an extended one (the 0x80000000 flag is set)
//   #FFFFFFFF      error frames whose class bits meet this mask
//   j              a frame must pass every id filter instead of any
// The id compared is Linux's can_id: the identifier with 0x80000000 for extended and 0x40000000
// for remote frames. CHANNEL is 0-255, can0-can255 or "any". Pure: no I/O.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ovelcanfd.h"

namespace ovel::tool {

struct IdFilter {
    std::uint32_t id = 0;
    std::uint32_t mask = 0;
    bool inverted = false;
};

struct ChannelFilter {
    std::optional<std::uint8_t> channel;  // unset: every channel ("any")
    std::vector<IdFilter> ids;
    std::uint32_t error_mask = 0;
    bool join = false;
    // Without any filter every frame passes, error frames included; with filters, error frames
    // pass only through the error mask, as on a raw socket.
    bool any_filter = false;
};

std::optional<ChannelFilter> parse_channel_filter(std::string_view text, std::string& error);
bool passes(const ChannelFilter& filter, const ovel_canfd_frame& frame);

}  // namespace ovel::tool
