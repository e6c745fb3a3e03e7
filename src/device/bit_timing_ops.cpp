// Sending bit timings: the request each phase goes out with, the sample-point setters and the
// record of what the adapter last took.
#include "device/device.h"
#include "gsusb/bit_timing.h"
#include "gsusb/sample_point.h"

namespace ovel {

using gsusb::Request;

Expected<void, DriverError> Device::send_timing(bool data_phase, unsigned channel,
                                                const gsusb::BitTiming& timing) {
    const auto payload = timing.encode();
    const auto value = static_cast<std::uint16_t>(channel);
    const std::uint8_t request =
        data_phase ? data_timing_request_ : static_cast<std::uint8_t>(Request::BITTIMING);
    auto sent = usb_->control_out(request, value, payload);
    // Firmware that numbers its requests as the Linux kernel does stalls 8 (its GET_USER_ID)
    // and takes the data-phase timing as 10; it keeps that numbering until the device closes.
    if (!sent && data_phase && sent.error().is_control_out_stall() &&
        request == static_cast<std::uint8_t>(Request::DATA_BITTIMING)) {
        const auto standard = static_cast<std::uint8_t>(Request::DATA_BITTIMING_STANDARD);
        if (usb_->control_out(standard, value, payload)) {
            data_timing_request_ = standard;
            sent = {};
        }
    }
    if (!sent) {
        return unexpected(DriverError::device_error(sent.error()));
    }
    ChannelSettings& settings = channels_[channel];
    (data_phase ? settings.data_timing : settings.nominal_timing) = timing;
    return {};
}

Expected<void, DriverError> Device::set_sample_point_timing(bool data_phase, unsigned channel,
                                                            std::uint32_t bitrate,
                                                            std::uint32_t sample_point) {
    if (data_phase) {
        if (auto checked = check_feature(gsusb::FEATURE_FD, "FD"); !checked) {
            return checked;
        }
    }
    if (auto checked = check_channel(channel); !checked) {
        return checked;
    }
    if (sample_point >= 1000) {
        return unexpected(DriverError::invalid_argument("sample_point_permille"));
    }
    const std::uint32_t point =
        sample_point != 0 ? sample_point : gsusb::default_sample_point(bitrate);
    const auto timing = gsusb::compute_sample_point_timing(
        fclk_can_, bitrate, point, data_phase ? data_limits_ : nominal_limits_);
    if (!timing) {
        return unexpected(DriverError::invalid_bitrate(bitrate));
    }
    if (auto sent = send_timing(data_phase, channel, *timing); !sent) {
        return sent;
    }
    (data_phase ? channels_[channel].data_bitrate : channels_[channel].bitrate) = bitrate;
    return {};
}

Expected<void, DriverError> Device::set_bitrate_sample_point(unsigned channel,
                                                             std::uint32_t bitrate,
                                                             std::uint32_t sample_point) {
    return set_sample_point_timing(false, channel, bitrate, sample_point);
}

Expected<void, DriverError> Device::set_data_bitrate_sample_point(unsigned channel,
                                                                  std::uint32_t bitrate,
                                                                  std::uint32_t sample_point) {
    return set_sample_point_timing(true, channel, bitrate, sample_point);
}

Expected<void, DriverError> Device::set_explicit_timing(bool data_phase, unsigned channel,
                                                        const gsusb::BitTiming& timing) {
    if (data_phase) {
        if (auto checked = check_feature(gsusb::FEATURE_FD, "FD"); !checked) {
            return checked;
        }
    }
    if (auto checked = check_channel(channel); !checked) {
        return checked;
    }
    if (const char* field = gsusb::timing_outside_limits(
            timing, data_phase ? data_limits_ : nominal_limits_)) {
        return unexpected(DriverError::invalid_argument(field));
    }
    if (auto sent = send_timing(data_phase, channel, timing); !sent) {
        return sent;
    }
    const std::uint32_t bitrate = gsusb::timing_result(fclk_can_, timing).bitrate;
    (data_phase ? channels_[channel].data_bitrate : channels_[channel].bitrate) = bitrate;
    return {};
}

Expected<std::optional<gsusb::BitTiming>, DriverError> Device::sent_timing(unsigned channel,
                                                                           bool data_phase) const {
    if (auto checked = check_channel(channel); !checked) {
        return unexpected(checked.error());
    }
    const ChannelSettings& settings = channels_[channel];
    return data_phase ? settings.data_timing : settings.nominal_timing;
}

}  // namespace ovel
