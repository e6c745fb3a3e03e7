// ovel_canfd_get_bus_state: a channel's state and error counters.
#include <algorithm>
#include <cstddef>
#include <cstring>

#include "capi/driver.h"
#include "capi/entry_points.h"

namespace {

constexpr const char* OPERATION = "failed to get bus state";

static_assert(sizeof(ovel_canfd_bus_state) == 20);
static_assert(offsetof(ovel_canfd_bus_state, size) == 0);
static_assert(offsetof(ovel_canfd_bus_state, state) == 4);
static_assert(offsetof(ovel_canfd_bus_state, source) == 8);
static_assert(offsetof(ovel_canfd_bus_state, rx_errors) == 12);
static_assert(offsetof(ovel_canfd_bus_state, tx_errors) == 16);
static_assert(sizeof(ovel_canfd_bus_state) % sizeof(std::uint32_t) == 0);

std::uint32_t source_code(ovel::BusStateSource source) {
    switch (source) {
        case ovel::BusStateSource::Adapter:
            return OVEL_CANFD_STATE_SOURCE_ADAPTER;
        case ovel::BusStateSource::ErrorFrames:
            return OVEL_CANFD_STATE_SOURCE_ERROR_FRAMES;
        case ovel::BusStateSource::Library:
            break;
    }
    return OVEL_CANFD_STATE_SOURCE_LIBRARY;
}

}  // namespace

extern "C" {

OVEL_CANFD_API int32_t ovel_canfd_get_bus_state(ovel_canfd_driver* handle, uint8_t channel,
                                                ovel_canfd_bus_state* out) {
    return ovel::capi::configure_device(
        handle, OPERATION, [&](ovel::Device& device) -> ovel::Expected<void, ovel::DriverError> {
            if (out == nullptr || out->size < sizeof out->size) {
                return ovel::unexpected(ovel::DriverError::invalid_argument("state"));
            }
            const auto result = device.bus_state(channel);
            if (!result) {
                return ovel::unexpected(result.error());
            }
            ovel_canfd_bus_state filled{};
            filled.state = static_cast<std::uint32_t>(result.value().state);
            filled.source = source_code(result.value().source);
            filled.rx_errors = result.value().rx_errors;
            filled.tx_errors = result.value().tx_errors;
            // Only the whole fields the caller's version of the record holds are written.
            const std::size_t length =
                std::min<std::size_t>(out->size, sizeof filled) / sizeof filled.size *
                sizeof filled.size;
            filled.size = static_cast<std::uint32_t>(length);
            std::memcpy(out, &filled, length);
            return {};
        });
}

}  // extern "C"
