// The exported entry points: thin wrappers that test for a device, call one device
// operation and turn its result into a return code and a failure text.
#include <cstring>
#include <exception>
#include <new>
#include <string_view>

#include "capi/c_bool.h"
#include "capi/driver.h"
#include "capi/frame_mapping.h"
#include "capi/return_codes.h"
#include "common/utf8.h"

using ovel::Device;
using ovel::Driver;
using ovel::DriverError;
using ovel::Expected;

namespace {

constexpr const char* NULL_HANDLE_TEXT = "null handle";
// Both bitrate setters describe a timing the adapter did not take in the same words.
constexpr const char* BIT_TIMING_TEXT = "failed to set bit timing";

void fail(Driver* driver, const char* operation, const std::string& description) {
    driver->last_error.assign(operation);
    driver->last_error.append(": ");
    driver->last_error.append(description);
}

// Runs `body` for an entry point that needs an open device; no exception leaves it.
// `transport_operation`, when given, is the text for a failed USB transfer.
template <class Body>
std::int32_t with_device(Driver* driver, const char* operation, Body&& body,
                         const char* transport_operation = nullptr) {
    if (driver == nullptr) {
        return OVEL_CANFD_NO_DEVICE;
    }
    try {
        driver->last_error.clear();
        if (!driver->device) {
            fail(driver, operation, "no open device");
            return OVEL_CANFD_NO_DEVICE;
        }
        const Expected<void, DriverError> result = body(*driver->device);
        if (!result) {
            const bool transport = result.error().kind() == DriverError::Kind::DeviceError;
            fail(driver, transport && transport_operation ? transport_operation : operation,
                 result.error().describe());
            return ovel::return_code(result.error());
        }
        return OVEL_CANFD_OK;
    } catch (const std::exception&) {
        // Only memory exhaustion can throw here; report it rather than end the process.
        driver->last_error.assign(operation);
        driver->last_error.append(": out of memory");
        return OVEL_CANFD_ERR_DEVICE;
    }
}

template <class Open>
std::int32_t open_with(Driver* driver, const char* operation, Open&& open) {
    try {
        driver->last_error.clear();
        auto opened = open();
        if (!opened) {
            const auto& failure = opened.error();
            if (failure.context_failed) {
                driver->last_error = failure.describe();
            } else {
                fail(driver, operation, failure.describe());
            }
            return OVEL_CANFD_NO_DEVICE;
        }
        // The old device is torn down only once the new one is ready.
        driver->device = std::move(opened.value());
        return OVEL_CANFD_OK;
    } catch (const std::exception&) {
        driver->last_error.assign(operation);
        driver->last_error.append(": out of memory");
        return OVEL_CANFD_NO_DEVICE;
    }
}

}  // namespace

