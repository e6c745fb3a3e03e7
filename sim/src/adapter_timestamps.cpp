// The emulated adapter's hardware timestamps (its 1 MHz counter, stamps appended to frames,
// the TIMESTAMP request) and its bus state (GET_STATE, state-change error frames).
#include "model.h"

namespace ovsim::detail {
namespace {

constexpr std::size_t CLASSIC_WIRE_LENGTH = 20;
constexpr std::size_t FD_WIRE_LENGTH = 76;
constexpr std::size_t CHANNEL_OFFSET = 9;
constexpr std::size_t FLAGS_OFFSET = 10;
constexpr std::uint32_t STATE_ERROR_ACTIVE = 0;
constexpr std::uint32_t STATE_STOPPED = 4;

void append_u32(std::vector<std::uint8_t>& out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }
}

}  // namespace

std::uint32_t adapter_counter_now(const AdapterModel& adapter) {
    const auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(
        Clock::now() - adapter.timestamp_epoch);
    return adapter.timestamp_base + static_cast<std::uint32_t>(elapsed.count());
}

void adapter_append_stamp(const AdapterModel& adapter, std::vector<std::uint8_t>& frame,
                          std::optional<std::uint32_t> stamp) {
    if (frame.size() <= FLAGS_OFFSET) {
        return;
    }
    const std::uint8_t channel = frame[CHANNEL_OFFSET];
    if (channel >= adapter.channel_flags.size() ||
        (adapter.channel_flags[channel] & MODE_FLAG_HW_TIMESTAMP) == 0) {
        return;
    }
    const bool fd = (frame[FLAGS_OFFSET] & FRAME_FLAG_FD) != 0;
    frame.resize(fd ? FD_WIRE_LENGTH : CLASSIC_WIRE_LENGTH, 0);
    append_u32(frame, stamp.value_or(adapter_counter_now(adapter)));
}

std::optional<std::vector<std::uint8_t>> adapter_extension_reply(const AdapterModel& adapter,
                                                                 const ControlRecord& request) {
    std::vector<std::uint8_t> reply;
    if (request.request == REQUEST_TIMESTAMP) {
        if ((adapter.config.features & FEATURE_HW_TIMESTAMP) == 0) {
            misuse("TIMESTAMP request to an adapter without the HW_TIMESTAMP feature");
        }
        append_u32(reply, adapter_counter_now(adapter));
        return reply;
    }
    if (request.request == REQUEST_GET_STATE) {
        if ((adapter.config.features & FEATURE_GET_STATE) == 0) {
            misuse("GET_STATE request to an adapter without the GET_STATE feature");
        }
        if (request.value > adapter.config.icount) {
            return std::nullopt;
        }
        const auto channel = static_cast<std::uint8_t>(request.value);
        std::array<std::uint32_t, 3> state = {
            adapter.channel_started[channel] ? STATE_ERROR_ACTIVE : STATE_STOPPED, 0, 0};
        if (const auto set = adapter.bus_state.find(channel); set != adapter.bus_state.end()) {
            state = set->second;
        }
        for (const std::uint32_t word : state) {
            append_u32(reply, word);
        }
        return reply;
    }
    return std::nullopt;
}

}  // namespace ovsim::detail

namespace ovsim {

void Adapter::set_timestamp_counter(std::uint32_t now_us) {
    std::lock_guard lock(detail::sim().mutex);
    model_.timestamp_base = now_us;
    model_.timestamp_epoch = detail::Clock::now();
}

std::uint32_t Adapter::timestamp_counter() const {
    std::lock_guard lock(detail::sim().mutex);
    return detail::adapter_counter_now(model_);
}

void Adapter::set_bus_state(std::uint8_t channel, std::uint32_t state, std::uint32_t rxerr,
                            std::uint32_t txerr) {
    std::lock_guard lock(detail::sim().mutex);
    model_.bus_state[channel] = {state, rxerr, txerr};
}

void Adapter::inject_state_change(std::uint8_t channel, std::uint32_t classes,
                                  std::uint8_t controller, std::uint32_t state, std::uint8_t rxerr,
                                  std::uint8_t txerr) {
    set_bus_state(channel, state, rxerr, txerr);
    FrameSpec frame;
    frame.can_id = CAN_ERR_FLAG | classes;
    frame.dlc = 8;
    frame.channel = channel;
    frame.data = {0, controller, 0, 0, 0, 0, txerr, rxerr};
    feed_frame(frame);
}

}  // namespace ovsim
