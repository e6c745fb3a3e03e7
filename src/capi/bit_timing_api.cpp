// Exported functions for bit timings with a chosen sample point, and for reading back the
// timing a channel was last given.
#include <exception>
#include <mutex>

#include "capi/c_bool.h"
#include "capi/driver.h"
#include "capi/return_codes.h"
#include "gsusb/sample_point.h"

using ovel::Device;
using ovel::Driver;
using ovel::DriverError;
using ovel::Expected;

namespace {

// As for ovel_canfd_set_bitrate: a timing the adapter did not take has its own text.
constexpr const char* SET_BITRATE_TEXT = "failed to set bitrate";
constexpr const char* BIT_TIMING_TEXT = "failed to set bit timing";
constexpr const char* GET_TIMING_TEXT = "failed to get bit timing";

void fail(Driver* driver, const char* operation, const DriverError& error) {
    std::string text(operation);
    text.append(": ");
    text.append(error.describe());
    driver->failures.set(std::move(text));
}

// Runs `body` on the open device under the configuration lock, as every configuration call.
template <class Body>
std::int32_t configure(Driver* driver, const char* operation, Body&& body) {
    if (driver == nullptr) {
        return OVEL_CANFD_NO_DEVICE;
    }
    try {
        std::unique_lock lock(driver->config_mutex);
        if (!driver->device) {
            lock.unlock();
            driver->failures.set(std::string(operation) + ": no open device");
            return OVEL_CANFD_NO_DEVICE;
        }
        const Expected<void, DriverError> result = body(*driver->device);
        lock.unlock();
        if (!result) {
            const bool transport = result.error().kind() == DriverError::Kind::DeviceError;
            fail(driver, transport && operation == SET_BITRATE_TEXT ? BIT_TIMING_TEXT : operation,
                 result.error());
            return ovel::return_code(result.error());
        }
        driver->failures.clear();
        return OVEL_CANFD_OK;
    } catch (const std::exception&) {
        driver->failures.set(std::string(operation) + ": out of memory");
        return OVEL_CANFD_ERR_DEVICE;
    }
}

}  // namespace

extern "C" {

OVEL_CANFD_API int32_t ovel_canfd_set_bitrate_sample_point(ovel_canfd_driver* handle,
                                                           uint8_t channel, uint32_t bitrate,
                                                           uint32_t sample_point_permille) {
    return configure(handle, SET_BITRATE_TEXT, [&](Device& device) {
        return device.set_bitrate_sample_point(channel, bitrate, sample_point_permille);
    });
}

OVEL_CANFD_API int32_t ovel_canfd_set_data_bitrate_sample_point(ovel_canfd_driver* handle,
                                                                uint8_t channel, uint32_t bitrate,
                                                                uint32_t sample_point_permille) {
    return configure(handle, SET_BITRATE_TEXT, [&](Device& device) {
        return device.set_data_bitrate_sample_point(channel, bitrate, sample_point_permille);
    });
}

OVEL_CANFD_API int32_t ovel_canfd_get_bit_timing(ovel_canfd_driver* handle, uint8_t channel,
                                                 bool data_phase, ovel_canfd_bit_timing* out) {
    const bool data = ovel::c_bool(data_phase);
    return configure(handle, GET_TIMING_TEXT, [&](Device& device) -> Expected<void, DriverError> {
        auto sent = device.sent_timing(channel, data);
        if (!sent) {
            return ovel::unexpected(sent.error());
        }
        if (out == nullptr) {
            return ovel::unexpected(DriverError::invalid_argument("out"));
        }
        *out = ovel_canfd_bit_timing{};
        if (const auto& timing = sent.value()) {
            const auto result = ovel::gsusb::timing_result(device.fclk_can(), *timing);
            out->brp = timing->brp;
            out->prop_seg = timing->prop_seg;
            out->phase_seg1 = timing->phase_seg1;
            out->phase_seg2 = timing->phase_seg2;
            out->sjw = timing->sjw;
            out->bitrate = result.bitrate;
            out->sample_point_permille = result.sample_point;
        }
        return {};
    });
}

}  // extern "C"
