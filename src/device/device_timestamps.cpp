// Hardware timestamps at the start of streaming, and the channels' bus state.
#include "device/device.h"

namespace ovel {

std::uint32_t Device::prepare_timestamps() {
    if (hw_timestamp_flag() == 0) {
        usb_->set_rx_timestamping(false, std::nullopt);
        return 0;
    }
    std::optional<usb::HwAnchor> anchor;
    // wValue 0: the counter is the adapter's, not a channel's.
    auto reply = usb_->control_in(static_cast<std::uint8_t>(gsusb::Request::TIMESTAMP),
                                  gsusb::Timestamp::SIZE, 0);
    if (reply) {
        anchor = usb::host_clocks_now(gsusb::Timestamp::decode(reply.value()).counter_us);
    }
    // Without the transfer for re-reading, stamps are still extended by the host's clock. Set up
    // before the event thread learns that stamps are on.
    (void)usb_->enable_hw_clock_refresh(hw_clock_refresh_period_);
    // Without a reading the first stamp received anchors the period: stamps are still useful.
    usb_->set_rx_timestamping(true, anchor);
    return gsusb::MODE_FLAG_HW_TIMESTAMP;
}

Expected<ChannelBusState, DriverError> Device::bus_state(unsigned channel) {
    if (auto checked = check_channel(channel); !checked) {
        return unexpected(checked.error());
    }
    const ChannelSettings& settings = channels_[channel];
    if (!running() || !settings.started || !settings.enabled) {
        return ChannelBusState{};
    }
    if ((features_ & gsusb::FEATURE_GET_STATE) != 0) {
        auto reply =
            usb_->control_in(static_cast<std::uint8_t>(gsusb::Request::GET_STATE),
                             gsusb::DeviceState::SIZE, static_cast<std::uint16_t>(channel));
        if (!reply) {
            return unexpected(DriverError::device_error(reply.error()));
        }
        const auto answer = gsusb::DeviceState::decode(reply.value());
        // An adapter that cannot tell leaves the answer to the error frames.
        if (answer.state <= gsusb::DeviceState::LAST_KNOWN_STATE) {
            return ChannelBusState{static_cast<gsusb::BusState>(answer.state), answer.rxerr,
                                   answer.txerr, BusStateSource::Adapter};
        }
    }
    const gsusb::BusStatus derived = usb_->bus_status(channel);
    return ChannelBusState{derived.state, derived.rx_errors, derived.tx_errors,
                           BusStateSource::ErrorFrames};
}

}  // namespace ovel
