// The exported entry points: thin wrappers that test for a device, call one device
// operation under the handle's lock and turn its result into a return code and a failure text.
#include <cstring>
#include <exception>
#include <new>
#include <optional>
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
using ovel::capi::with_device;

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
// running on the old one; the caller destroys it without any lock held. The old one's dispatch
// thread goes to the line at once: a stop or close that comes before that destruction finds
// no device, and must still wait for the thread.
std::unique_ptr<Device> replace_device(Driver* driver, std::unique_ptr<Device> next) {
    std::lock_guard tx_lock(driver->tx_mutex);
    std::swap(driver->device, next);
    if (next) {
        next->retire_dispatcher();
    }
    return next;
}

// Waits for the dispatch threads of ended streaming periods, also of adapters closed from
// inside the callback. Called without any lock held: their last callback may be making calls
// on the handle itself. From inside the callback it joins only those that have ended: the
// others cannot deliver before the calling callback has returned, and the next such call from
// outside (or the handle's end) joins them.
void finish_dispatch(Driver* driver) {
    driver->line->finish();
}

// `open` is called with the adapter the handle holds, if any: that one is not busy to the
// handle. A different adapter is opened before the held one is released, so that a failed open
// keeps it; when the held one comes first, it is closed and opened again.
template <class Open>
std::int32_t open_with(Driver* driver, const char* operation, Open&& open) {
    try {
        std::unique_lock lock(driver->config_mutex);
        std::optional<ovel::usb::AdapterIdentity> held;
        if (driver->device) {
            held = driver->device->identity();
        }
        auto opened = open(held ? &*held : nullptr);
        bool closed_held = false;
        if (!opened && opened.error().held_first) {
            // Waits for no dispatch thread: the lock may stay held.
            replace_device(driver, nullptr).reset();
            closed_held = true;
            opened = open(nullptr);
        }
        if (!opened) {
            lock.unlock();
            if (closed_held) {
                finish_dispatch(driver);
            }
            const auto& failure = opened.error();
            if (failure.context_failed) {
                driver->failures.set(failure.describe());
            } else {
                fail(driver, operation, failure.describe());
            }
            return OVEL_CANFD_NO_DEVICE;
        }
        opened.value()->set_dispatch_line(driver->line);
        // The old device is torn down only once the new one is ready.
        std::unique_ptr<Device> old = replace_device(driver, std::move(opened.value()));
        lock.unlock();
        if (old || closed_held) {
            old.reset();
            finish_dispatch(driver);
        }
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
    finish_dispatch(driver);
}

// The handler a streaming period's dispatch thread calls for every frame.
ovel::FrameHandler frame_handler(Driver* driver,
                                 std::shared_ptr<std::atomic<std::uint64_t>> delivered) {
    // The period's callback, allocated now so that delivering allocates nothing.
    auto first = std::make_shared<std::unique_ptr<ovel::RxCallback>>(
        std::make_unique<ovel::RxCallback>());
    return [driver, first = std::move(first), delivered = std::move(delivered)](
               const ovel::gsusb::HostFrame& frame, const ovel::usb::RxMeta& meta) {
        if (*first) {
            // The period's first frame. This thread holds the handle's dispatch gate, so no
            // callback runs: the period's callback replaces the last one at once.
            std::lock_guard lock(driver->registration_mutex);
            **first = driver->live;
            delete driver->slot.exchange(first->release());
        }
        // The record lives in the dispatch thread's storage, built anew for every frame.
        ovel_canfd_frame record;
        ovel::record_from_host_frame(frame, record);
        delivering_handle = driver;
        const bool called = driver->slot.deliver(record, meta);
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
    std::unique_ptr<ovel::RxCallback> fresh;
    if (immediate) {
        fresh = std::make_unique<ovel::RxCallback>(callback);
    }
    const ovel::RxCallback* old = nullptr;
    {
        std::lock_guard lock(driver->registration_mutex);
        driver->registered = callback;
        if (immediate) {
            driver->live = callback;
            old = driver->slot.exchange(fresh.release());
        }
    }
    // Without the lock: it waits for a callback in progress, on whichever dispatch thread of
    // the handle, and that callback may register too.
    if (immediate) {
        driver->slot.release_after_calls(old);
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
    try {
        return new ovel_canfd_driver();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
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
    return open_with(handle, "failed to open device",
                     [](const ovel::usb::AdapterIdentity* held) { return Device::open(held); });
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
    return open_with(handle, operation, [text](const ovel::usb::AdapterIdentity* held) {
        return Device::open_with_serial_number(std::string(text), held);
    });
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
    bool stopped = false;
    const std::int32_t code = configure(handle, "failed to start device", [&](Device& device) {
        ovel::FrameHandler handler;
        if (!device.running()) {
            // A new streaming period: the callback registered now is the one it calls.
            handler = frame_handler(handle, device.delivered_counter());
            std::lock_guard lock(handle->registration_mutex);
            handle->live = handle->registered;
        }
        auto started = device.start(channel, std::move(handler));
        stopped = !device.running();
        return started;
    });
    // A start that failed once its dispatch thread ran keeps stop's promise.
    if (code != OVEL_CANFD_OK && stopped) {
        finish_dispatch(handle);
    }
    return code;
}

OVEL_CANFD_API int32_t ovel_canfd_stop(ovel_canfd_driver* handle, uint8_t channel) {
    bool stopped = true;
    const std::int32_t code = configure(handle, "failed to stop device", [&](Device& device) {
        auto result = device.stop(channel);
        stopped = !device.running();
        return result;
    });
    // Also with no adapter: one closed from inside the callback may have left its thread.
    if (handle != nullptr && stopped) {
        finish_dispatch(handle);
    }
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

std::int32_t open_device(Driver* driver, const char* operation,
                         const std::function<Expected<std::unique_ptr<Device>, OpenFailure>(
                             const usb::AdapterIdentity*)>& open) {
    return open_with(driver, operation, open);
}

void set_failure(Driver* driver, const char* operation, const std::string& description) {
    fail(driver, operation, description);
}

}  // namespace ovel::capi