extern "C" {

OVEL_CANFD_API ovel_canfd_driver* ovel_canfd_init(void) {
    return new (std::nothrow) ovel_canfd_driver();
}

OVEL_CANFD_API int32_t ovel_canfd_deinit(ovel_canfd_driver* handle) {
    delete handle;
    return OVEL_CANFD_OK;
}

OVEL_CANFD_API int32_t ovel_canfd_open(ovel_canfd_driver* handle) {
    if (handle == nullptr) {
        return OVEL_CANFD_NO_DEVICE;
    }
    return open_with(handle, "failed to open device", [] { return Device::open(); });
}

OVEL_CANFD_API int32_t ovel_canfd_open_with_device_serial_number(ovel_canfd_driver* handle,
                                                                 const char* serial) {
    if (handle == nullptr) {
        return OVEL_CANFD_NO_DEVICE;
    }
    constexpr const char* operation = "failed to open device with serial number";
    if (serial == nullptr) {
        fail(handle, operation, "null serial number");
        return OVEL_CANFD_NO_DEVICE;
    }
    const std::string_view text(serial, std::strlen(serial));
    if (!ovel::is_valid_utf8(text)) {
        fail(handle, operation, "serial number is not valid UTF-8");
        return OVEL_CANFD_NO_DEVICE;
    }
    return open_with(handle, operation,
                     [text] { return Device::open_with_serial_number(std::string(text)); });
}

OVEL_CANFD_API int32_t ovel_canfd_close(ovel_canfd_driver* handle) {
    if (handle != nullptr) {
        handle->device.reset();
        handle->last_error.clear();
    }
    return OVEL_CANFD_OK;
}

OVEL_CANFD_API int32_t ovel_canfd_get_channel_count(ovel_canfd_driver* handle) {
    if (handle == nullptr) {
        return OVEL_CANFD_NO_DEVICE;
    }
    if (!handle->device) {
        handle->last_error = "failed to get channel count: no open device";
        return OVEL_CANFD_NO_DEVICE;
    }
    handle->last_error.clear();
    return static_cast<int32_t>(handle->device->icount()) + 1;
}

OVEL_CANFD_API const char* ovel_canfd_get_last_error(ovel_canfd_driver* handle) {
    if (handle == nullptr) {
        return NULL_HANDLE_TEXT;
    }
    return handle->last_error.c_str();
}

OVEL_CANFD_API int32_t ovel_canfd_set_bitrate(ovel_canfd_driver* handle, uint8_t channel,
                                              uint32_t bitrate) {
    return with_device(
        handle, "failed to set bitrate",
        [&](Device& device) { return device.set_bitrate(channel, bitrate); }, BIT_TIMING_TEXT);
}

OVEL_CANFD_API int32_t ovel_canfd_set_data_bitrate(ovel_canfd_driver* handle, uint8_t channel,
                                                   uint32_t bitrate) {
    return with_device(
        handle, "failed to set bitrate",
        [&](Device& device) { return device.set_data_bitrate(channel, bitrate); }, BIT_TIMING_TEXT);
}

OVEL_CANFD_API int32_t ovel_canfd_set_enabled(ovel_canfd_driver* handle, uint8_t channel,
                                              bool enabled) {
    const bool value = ovel::c_bool(enabled);
    return with_device(handle, "failed to enable channel",
                       [&](Device& device) { return device.set_enabled(channel, value); });
}

OVEL_CANFD_API int32_t ovel_canfd_set_fd(ovel_canfd_driver* handle, uint8_t channel, bool fd) {
    const bool value = ovel::c_bool(fd);
    return with_device(handle, "failed to set fd mode",
                       [&](Device& device) { return device.set_fd(channel, value); });
}

OVEL_CANFD_API int32_t ovel_canfd_set_hw_loopback(ovel_canfd_driver* handle, uint8_t channel,
                                                  bool loopback) {
    const bool value = ovel::c_bool(loopback);
    return with_device(handle, "failed to set hardware loopback mode",
                       [&](Device& device) { return device.set_hw_loopback(channel, value); });
}

OVEL_CANFD_API int32_t ovel_canfd_set_monitor(ovel_canfd_driver* handle, uint8_t channel,
                                              bool monitor) {
    const bool value = ovel::c_bool(monitor);
    return with_device(handle, "failed to set monitoring mode",
                       [&](Device& device) { return device.set_monitor(channel, value); });
}

OVEL_CANFD_API int32_t ovel_canfd_start(ovel_canfd_driver* handle, uint8_t channel) {
    return with_device(handle, "failed to start device", [&](Device& device) {
        ovel::FrameHandler handler;
        if (ovel_canfd_rx_callback callback = handle->rx_callback) {
            // The record lives in the dispatch thread's storage, built anew for every frame.
            handler = [callback](const ovel::gsusb::HostFrame& frame) {
                ovel_canfd_frame record;
                ovel::record_from_host_frame(frame, record);
                callback(&record);
            };
        }
        return device.start(channel, std::move(handler));
    });
}

OVEL_CANFD_API int32_t ovel_canfd_stop(ovel_canfd_driver* handle, uint8_t channel) {
    return with_device(handle, "failed to stop device",
                       [&](Device& device) { return device.stop(channel); });
}

OVEL_CANFD_API int32_t ovel_canfd_set_rx_callback(ovel_canfd_driver* handle,
                                                  ovel_canfd_rx_callback callback) {
    if (handle != nullptr) {
        handle->rx_callback = callback;
        handle->last_error.clear();
    }
    return OVEL_CANFD_OK;
}

OVEL_CANFD_API int32_t ovel_canfd_transmit(ovel_canfd_driver* handle,
                                           const ovel_canfd_frame* frame) {
    return with_device(handle, "failed to transmit frame",
                       [&](Device& device) -> Expected<void, DriverError> {
                           if (frame == nullptr) {
                               return ovel::unexpected(DriverError::invalid_frame("frame"));
                           }
                           return device.transmit(ovel::can_frame_from_record(*frame));
                       });
}

}  // extern "C"
