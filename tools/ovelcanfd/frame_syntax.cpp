// cansend syntax in both directions and the dump line.
#include "frame_syntax.h"

#include <array>
#include <cstdio>

namespace ovel::tool {
namespace {

constexpr std::array<std::uint8_t, 16> FD_LENGTHS = {0, 1,  2,  3,  4,  5,  6,  7,
                                                     8, 12, 16, 20, 24, 32, 48, 64};
constexpr std::uint32_t STANDARD_ID_MAX = 0x7FF;
constexpr std::uint32_t EXTENDED_ID_LIMIT = 1u << 29;
constexpr std::uint32_t ERROR_FRAME_FLAG = 1u << 29;  // as in Linux's can_id
constexpr std::size_t CLASSIC_MAX = 8;
constexpr std::size_t FD_MAX = 64;

int hex_value(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

std::string quoted(char c) {
    if (c >= 0x20 && c <= 0x7E) {
        return std::string("'") + c + "'";
    }
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", static_cast<unsigned char>(c));
    return text;
}

ParsedFrame failure(std::string message) {
    return ParsedFrame{std::nullopt, std::move(message)};
}

// Hex byte pairs, dots allowed between bytes; up to `limit` bytes into `frame.data`.
std::optional<std::string> parse_data(std::string_view text, std::size_t limit, const char* kind,
                                      ovel_canfd_frame& frame, std::size_t& count) {
    count = 0;
    int high = -1;
    for (const char c : text) {
        if (c == '.') {
            if (high >= 0) {
                return "a '.' splits a data byte";
            }
            continue;
        }
        const int value = hex_value(c);
        if (value < 0) {
            return "invalid character " + quoted(c) + " in data";
        }
        if (high < 0) {
            high = value;
            continue;
        }
        if (count == limit) {
            return "more than " + std::to_string(limit) + " data bytes (" + kind + ")";
        }
        frame.data[count++] = static_cast<std::uint8_t>(high << 4 | value);
        high = -1;
    }
    if (high >= 0) {
        return "odd number of hex digits in data";
    }
    return std::nullopt;
}

// "_X" after 8 classic bytes: a DLC of 9 to 15 in one hex digit.
std::optional<std::string> parse_classic_dlc_suffix(std::string_view suffix,
                                                    ovel_canfd_frame& frame) {
    if (suffix.size() != 2 || suffix[0] != '_' || hex_value(suffix[1]) < 9) {
        return "a DLC suffix must be '_' and one hex digit 9 to F";
    }
    frame.dlc = static_cast<std::uint8_t>(hex_value(suffix[1]));
    return std::nullopt;
}

std::string hex_bytes(const std::uint8_t* data, std::size_t count, const char* separator) {
    std::string text;
    char byte[4];
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0) {
            text += separator;
        }
        std::snprintf(byte, sizeof byte, "%02X", data[i]);
        text += byte;
    }
    return text;
}

std::string identifier_text(const ovel_canfd_frame& frame) {
    char text[16];
    if (frame.err) {
        std::snprintf(text, sizeof text, "%08X", frame.id | ERROR_FRAME_FLAG);
    } else {
        std::snprintf(text, sizeof text, frame.extended ? "%08X" : "%03X", frame.id);
    }
    return text;
}

}  // namespace

std::size_t fd_dlc_to_length(std::uint8_t dlc) {
    return FD_LENGTHS[dlc > 15 ? 15 : dlc];
}

std::uint8_t fd_length_to_dlc(std::size_t length) {
    for (std::uint8_t dlc = 0; dlc < FD_LENGTHS.size(); ++dlc) {
        if (FD_LENGTHS[dlc] >= length) {
            return dlc;
        }
    }
    return 15;
}

std::size_t payload_length(const ovel_canfd_frame& frame) {
    if (frame.rtr) {
        return 0;
    }
    if (frame.fd) {
        return fd_dlc_to_length(frame.dlc);
    }
    return frame.dlc > CLASSIC_MAX ? CLASSIC_MAX : frame.dlc;
}

