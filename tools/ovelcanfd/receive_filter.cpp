// candump's filter syntax and SocketCAN's matching rule.
#include "receive_filter.h"

#include "arguments.h"

namespace ovel::tool {
namespace {

constexpr std::uint32_t EFF_FLAG = 0x80000000;
constexpr std::uint32_t RTR_FLAG = 0x40000000;
constexpr std::uint32_t ERR_FLAG = 0x20000000;

std::optional<std::uint32_t> hex32(std::string_view text) {
    if (text.empty() || text.size() > 8) {
        return std::nullopt;
    }
    std::uint32_t value = 0;
    for (const char c : text) {
        int digit = -1;
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        } else if (c >= 'a' && c <= 'f') {
            digit = c - 'a' + 10;
        } else if (c >= 'A' && c <= 'F') {
            digit = c - 'A' + 10;
        }
        if (digit < 0) {
            return std::nullopt;
        }
        value = value << 4 | static_cast<std::uint32_t>(digit);
    }
    return value;
}

std::optional<IdFilter> parse_id_filter(std::string_view text) {
    const std::size_t split = text.find_first_of(":~");
    if (split == std::string_view::npos) {
        return std::nullopt;
    }
    const auto id = hex32(text.substr(0, split));
    const auto mask = hex32(text.substr(split + 1));
    if (!id || !mask) {
        return std::nullopt;
    }
    IdFilter filter;
    filter.id = *id | (split == 8 ? EFF_FLAG : 0);
    filter.mask = *mask & ~ERR_FLAG;
    filter.inverted = text[split] == '~';
    return filter;
}

bool matches(const IdFilter& filter, std::uint32_t can_id) {
    const bool equal = (can_id & filter.mask) == (filter.id & filter.mask);
    return equal != filter.inverted;
}

}  // namespace

std::optional<ChannelFilter> parse_channel_filter(std::string_view text, std::string& error) {
    ChannelFilter result;
    const std::size_t comma = text.find(',');
    const std::string channel_text(text.substr(0, comma));
    if (channel_text != "any") {
        result.channel = parse_channel(channel_text, error);
        if (!result.channel) {
            return std::nullopt;
        }
    }
    std::string_view rest =
        comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
    while (comma != std::string_view::npos) {
        const std::size_t next = rest.find(',');
        const std::string_view item = rest.substr(0, next);
        result.any_filter = true;
        if (item == "j" || item == "J") {
            result.join = true;
        } else if (!item.empty() && item[0] == '#') {
            const auto mask = hex32(item.substr(1));
            if (!mask) {
                error = "bad error mask \"" + std::string(item) + "\": '#' and up to 8 hex digits";
                return std::nullopt;
            }
            result.error_mask = *mask;
        } else if (const auto filter = parse_id_filter(item)) {
            result.ids.push_back(*filter);
        } else {
            error = "bad filter \"" + std::string(item) +
                    "\": ID:MASK or ID~MASK in hex (123:7FF), #ERRORMASK or j";
            return std::nullopt;
        }
        if (next == std::string_view::npos) {
            break;
        }
        rest.remove_prefix(next + 1);
    }
    return result;
}

bool passes(const ChannelFilter& filter, const ovel_canfd_frame& frame) {
    if (filter.channel && *filter.channel != frame.channel) {
        return false;
    }
    if (!filter.any_filter) {
        return true;
    }
    if (frame.err) {
        return (frame.id & filter.error_mask) != 0;
    }
    if (filter.ids.empty()) {
        return true;
    }
    const std::uint32_t can_id =
        frame.id | (frame.extended ? EFF_FLAG : 0) | (frame.rtr ? RTR_FLAG : 0);
    for (const IdFilter& id_filter : filter.ids) {
        if (matches(id_filter, can_id) != filter.join) {
            return !filter.join;
        }
    }
    return filter.join;
}

}  // namespace ovel::tool
