// Errors of every device-level operation: small values that own nothing.
#pragma once

#include <cstdint>
#include <string>

#include "usb/usb_error.h"

namespace ovel {

class DriverError {
  public:
    enum class Kind {
        DeviceError,
        DeviceNotFound,
        Timeout,
        Running,
        NotRunning,
        InvalidChannel,
        InvalidBitrate,
        UnsupportedFeature,
        InvalidFrame,
        InvalidArgument,
        Busy,
    };

    static DriverError device_error(usb::UsbError error) { return DriverError(error); }
    static DriverError device_not_found() { return DriverError(Kind::DeviceNotFound); }
    // With the transport's account of the adapters that matched but could not be used.
    static DriverError device_not_found(const usb::UsbError& why);
    static DriverError timeout() { return DriverError(Kind::Timeout); }
    static DriverError running() { return DriverError(Kind::Running); }
    static DriverError not_running() { return DriverError(Kind::NotRunning); }
    static DriverError invalid_channel() { return DriverError(Kind::InvalidChannel); }
    static DriverError invalid_bitrate(std::uint32_t bitrate);
    // `feature` is "Monitor", "Loopback" or "FD"; a string literal.
    static DriverError unsupported_feature(const char* feature);
    // `field` names what is wrong with the frame ("id", "dlc", "frame"); a string literal.
    static DriverError invalid_frame(const char* field);
    // `argument` names the argument out of its range ("sample_point_permille", "out"); a
    // string literal.
    static DriverError invalid_argument(const char* argument);
    // No room now for what was asked (`what` names it: "send window full"); a string literal.
    static DriverError busy(const char* what);

    Kind kind() const { return kind_; }
    const usb::UsbError& usb_error() const { return usb_error_; }
    std::uint32_t bitrate() const { return bitrate_; }
    const char* text() const { return text_; }

    // `InvalidChannel`, `InvalidBitrate(3000000)`, `UnsupportedFeature("FD")`,
    // `DeviceError(Libusb("libusb_claim_interface", -3))`, ...
    std::string describe() const;

  private:
    explicit DriverError(Kind kind) : kind_(kind) {}
    explicit DriverError(usb::UsbError error) : kind_(Kind::DeviceError), usb_error_(error) {}

    Kind kind_;
    usb::UsbError usb_error_ = usb::UsbError::device_not_found();
    std::uint32_t bitrate_ = 0;
    const char* text_ = "";
};

}  // namespace ovel