ParsedFrame parse_frame(std::string_view text, std::uint8_t channel) {
    ovel_canfd_frame frame{};
    frame.channel = channel;
    const std::size_t hash = text.find('#');
    if (hash == std::string_view::npos) {
        return failure("missing '#' between identifier and data");
    }
    const std::string_view id_text = text.substr(0, hash);
    if (id_text.size() != 3 && id_text.size() != 8) {
        return failure("the identifier must be 3 hex digits (standard) or 8 (extended)");
    }
    std::uint32_t id = 0;
    for (const char c : id_text) {
        const int value = hex_value(c);
        if (value < 0) {
            return failure("invalid character " + quoted(c) + " in identifier");
        }
        id = id << 4 | static_cast<std::uint32_t>(value);
    }
    if (id_text.size() == 3) {
        if (id > STANDARD_ID_MAX) {
            return failure("standard identifier " + std::string(id_text) + " is above 7FF");
        }
    } else if ((id & ERROR_FRAME_FLAG) != 0 && id < 2 * EXTENDED_ID_LIMIT) {
        frame.err = true;
        id &= ~ERROR_FRAME_FLAG;
    } else if (id >= EXTENDED_ID_LIMIT) {
        return failure("extended identifier " + std::string(id_text) + " is above 1FFFFFFF");
    } else {
        frame.extended = true;
    }
    frame.id = id;

    std::string_view rest = text.substr(hash + 1);
    std::size_t count = 0;
    if (!rest.empty() && rest[0] == '#') {
        if (frame.err) {
            return failure("an error frame cannot be a CAN FD frame");
        }
        if (rest.size() < 2 || hex_value(rest[1]) < 0) {
            return failure("'##' must be followed by a flags hex digit (1 BRS, 2 ESI)");
        }
        const int flags = hex_value(rest[1]);
        frame.fd = true;
        frame.brs = (flags & 0x1) != 0;
        frame.esi = (flags & 0x2) != 0;
        if (auto error = parse_data(rest.substr(2), FD_MAX, "CAN FD", frame, count)) {
            return failure(*error);
        }
        frame.dlc = fd_length_to_dlc(count);
        return ParsedFrame{frame, ""};
    }
    if (!rest.empty() && (rest[0] == 'R' || rest[0] == 'r')) {
        frame.rtr = true;
        rest.remove_prefix(1);
        if (!rest.empty() && rest[0] >= '0' && rest[0] <= '8') {
            frame.dlc = static_cast<std::uint8_t>(rest[0] - '0');
            rest.remove_prefix(1);
        }
        if (!rest.empty()) {
            if (frame.dlc != CLASSIC_MAX) {
                return failure("a remote request takes a length 0 to 8 and nothing else");
            }
            if (auto error = parse_classic_dlc_suffix(rest, frame)) {
                return failure(*error);
            }
        }
        return ParsedFrame{frame, ""};
    }
    const std::size_t underscore = rest.find('_');
    if (auto error =
            parse_data(rest.substr(0, underscore), CLASSIC_MAX, "classic CAN", frame, count)) {
        return failure(*error);
    }
    frame.dlc = static_cast<std::uint8_t>(count);
    if (underscore != std::string_view::npos) {
        if (count != CLASSIC_MAX) {
            return failure("a DLC suffix needs exactly 8 data bytes");
        }
        if (auto error = parse_classic_dlc_suffix(rest.substr(underscore), frame)) {
            return failure(*error);
        }
    }
    return ParsedFrame{frame, ""};
}

std::string format_compact(const ovel_canfd_frame& frame) {
    std::string text = identifier_text(frame) + "#";
    if (frame.fd) {
        text += "#";
        text += "0123"[(frame.brs ? 1 : 0) | (frame.esi ? 2 : 0)];
        return text + hex_bytes(frame.data, payload_length(frame), "");
    }
    if (frame.rtr) {
        text += "R";
        if (frame.dlc > 0) {
            text += std::to_string(frame.dlc > CLASSIC_MAX ? CLASSIC_MAX : frame.dlc);
        }
    } else {
        text += hex_bytes(frame.data, payload_length(frame), "");
    }
    if (frame.dlc > CLASSIC_MAX) {
        char suffix[4];
        std::snprintf(suffix, sizeof suffix, "_%X", frame.dlc & 0xF);
        text += suffix;
    }
    return text;
}

std::string format_frame_columns(const ovel_canfd_frame& frame) {
    char head[64];
    std::snprintf(head, sizeof head, "can%u  %s %c %c %c  %-8s  ", frame.channel,
                  frame.echo ? "TX" : "RX", frame.fd ? 'F' : '-', frame.brs ? 'B' : '-',
                  frame.esi ? 'E' : '-', identifier_text(frame).c_str());
    std::string line = head;
    char length[16];
    if (!frame.fd && frame.dlc > CLASSIC_MAX) {
        std::snprintf(length, sizeof length, "[8:%u]", frame.dlc);
    } else {
        char bracketed[8];
        std::snprintf(bracketed, sizeof bracketed, "[%u]",
                      static_cast<unsigned>(frame.rtr ? frame.dlc : payload_length(frame)));
        std::snprintf(length, sizeof length, "%4s", bracketed);
    }
    line += length;
    if (frame.rtr) {
        line += "  remote request";
    } else if (payload_length(frame) > 0) {
        line += "  " + hex_bytes(frame.data, payload_length(frame), " ");
    }
    if (frame.err) {
        line += "  ERRORFRAME";
    }
    return line;
}

std::string format_log_line(const ovel_canfd_frame& frame, const timespec& host_time) {
    char stamp[48];
    std::snprintf(stamp, sizeof stamp, "(%lld.%06ld)  ", static_cast<long long>(host_time.tv_sec),
                  host_time.tv_nsec / 1000);
    return stamp + format_frame_columns(frame);
}

}  // namespace ovel::tool
