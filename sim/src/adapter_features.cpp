// The emulated adapter's optional requests, each allowed by a feature bit of BT_CONST:
// IDENTIFY, SET_TERMINATION and GET_TERMINATION are answered; sending any optional request the
// adapter did not report is misuse.
#include "model.h"

#include <string>

namespace ovsim::detail {
namespace {

constexpr std::uint8_t TYPE_MASK = 0x60;
constexpr std::uint8_t TYPE_VENDOR = 0x40;
constexpr int SWITCH_SIZE = 4;

struct Gate {
    std::uint8_t request;
    std::uint32_t feature;
    const char* name;
};

// DATA_BITTIMING and the user-id read are left out: their numbers are the adapter's concern in
// adapter_control.cpp.
constexpr Gate GATES[] = {
    {6, FEATURE_HW_TIMESTAMP, "TIMESTAMP"},
    {REQUEST_IDENTIFY, FEATURE_IDENTIFY, "IDENTIFY"},
    {9, FEATURE_USER_ID, "SET_USER_ID"},
    {11, FEATURE_BT_CONST_EXT, "BT_CONST_EXT"},
    {REQUEST_SET_TERMINATION, FEATURE_TERMINATION, "SET_TERMINATION"},
    {REQUEST_GET_TERMINATION, FEATURE_TERMINATION, "GET_TERMINATION"},
    {14, FEATURE_GET_STATE, "GET_STATE"},
};

std::uint32_t switch_value(const ControlRecord& request) {
    const auto& p = request.payload;
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

}  // namespace

void adapter_check_feature(const AdapterModel& adapter, const ControlRecord& request) {
    if ((request.request_type & TYPE_MASK) != TYPE_VENDOR) {
        return;
    }
    for (const Gate& gate : GATES) {
        if (gate.request == request.request && (adapter.config.features & gate.feature) == 0) {
            static std::string message;  // misuse() does not return
            message = std::string(gate.name) + " (request " + std::to_string(gate.request) +
                      ") sent to an adapter that did not report its feature bit";
            misuse(message.c_str());
        }
    }
}

std::optional<std::vector<std::uint8_t>> adapter_feature_reply(const AdapterModel& adapter,
                                                               const ControlRecord& request) {
    if (request.request != REQUEST_GET_TERMINATION || request.value > adapter.config.icount) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> reply(SWITCH_SIZE, 0);
    reply[0] = adapter.termination[request.value] ? 1 : 0;
    return reply;
}

std::optional<bool> adapter_feature_accept(AdapterModel& adapter, const ControlRecord& request) {
    const bool channel_valid = request.value <= adapter.config.icount;
    switch (request.request) {
        case REQUEST_IDENTIFY:
            if (!channel_valid || request.length < SWITCH_SIZE) {
                return false;
            }
            adapter.identifying = switch_value(request) != 0;
            return true;
        case REQUEST_SET_TERMINATION:
            if (!channel_valid || request.length < SWITCH_SIZE) {
                return false;
            }
            adapter.termination[request.value] = switch_value(request) != 0;
            return true;
        default:
            return std::nullopt;
    }
}

}  // namespace ovsim::detail
