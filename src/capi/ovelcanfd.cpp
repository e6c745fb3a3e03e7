// The exported entry points: thin wrappers that test for a device, call one device
// operation under the handle's lock and turn its result into a return code and a failure text.
#include <cstring>
#include <exception>
#include <new>
#include <string_view>

#include "capi/c_bool.h"
#include "capi/driver.h"
#include "capi/entry_points.h"
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

// The handle whose receive callback runs on this thread, and whether that callback freed it.
thread_local Driver* delivering_handle = nullptr;
thread_local bool free_after_callback = false;

void fail(Driver* driver, const char* operation, const std::string& description) {
    std::string text(operation);
    text.append(": ");
    text.append(description);
    driver->failures.set(std::move(text));
}

// Runs `body` on the open device with `mutex` held; no exception leaves it.
// `transport_operation`, when given, is the text for a failed USB transfer.
template <class Body>
std::int32_t with_device(Driver* driver, std::mutex& mutex, const char* operation, Body&& body,
                         const char* transport_operation = nullptr) {
    try {
        std::unique_lock lock(mutex);
        if (!driver->device) {
            lock.unlock();
            fail(driver, operation, "no open device");
            return OVEL_CANFD_NO_DEVICE;
        }
        const Expected<void, DriverError> result = body(*driver->device);
        lock.unlock();
        if (!result) {
            const bool transport = result.error().kind() == DriverError::Kind::DeviceError;
            fail(driver, transport && transport_operation ? transport_operation : operation,
                 result.error().describe());
            return ovel::return_code(result.error());
        }
        driver->failures.clear();
        return OVEL_CANFD_OK;
    } catch (const std::exception&) {
        // Only memory exhaustion can throw here; report it rather than end the process.
        fail(driver, operation, "out of memory");
        return OVEL_CANFD_ERR_DEVICE;
    }
}

// A configuration call on the open device.
template <class Body>
std::int32_t configure(Driver* driver, const char* operation, Body&& body,
                       const char* transport_operation = nullptr) {
    if (driver == nullptr) {
        return OVEL_CANFD_NO_DEVICE;
    }
    return with_device(driver, driver->config_mutex, operation, std::forward<Body>(body),
                       transport_operation);
}

// Swaps the handle's device for `next` (null: none) under both locks, so that no call is
// running on the old one; the caller destroys it without any lock held.
std::unique_ptr<Device> replace_device(Driver* driver, std::unique_ptr<Device> next) {
    std::lock_guard tx_lock(driver->tx_mutex);
    std::swap(driver->device, next);
    return next;
}

// Waits for the dispatch threads a stop has ended. Called without any lock held: their last
// callback may be making calls on the handle itself.
void finish_dispatchers(const std::vector<std::shared_ptr<ovel::RxDispatcher>>& dispatchers) {
    for (const auto& dispatcher : dispatchers) {
        dispatcher->finish();
    }
}

template <class Open>
std::int32_t open_with(Driver* driver, const char* operation, Open&& open) {
    try {
        std::unique_lock lock(driver->config_mutex);
        auto opened = open();
        if (!opened) {
            lock.unlock();
            const auto& failure = opened.error();
            if (failure.context_failed) {
                driver->failures.set(failure.describe());
            } else {
                fail(driver, operation, failure.describe());
            }
            return OVEL_CANFD_NO_DEVICE;
        }
        // The old device is torn down only once the new one is ready.
        std::unique_ptr<Device> old = replace_device(driver, std::move(opened.value()));
        lock.unlock();
        old.reset();
        driver->failures.clear();
        return OVEL_CANFD_OK;
    } catch (const std::exception&) {
        fail(driver, operation, "out of memory");
        return OVEL_CANFD_NO_DEVICE;
    }
}

void close_device(Driver* driver) {
    std::unique_lock lock(driver->config_mutex);
    std::unique_ptr<Device> old = replace_device(driver, nullptr);
    lock.unlock();
    old.reset();
}

