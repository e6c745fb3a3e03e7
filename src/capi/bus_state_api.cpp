// ovel_canfd_get_bus_state: a channel's state and error counters.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <exception>
#include <string>

#include "capi/driver.h"
#include "capi/return_codes.h"

namespace {

constexpr const char* OPERATION = "failed to get bus state";

static_assert(sizeof(ovel_canfd_bus_state) == 20);
static_assert(offsetof(ovel_canfd_bus_state, size) == 0);
static_assert(offsetof(ovel_canfd_bus_state, state) == 4);
static_assert(offsetof(ovel_canfd_bus_state, source) == 8);
static_assert(offsetof(ovel_canfd_bus_state, rx_errors) == 12);
static_assert(offsetof(ovel_canfd_bus_state, tx_errors) == 16);

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

std::int32_t fail(ovel_canfd_driver* handle, const std::string& description, std::int32_t code) {
    handle->failures.set(std::string(OPERATION) + ": " + description);
    return code;
}

}  // namespace

extern "C" {

OVEL_CANFD_API int32_t ovel_canfd_get_bus_state(ovel_canfd_driver* handle, uint8_t channel,
                                                ovel_canfd_bus_state* out) {
    if (handle == nullptr) {
        return OVEL_CANFD_NO_DEVICE;
    }
    try {
        std::unique_lock lock(handle->config_mutex);
        if (!handle->device) {
            lock.unlock();
            return fail(handle, "no open device", OVEL_CANFD_NO_DEVICE);
        }
        if (out == nullptr || out->size < sizeof out->size) {
            lock.unlock();
            const auto error = ovel::DriverError::invalid_argument("state");
            return fail(handle, error.describe(), ovel::return_code(error));
        }
        const auto result = handle->device->bus_state(channel);
        lock.unlock();
        if (!result) {
            return fail(handle, result.error().describe(), ovel::return_code(result.error()));
        }
        ovel_canfd_bus_state filled{};
        filled.state = static_cast<std::uint32_t>(result.value().state);
        filled.source = source_code(result.value().source);
        filled.rx_errors = result.value().rx_errors;
        filled.tx_errors = result.value().tx_errors;
        // Only what the caller's version of the record holds is written.
        const std::size_t length = std::min<std::size_t>(out->size, sizeof filled);
        filled.size = static_cast<std::uint32_t>(length);
        std::memcpy(out, &filled, length);
        handle->failures.clear();
        return OVEL_CANFD_OK;
    } catch (const std::exception&) {
        return fail(handle, "out of memory", OVEL_CANFD_ERR_DEVICE);
    }
}

}  // extern "C"
