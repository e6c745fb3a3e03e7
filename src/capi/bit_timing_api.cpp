// Exported functions for bit timings with a chosen sample point, and for reading back the
// timing a channel was last given.
#include <functional>

#include "capi/c_bool.h"
#include "capi/driver.h"
#include "capi/entry_points.h"
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

// A configuration call; a timing the adapter did not take gets the bitrate setters' text.
std::int32_t configure(Driver* driver, const char* operation,
                       const std::function<Expected<void, DriverError>(Device&)>& body) {
    return ovel::capi::configure_device(driver, operation, body,
                                        operation == SET_BITRATE_TEXT ? BIT_TIMING_TEXT : nullptr);
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

OVEL_CANFD_API int32_t ovel_canfd_set_bit_timing(ovel_canfd_driver* handle, uint8_t channel,
                                                 bool data_phase,
                                                 const ovel_canfd_bit_timing* timing) {
    const bool data = ovel::c_bool(data_phase);
    return configure(handle, BIT_TIMING_TEXT, [&](Device& device) -> Expected<void, DriverError> {
        if (timing == nullptr) {
            return ovel::unexpected(DriverError::invalid_argument("timing"));
        }
        return device.set_explicit_timing(data, channel,
                                          ovel::gsusb::BitTiming{.prop_seg = timing->prop_seg,
                                                                 .phase_seg1 = timing->phase_seg1,
                                                                 .phase_seg2 = timing->phase_seg2,
                                                                 .sjw = timing->sjw,
                                                                 .brp = timing->brp});
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