// The handler a streaming period's dispatch thread calls for every frame.
ovel::FrameHandler frame_handler(Driver* driver, std::shared_ptr<ovel::RxCallbackSlot> slot,
                                 std::shared_ptr<std::atomic<std::uint64_t>> delivered) {
    return [driver, slot = std::move(slot),
            delivered = std::move(delivered)](const ovel::gsusb::HostFrame& frame,
                                              const ovel::usb::RxMeta& meta) {
        // The record lives in the dispatch thread's storage, built anew for every frame.
        ovel_canfd_frame record;
        ovel::record_from_host_frame(frame, record);
        delivering_handle = driver;
        const bool called = slot->deliver(record, meta);
        delivering_handle = nullptr;
        // The counter is shared: the callback may have closed the device meanwhile.
        if (called) {
            ovel::usb::count_one(*delivered);
        }
        if (free_after_callback) {
            // ovel_canfd_deinit from inside the callback: the handle goes once it has returned.
            free_after_callback = false;
            delete driver;
        }
    };
}

// Records a registration; an ovel_canfd_set_rx_callback_ex one also reaches the dispatch
// thread now.
void register_callback(Driver* driver, const ovel::RxCallback& callback, bool immediate) {
    std::shared_ptr<ovel::RxCallbackSlot> slot;
    {
        std::lock_guard lock(driver->registration_mutex);
        driver->registered = callback;
        if (immediate) {
            slot = driver->slot;
        }
    }
    // Without the lock: it waits for a callback in progress, which may register too.
    if (slot) {
        slot->replace(callback);
    }
}

}  // namespace

namespace ovel {
void register_rx_callback(Driver* driver, const RxCallback& callback) {
    register_callback(driver, callback, true);
}
}  // namespace ovel

extern "C" {

OVEL_CANFD_API ovel_canfd_driver* ovel_canfd_init(void) {
    return new (std::nothrow) ovel_canfd_driver();
}

OVEL_CANFD_API int32_t ovel_canfd_deinit(ovel_canfd_driver* handle) {
    if (handle == nullptr) {
        return OVEL_CANFD_OK;
    }
    close_device(handle);
    if (delivering_handle == handle) {
        free_after_callback = true;  // the callback still runs on it
    } else {
        delete handle;
    }
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
        close_device(handle);
        handle->failures.clear();
    }
    return OVEL_CANFD_OK;
}

OVEL_CANFD_API int32_t ovel_canfd_get_channel_count(ovel_canfd_driver* handle) {
    if (handle == nullptr) {
        return OVEL_CANFD_NO_DEVICE;
    }
    std::unique_lock lock(handle->config_mutex);
    if (!handle->device) {
        lock.unlock();
        handle->failures.set("failed to get channel count: no open device");
        return OVEL_CANFD_NO_DEVICE;
    }
    const auto count = static_cast<int32_t>(handle->device->icount()) + 1;
    lock.unlock();
    handle->failures.clear();
    return count;
}

OVEL_CANFD_API const char* ovel_canfd_get_last_error(ovel_canfd_driver* handle) {
    if (handle == nullptr) {
        return NULL_HANDLE_TEXT;
    }
    return handle->failures.get();
}

OVEL_CANFD_API int32_t ovel_canfd_set_bitrate(ovel_canfd_driver* handle, uint8_t channel,
                                              uint32_t bitrate) {
    return configure(
        handle, "failed to set bitrate",
        [&](Device& device) { return device.set_bitrate(channel, bitrate); }, BIT_TIMING_TEXT);
}

OVEL_CANFD_API int32_t ovel_canfd_set_data_bitrate(ovel_canfd_driver* handle, uint8_t channel,
                                                   uint32_t bitrate) {
    return configure(
        handle, "failed to set bitrate",
        [&](Device& device) { return device.set_data_bitrate(channel, bitrate); }, BIT_TIMING_TEXT);
}

OVEL_CANFD_API int32_t ovel_canfd_set_enabled(ovel_canfd_driver* handle, uint8_t channel,
                                              bool enabled) {
    const bool value = ovel::c_bool(enabled);
    return configure(handle, "failed to enable channel",
                     [&](Device& device) { return device.set_enabled(channel, value); });
}

