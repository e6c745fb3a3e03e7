#include "device/driver_error.h"

namespace ovel {

DriverError DriverError::device_not_found(const usb::UsbError& why) {
    DriverError error(Kind::DeviceNotFound);
    if (why.kind() == usb::UsbError::Kind::DeviceNotFound) {
        error.usb_error_ = why;
    }
    return error;
}

DriverError DriverError::invalid_bitrate(std::uint32_t bitrate) {
    DriverError error(Kind::InvalidBitrate);
    error.bitrate_ = bitrate;
    return error;
}

DriverError DriverError::unsupported_feature(const char* feature) {
    DriverError error(Kind::UnsupportedFeature);
    error.text_ = feature;
    return error;
}

DriverError DriverError::invalid_frame(const char* field) {
    DriverError error(Kind::InvalidFrame);
    error.text_ = field;
    return error;
}

DriverError DriverError::invalid_argument(const char* argument) {
    DriverError error(Kind::InvalidArgument);
    error.text_ = argument;
    return error;
}

DriverError DriverError::busy(const char* what) {
    DriverError error(Kind::Busy);
    error.text_ = what;
    return error;
}

std::string DriverError::describe() const {
    switch (kind_) {
        case Kind::DeviceError:
            return "DeviceError(" + usb_error_.describe() + ")";
        case Kind::DeviceNotFound:
            return usb_error_.describe();
        case Kind::Timeout:
            return "Timeout";
        case Kind::Running:
            return "Running";
        case Kind::NotRunning:
            return "NotRunning";
        case Kind::InvalidChannel:
            return "InvalidChannel";
        case Kind::InvalidBitrate:
            return "InvalidBitrate(" + std::to_string(bitrate_) + ")";
        case Kind::UnsupportedFeature:
            return "UnsupportedFeature(\"" + std::string(text_) + "\")";
        case Kind::InvalidFrame:
            return "InvalidFrame(\"" + std::string(text_) + "\")";
        case Kind::InvalidArgument:
            return "InvalidArgument(\"" + std::string(text_) + "\")";
        case Kind::Busy:
            return "Busy(\"" + std::string(text_) + "\")";
    }
    return "Unknown";
}

}  // namespace ovel
