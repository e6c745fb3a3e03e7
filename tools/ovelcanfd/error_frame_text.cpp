#include "error_frame_text.h"

#include <cstdint>
#include <cstdio>
#include <iterator>

namespace ovel::tool {
namespace {

struct Name {
    std::uint32_t bit;
    const char* text;
};

// Class bits of the identifier (SocketCAN's error-frame layout).
constexpr std::uint32_t LOST_ARBITRATION = 0x2, CONTROLLER = 0x4, PROTOCOL = 0x8,
                        TRANSCEIVER = 0x10, COUNTERS = 0x200;

constexpr Name CLASSES[] = {
    {0x001, "tx-timeout"},
    {LOST_ARBITRATION, "lost-arbitration"},
    {CONTROLLER, "controller-problem"},
    {PROTOCOL, "protocol-violation"},
    {TRANSCEIVER, "transceiver-status"},
    {0x020, "no-acknowledgement-on-tx"},
    {0x040, "bus-off"},
    {0x080, "bus-error"},
    {0x100, "restarted-after-bus-off"},
    {COUNTERS, "error-counter-tx-rx"},
};

// data[1]
constexpr Name CONTROLLER_DETAILS[] = {
    {0x01, "rx-overflow"},          {0x02, "tx-overflow"},      {0x04, "rx-error-warning"},
    {0x08, "tx-error-warning"},     {0x10, "rx-error-passive"}, {0x20, "tx-error-passive"},
    {0x40, "back-to-error-active"},
};

// data[2]
constexpr Name PROTOCOL_TYPES[] = {
    {0x01, "single-bit-error"},       {0x02, "frame-format-error"},
    {0x04, "bit-stuffing-error"},     {0x08, "tx-dominant-bit-error"},
    {0x10, "tx-recessive-bit-error"}, {0x20, "bus-overload"},
    {0x40, "active-error"},           {0x80, "error-on-tx"},
};

// data[3]: where in the frame a protocol violation happened.
constexpr Name PROTOCOL_LOCATIONS[] = {
    {0x03, "start-of-frame"}, {0x02, "id.28-to-21"},    {0x06, "id.20-to-18"},
    {0x04, "id.srr"},         {0x05, "id.ide"},         {0x07, "id.17-to-13"},
    {0x0F, "id.12-to-05"},    {0x0E, "id.04-to-00"},    {0x0C, "id.rtr"},
    {0x0D, "reserved-bit-1"}, {0x09, "reserved-bit-0"}, {0x0B, "data-length-code"},
    {0x0A, "data-field"},     {0x08, "crc-sequence"},   {0x18, "crc-delimiter"},
    {0x19, "ack-slot"},       {0x1B, "ack-delimiter"},  {0x1A, "end-of-frame"},
    {0x12, "intermission"},
};

void append_flags(std::string& out, std::uint8_t bits, const Name* names, std::size_t count) {
    bool first = true;
    for (std::size_t i = 0; i < count; ++i) {
        if ((bits & names[i].bit) != 0) {
            out += first ? "" : ",";
            out += names[i].text;
            first = false;
        }
    }
}

std::string number(unsigned value) {
    char text[16];
    std::snprintf(text, sizeof text, "%u", value);
    return text;
}

}  // namespace

std::string describe_error_frame(const ovel_canfd_frame& frame, std::string_view separator) {
    if (!frame.err) {
        return "";
    }
    // Details live in the first 8 data bytes; bytes past the DLC read as absent.
    const auto byte = [&](unsigned index) -> std::uint8_t {
        return index < frame.dlc ? frame.data[index] : 0;
    };
    std::string out;
    std::uint32_t unnamed = frame.id;
    for (const Name& name : CLASSES) {
        if ((frame.id & name.bit) == 0) {
            continue;
        }
        unnamed &= ~name.bit;
        if (!out.empty()) {
            out += separator;
        }
        out += name.text;
        if (name.bit == LOST_ARBITRATION && byte(0) != 0) {
            out += "{at bit " + number(byte(0)) + "}";
        } else if (name.bit == CONTROLLER && byte(1) != 0) {
            out += "{";
            append_flags(out, byte(1), CONTROLLER_DETAILS, std::size(CONTROLLER_DETAILS));
            out += "}";
        } else if (name.bit == PROTOCOL) {
            out += "{{";
            append_flags(out, byte(2), PROTOCOL_TYPES, std::size(PROTOCOL_TYPES));
            out += "}{";
            for (const Name& location : PROTOCOL_LOCATIONS) {
                if (location.bit == byte(3)) {
                    out += location.text;
                }
            }
            out += "}}";
        } else if (name.bit == COUNTERS) {
            out += "{{" + number(byte(6)) + "}{" + number(byte(7)) + "}}";
        }
    }
    if (unnamed != 0) {
        char text[32];
        std::snprintf(text, sizeof text, "error-class-0x%X", static_cast<unsigned>(unnamed));
        if (!out.empty()) {
            out += separator;
        }
        out += text;
    }
    return out;
}

}  // namespace ovel::tool
