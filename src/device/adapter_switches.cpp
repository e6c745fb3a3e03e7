// The adapter's switches beyond the bus settings: termination and identification. Each is
// guarded by its feature bit, and nothing is sent to an adapter that did not report it.
#include <array>

#include "device/device.h"
#include "gsusb/little_endian.h"

namespace ovel {
namespace {

std::array<std::uint8_t, gsusb::SWITCH_SIZE> switch_payload(bool on) {
    std::array<std::uint8_t, gsusb::SWITCH_SIZE> payload{};
    gsusb::little_endian::write_u32(payload, 0, on ? 1 : 0);
    return payload;
}

}  // namespace

Expected<void, DriverError> Device::set_termination(unsigned channel, bool on) {
    if (auto checked = check_feature(gsusb::FEATURE_TERMINATION, "Termination"); !checked) {
        return checked;
    }
    if (auto checked = check_channel(channel); !checked) {
        return checked;
    }
    auto sent = usb_->control_out(static_cast<std::uint8_t>(gsusb::Request::SET_TERMINATION),
                                  static_cast<std::uint16_t>(channel), switch_payload(on));
    if (!sent) {
        return unexpected(DriverError::device_error(sent.error()));
    }
    return {};
}

Expected<bool, DriverError> Device::termination(unsigned channel) {
    if (auto checked = check_feature(gsusb::FEATURE_TERMINATION, "Termination"); !checked) {
        return unexpected(checked.error());
    }
    if (auto checked = check_channel(channel); !checked) {
        return unexpected(checked.error());
    }
    auto reply = usb_->control_in(static_cast<std::uint8_t>(gsusb::Request::GET_TERMINATION),
                                  gsusb::SWITCH_SIZE, static_cast<std::uint16_t>(channel));
    if (!reply) {
        return unexpected(DriverError::device_error(reply.error()));
    }
    return gsusb::little_endian::read_u32(reply.value(), 0) != 0;
}

Expected<void, DriverError> Device::identify(unsigned channel, bool on) {
    if (auto checked = check_feature(gsusb::FEATURE_IDENTIFY, "Identify"); !checked) {
        return checked;
    }
    if (auto checked = check_channel(channel); !checked) {
        return checked;
    }
    auto sent = usb_->control_out(static_cast<std::uint8_t>(gsusb::Request::IDENTIFY),
                                  static_cast<std::uint16_t>(channel), switch_payload(on));
    if (!sent) {
        return unexpected(DriverError::device_error(sent.error()));
    }
    return {};
}

}  // namespace ovel
