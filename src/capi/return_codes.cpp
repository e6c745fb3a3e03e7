#include "capi/return_codes.h"

#include "ovelcanfd.h"

namespace ovel {

std::int32_t return_code(const DriverError& error) {
    switch (error.kind()) {
        case DriverError::Kind::DeviceError:
            return OVEL_CANFD_ERR_DEVICE;
        case DriverError::Kind::DeviceNotFound:
            return OVEL_CANFD_ERR_DEVICE_NOT_FOUND;
        case DriverError::Kind::Timeout:
            return OVEL_CANFD_ERR_TIMEOUT;
        case DriverError::Kind::Running:
            return OVEL_CANFD_ERR_RUNNING;
        case DriverError::Kind::NotRunning:
            return OVEL_CANFD_ERR_NOT_RUNNING;
        case DriverError::Kind::InvalidChannel:
            return OVEL_CANFD_ERR_INVALID_CHANNEL;
        case DriverError::Kind::InvalidBitrate:
            return OVEL_CANFD_ERR_INVALID_BITRATE;
        case DriverError::Kind::UnsupportedFeature:
            return OVEL_CANFD_ERR_UNSUPPORTED_FEATURE;
        case DriverError::Kind::InvalidFrame:
            return OVEL_CANFD_ERR_INVALID_FRAME;
        case DriverError::Kind::InvalidArgument:
            return OVEL_CANFD_ERR_INVALID_ARGUMENT;
        case DriverError::Kind::Busy:
            return OVEL_CANFD_ERR_BUSY;
    }
    return OVEL_CANFD_ERR_DEVICE;
}

}  // namespace ovel
