// Test commands for the adapter's hardware timestamps, bus state and error reports.
#include <cstdlib>

#include "redir_adapter.h"

namespace ovel::qemu {
namespace {

constexpr std::uint32_t ECHO_ID_RX = 0xFFFFFFFF;
constexpr std::uint32_t CAN_ERR_FLAG = 0x20000000;
constexpr std::size_t SHORT_FRAME = 20;

// A number in decimal, or in hex with 0x.
bool read_number(std::istringstream& words, unsigned long& value) {
    std::string text;
    if (!(words >> text)) {
        return false;
    }
    char* end = nullptr;
    value = std::strtoul(text.c_str(), &end, 0);
    return *end == '\0' && value <= 0xFFFFFFFFul;
}

void put_u32(std::uint8_t* out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        out[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

}  // namespace

std::string RedirAdapter::timestamp_command(const std::string& verb, std::istringstream& words) {
    unsigned long a = 0, b = 0, c = 0, d = 0, e = 0;
    if (verb == "features") {
        // Read by the host when it opens the adapter.
        if (!read_number(words, a)) {
            return "error bad features";
        }
        model_.set_features(static_cast<std::uint32_t>(a));
        return "ok";
    }
    if (verb == "counter") {
        std::string rest;
        if (!(words >> rest)) {
            return "ok " + std::to_string(model_.counter_now());  // no value: read it
        }
        std::istringstream value(rest);
        if (!read_number(value, a)) {
            return "error bad counter";
        }
        model_.set_counter(static_cast<std::uint32_t>(a));
        return "ok";
    }
    if (verb == "bus-state") {
        if (!read_number(words, a) || !read_number(words, b) || !read_number(words, c) ||
            !read_number(words, d) || a >= CHANNEL_COUNT) {
            return "error bad bus-state";
        }
        model_.set_bus_state(static_cast<unsigned>(a), static_cast<std::uint32_t>(b),
                             static_cast<std::uint32_t>(c), static_cast<std::uint32_t>(d));
        return "ok";
    }
    if (verb == "error-frame") {
        if (!read_number(words, a) || !read_number(words, b) || !read_number(words, c) ||
            !read_number(words, d) || !read_number(words, e) || a >= CHANNEL_COUNT || c > 0xFF ||
            d > 0xFF || e > 0xFF) {
            return "error bad error-frame";
        }
        if (!accepting_packets()) {
            return "error not connected";
        }
        std::vector<std::uint8_t> frame(SHORT_FRAME, 0);
        put_u32(&frame[0], ECHO_ID_RX);
        put_u32(&frame[4], CAN_ERR_FLAG | static_cast<std::uint32_t>(b));
        frame[8] = 8;
        frame[9] = static_cast<std::uint8_t>(a);
        frame[12 + 1] = static_cast<std::uint8_t>(c);
        frame[12 + 6] = static_cast<std::uint8_t>(d);  // tx error counter
        frame[12 + 7] = static_cast<std::uint8_t>(e);  // rx error counter
        model_.stamp(frame);
        frames_to_host_.push_back(std::move(frame));
        deliver_frames();
        return "ok";
    }
    // overflow-next
    overflow_next_ = true;
    return "ok";
}

}  // namespace ovel::qemu