OVEL_CANFD_API int32_t ovel_canfd_set_fd(ovel_canfd_driver* handle, uint8_t channel, bool fd) {
    const bool value = ovel::c_bool(fd);
    return configure(handle, "failed to set fd mode",
                     [&](Device& device) { return device.set_fd(channel, value); });
}

OVEL_CANFD_API int32_t ovel_canfd_set_hw_loopback(ovel_canfd_driver* handle, uint8_t channel,
                                                  bool loopback) {
    const bool value = ovel::c_bool(loopback);
    return configure(handle, "failed to set hardware loopback mode",
                     [&](Device& device) { return device.set_hw_loopback(channel, value); });
}

OVEL_CANFD_API int32_t ovel_canfd_set_monitor(ovel_canfd_driver* handle, uint8_t channel,
                                              bool monitor) {
    const bool value = ovel::c_bool(monitor);
    return configure(handle, "failed to set monitoring mode",
                     [&](Device& device) { return device.set_monitor(channel, value); });
}

OVEL_CANFD_API int32_t ovel_canfd_start(ovel_canfd_driver* handle, uint8_t channel) {
    return configure(handle, "failed to start device", [&](Device& device) {
        ovel::FrameHandler handler;
        if (!device.running()) {
            // A new streaming period: the callback registered now is the one it calls.
            std::lock_guard lock(handle->registration_mutex);
            handle->slot = std::make_shared<ovel::RxCallbackSlot>(handle->registered);
            handler = frame_handler(handle, handle->slot, device.delivered_counter());
        }
        return device.start(channel, std::move(handler));
    });
}

OVEL_CANFD_API int32_t ovel_canfd_stop(ovel_canfd_driver* handle, uint8_t channel) {
    std::vector<std::shared_ptr<ovel::RxDispatcher>> ended;
    const std::int32_t code = configure(handle, "failed to stop device", [&](Device& device) {
        auto stopped = device.stop(channel);
        ended = device.ended_dispatchers();
        return stopped;
    });
    finish_dispatchers(ended);
    return code;
}

OVEL_CANFD_API int32_t ovel_canfd_set_rx_callback(ovel_canfd_driver* handle,
                                                  ovel_canfd_rx_callback callback) {
    if (handle != nullptr) {
        register_callback(handle, ovel::RxCallback{callback, nullptr, nullptr}, false);
        handle->failures.clear();
    }
    return OVEL_CANFD_OK;
}

OVEL_CANFD_API int32_t ovel_canfd_set_rx_callback_ex(ovel_canfd_driver* handle,
                                                     ovel_canfd_rx_callback_ex callback,
                                                     void* user) {
    if (handle == nullptr) {
        return OVEL_CANFD_NO_DEVICE;
    }
    try {
        register_callback(handle, ovel::RxCallback{nullptr, callback, user}, true);
    } catch (const std::bad_alloc&) {
        fail(handle, "failed to set receive callback", "out of memory");
        return OVEL_CANFD_ERR_DEVICE;
    }
    handle->failures.clear();
    return OVEL_CANFD_OK;
}

OVEL_CANFD_API int32_t ovel_canfd_transmit(ovel_canfd_driver* handle,
                                           const ovel_canfd_frame* frame) {
    if (handle == nullptr) {
        return OVEL_CANFD_NO_DEVICE;
    }
    return with_device(handle, handle->tx_mutex, "failed to transmit frame",
                       [&](Device& device) -> Expected<void, DriverError> {
                           if (frame == nullptr) {
                               return ovel::unexpected(DriverError::invalid_frame("frame"));
                           }
                           return device.transmit(ovel::can_frame_from_record(*frame));
                       });
}

}  // extern "C"

namespace ovel::capi {

std::int32_t configure_device(Driver* driver, const char* operation,
                              const std::function<Expected<void, DriverError>(Device&)>& body,
                              const char* transport_operation) {
    return configure(driver, operation, body, transport_operation);
}

std::int32_t open_device(
    Driver* driver, const char* operation,
    const std::function<Expected<std::unique_ptr<Device>, OpenFailure>()>& open) {
    return open_with(driver, operation, open);
}

void set_failure(Driver* driver, const char* operation, const std::string& description) {
    fail(driver, operation, description);
}

}  // namespace ovel::capi
