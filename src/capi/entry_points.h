// The common shape of an exported call, for the entry points defined outside ovelcanfd.cpp:
// the same locking, failure texts and return codes as the core ones.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "capi/driver.h"
#include "common/expected.h"
#include "device/device.h"

namespace ovel::capi {

// Runs `body` on the handle's open device under its configuration lock: -1 with no device,
// otherwise 0 or the return code of the error `body` reports (with `operation` as its text;
// with `transport_operation`, when given, for a failed USB transfer).
std::int32_t configure_device(Driver* driver, const char* operation,
                              const std::function<Expected<void, DriverError>(Device&)>& body,
                              const char* transport_operation = nullptr);

// Opens with `open` and replaces the handle's device, as ovel_canfd_open does.
std::int32_t open_device(
    Driver* driver, const char* operation,
    const std::function<Expected<std::unique_ptr<Device>, OpenFailure>()>& open);

// Sets the handle's failure text to "`operation`: `description`".
void set_failure(Driver* driver, const char* operation, const std::string& description);

}  // namespace ovel::capi
