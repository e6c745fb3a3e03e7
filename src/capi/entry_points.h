// The common shape of an exported call, for the entry points defined outside ovelcanfd.cpp:
// the same locking, failure texts and return codes as the core ones.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "capi/driver.h"
#include "capi/return_codes.h"
#include "common/expected.h"
#include "device/device.h"

namespace ovel::capi {

// Runs `body` on the handle's open device under its configuration lock: -1 with no device,
// otherwise 0 or the return code of the error `body` reports (with `operation` as its text;
// with `transport_operation`, when given, for a failed USB transfer).
std::int32_t configure_device(Driver* driver, const char* operation,
                              const std::function<Expected<void, DriverError>(Device&)>& body,
                              const char* transport_operation = nullptr);

// Opens with `open` and replaces the handle's device, as ovel_canfd_open does; `open` gets the
// adapter the handle holds (null: none), which is not busy to it.
std::int32_t open_device(Driver* driver, const char* operation,
                         const std::function<Expected<std::unique_ptr<Device>, OpenFailure>(
                             const usb::AdapterIdentity*)>& open);

// Sets the handle's failure text to "`operation`: `description`".
void set_failure(Driver* driver, const char* operation, const std::string& description);

// Runs `body` on the open device with `mutex` held; no exception leaves it. A template, so
// that the calls made per frame take no std::function. `transport_operation`, when given, is
// the text for a failed USB transfer.
template <class Body>
std::int32_t with_device(Driver* driver, std::mutex& mutex, const char* operation, Body&& body,
                         const char* transport_operation = nullptr) {
    try {
        std::unique_lock lock(mutex);
        if (!driver->device) {
            lock.unlock();
            set_failure(driver, operation, "no open device");
            return OVEL_CANFD_NO_DEVICE;
        }
        const Expected<void, DriverError> result = body(*driver->device);
        lock.unlock();
        if (!result) {
            const bool transport = result.error().kind() == DriverError::Kind::DeviceError;
            set_failure(driver, transport && transport_operation ? transport_operation : operation,
                        result.error().describe());
            return ovel::return_code(result.error());
        }
        driver->failures.clear();
        return OVEL_CANFD_OK;
    } catch (const std::exception&) {
        // Only memory exhaustion can throw here; report it rather than end the process.
        set_failure(driver, operation, "out of memory");
        return OVEL_CANFD_ERR_DEVICE;
    }
}

}  // namespace ovel::capi
