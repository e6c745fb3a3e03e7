// libusb's device API: enumeration, descriptors, handles, kernel driver and interface claims.
#include "model.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace ovsim::detail {
namespace {

constexpr std::uint8_t MANUFACTURER_INDEX = 1;
constexpr std::uint8_t PRODUCT_INDEX = 2;
constexpr std::uint8_t SERIAL_INDEX = 3;
constexpr std::size_t MAX_STRING_UNITS = 126;  // a string descriptor holds 252 bytes of UTF-16

libusb_device& device_for(libusb_context& context, AdapterModel& adapter) {
    for (const auto& device : context.devices) {
        if (device->adapter == &adapter) {
            return *device;
        }
    }
    context.devices.push_back(std::make_unique<libusb_device>(libusb_device{&context, &adapter}));
    return *context.devices.back();
}

void require_device(const libusb_device* device, const char* function) {
    if (device == nullptr || device->refs <= 0) {
        misuse(function);
    }
}

void unref_device(libusb_device& device) {
    if (--device.refs == 0) {
        auto& devices = device.context->devices;
        devices.erase(std::find_if(devices.begin(), devices.end(),
                                   [&](const auto& owned) { return owned.get() == &device; }));
    }
}

template <typename T>
void erase_value(std::vector<T*>& values, T* value) {
    values.erase(std::remove(values.begin(), values.end(), value), values.end());
}

// The UTF-16 code units of a string descriptor, shown as libusb's ASCII conversion shows them:
// ASCII stays, every other code unit becomes '?'.
std::string ascii_units(const std::string& utf8) {
    std::string units;
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        const auto byte = static_cast<unsigned char>(utf8[i]);
        if (byte < 0x80) {
            units.push_back(static_cast<char>(byte));
        } else if (byte >= 0xF0) {
            units.append("??");  // outside the BMP: a surrogate pair
        } else if (byte >= 0xC0) {
            units.push_back('?');
        }
    }
    units.resize(std::min(units.size(), MAX_STRING_UNITS));
    return units;
}

// What libusb_close found in flight for the handle it closes.
struct DroppedTransfers {
    bool uncancelled = false;
    bool cancellation_pending = false;
};

// Takes a closing handle's transfers out of flight without calling their callbacks.
void drop_transfers(Sim& s, ContextList& list, const libusb_device_handle& handle,
                    DroppedTransfers& dropped) {
    TransferState* transfer = list.front();
    while (transfer != nullptr) {
        TransferState* following = ContextList::next(*transfer);
        if (transfer->handle == &handle) {
            if (transfer->phase == TransferState::Phase::Pending &&
                transfer->endpoint == Endpoint::BulkIn) {
                handle.adapter->pending_in.remove(*transfer);
                if (handle.adapter->split_target == transfer) {
                    handle.adapter->split_target = nullptr;
                }
            }
            list.remove(*transfer);
            transfer->phase = TransferState::Phase::Idle;
            transfer->has_deadline = false;
            --s.counters.transfers_in_flight;
            if (transfer->cancel_requested) {
                dropped.cancellation_pending = true;
            } else if (!handle.adapter->unplugged) {
                dropped.uncancelled = true;
            }
        }
        transfer = following;
    }
}

}  // namespace
}  // namespace ovsim::detail

using namespace ovsim::detail;

extern "C" {

ssize_t LIBUSB_CALL libusb_get_device_list(libusb_context* context, libusb_device*** list) {
    record_call("libusb_get_device_list");
    Sim& s = sim();
    std::lock_guard lock(s.mutex);
    require_context(context, "libusb_get_device_list");
    std::vector<libusb_device*> present;
    for (const auto& adapter : s.adapters) {
        if (!adapter->unplugged) {
            libusb_device& device = device_for(*context, *adapter);
            ++device.refs;
            ++s.counters.device_refs;
            present.push_back(&device);
        }
    }
    auto* result = new libusb_device*[present.size() + 1];
    std::copy(present.begin(), present.end(), result);
    result[present.size()] = nullptr;
    *list = result;
    return static_cast<ssize_t>(present.size());
}

void LIBUSB_CALL libusb_free_device_list(libusb_device** list, int unref_devices) {
    record_call("libusb_free_device_list");
    if (list == nullptr) {
        return;
    }
    if (unref_devices != 0) {
        for (libusb_device** entry = list; *entry != nullptr; ++entry) {
            libusb_unref_device(*entry);
        }
    }
    delete[] list;
}

libusb_device* LIBUSB_CALL libusb_ref_device(libusb_device* device) {
    Sim& s = sim();
    std::lock_guard lock(s.mutex);
    require_device(device, "libusb_ref_device: a device without references");
    ++device->refs;
    ++s.counters.device_refs;
    return device;
}

void LIBUSB_CALL libusb_unref_device(libusb_device* device) {
    if (device == nullptr) {
        return;
    }
    Sim& s = sim();
    std::lock_guard lock(s.mutex);
    require_device(device, "libusb_unref_device: a device without references");
    --s.counters.device_refs;
    unref_device(*device);
}

int LIBUSB_CALL libusb_get_device_descriptor(libusb_device* device,
                                             libusb_device_descriptor* descriptor) {
    Sim& s = sim();
    std::lock_guard lock(s.mutex);
    require_device(device, "libusb_get_device_descriptor: a device without references");
    const ovsim::AdapterSpec& config = device->adapter->config;
    *descriptor = libusb_device_descriptor{};
    descriptor->bLength = LIBUSB_DT_DEVICE_SIZE;
    descriptor->bDescriptorType = LIBUSB_DT_DEVICE;
    descriptor->bcdUSB = 0x0200;
    descriptor->bDeviceClass = 0;
    descriptor->bMaxPacketSize0 = 64;
    descriptor->idVendor = config.vendor_id;
    descriptor->idProduct = config.product_id;
    descriptor->bcdDevice = 0x0000;
    descriptor->iManufacturer = MANUFACTURER_INDEX;
    descriptor->iProduct = PRODUCT_INDEX;
    descriptor->iSerialNumber = config.serial ? SERIAL_INDEX : 0;
    descriptor->bNumConfigurations = 1;
    return 0;
}

int LIBUSB_CALL libusb_open(libusb_device* device, libusb_device_handle** handle) {
    record_call("libusb_open");
    Sim& s = sim();
    std::lock_guard lock(s.mutex);
    require_device(device, "libusb_open: a device without references");
    require_context(device->context, "libusb_open");
    AdapterModel& adapter = *device->adapter;
    if (adapter.unplugged) {
        return LIBUSB_ERROR_NO_DEVICE;
    }
    if (adapter.open_result && *adapter.open_result != 0) {
        return *adapter.open_result;
    }
    s.handles.push_back(std::make_unique<libusb_device_handle>(
        libusb_device_handle{device, device->context, &adapter}));
    libusb_device_handle* opened = s.handles.back().get();
    ++device->refs;
    device->context->open_handles.push_back(opened);
    adapter.handles.push_back(opened);
    ++s.counters.handles;
    *handle = opened;
    return 0;
}

libusb_device_handle* LIBUSB_CALL libusb_open_device_with_vid_pid(libusb_context* context,
                                                                  std::uint16_t vendor_id,
                                                                  std::uint16_t product_id) {
    record_call("libusb_open_device_with_vid_pid");
    libusb_device** list = nullptr;
    if (libusb_get_device_list(context, &list) < 0) {
        return nullptr;
    }
    libusb_device_handle* handle = nullptr;
    for (libusb_device** entry = list; *entry != nullptr; ++entry) {
        libusb_device_descriptor descriptor;
        if (libusb_get_device_descriptor(*entry, &descriptor) == 0 &&
            descriptor.idVendor == vendor_id && descriptor.idProduct == product_id) {
            if (libusb_open(*entry, &handle) != 0) {
                handle = nullptr;
            }
            break;
        }
    }
    libusb_free_device_list(list, 1);
    return handle;
}

void LIBUSB_CALL libusb_close(libusb_device_handle* handle) {
    record_call("libusb_close");
    if (handle == nullptr) {
        return;
    }
    Sim& s = sim();
    std::unique_lock lock(s.mutex);
    if (handle->closed) {
        misuse("libusb_close: the device handle is already closed");
    }
    libusb_context& context = *handle->context;
    // After close returns no callback of this handle may run: wait for one running elsewhere.
    while (context.delivering_handle == handle &&
           context.handler_thread != std::this_thread::get_id()) {
        ++context.close_waiters;
        context.wakeup.wait(lock);
        --context.close_waiters;
        if (handle->closed) {
            misuse("libusb_close: the device handle was closed by another thread meanwhile");
        }
    }
    DroppedTransfers dropped;
    drop_transfers(s, context.pending, *handle, dropped);
    drop_transfers(s, context.completions, *handle, dropped);
    drop_transfers(s, handle->adapter->scheduled, *handle, dropped);
    if (dropped.uncancelled) {
        ++s.counters.closed_with_transfers_in_flight;
    }
    if (dropped.cancellation_pending) {
        ++s.counters.closed_with_cancellations_pending;
    }
    if (handle->claimed) {
        handle->claimed = false;
        --s.counters.claimed_interfaces;
    }
    handle->closed = true;
    erase_value(context.open_handles, handle);
    erase_value(handle->adapter->handles, handle);
    --s.counters.handles;
    unref_device(*handle->device);
    // Wakes the threads that are inside libusb_handle_events now, not those that come later.
    ++context.close_epoch;
    wake_context(context);
}

libusb_device* LIBUSB_CALL libusb_get_device(libusb_device_handle* handle) {
    Sim& s = sim();
    std::lock_guard lock(s.mutex);
    require_open_handle(handle, "libusb_get_device");
    return handle->device;
}

int LIBUSB_CALL libusb_get_string_descriptor_ascii(libusb_device_handle* handle, std::uint8_t index,
                                                   unsigned char* data, int length) {
    Sim& s = sim();
    std::lock_guard lock(s.mutex);
    require_open_handle(handle, "libusb_get_string_descriptor_ascii");
    if (index == 0 || data == nullptr || length <= 0) {
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    const AdapterModel& adapter = *handle->adapter;
    if (adapter.unplugged) {
        return LIBUSB_ERROR_NO_DEVICE;
    }
    std::string text;
    if (index == MANUFACTURER_INDEX) {
        text = adapter.config.manufacturer;
    } else if (index == PRODUCT_INDEX) {
        text = adapter.config.product;
    } else if (index == SERIAL_INDEX && adapter.config.serial &&
               !adapter.config.serial_unreadable) {
        text = *adapter.config.serial;
    } else {
        return LIBUSB_ERROR_PIPE;  // the adapter stalls the request for a string it lacks
    }
    const std::string units = ascii_units(text);
    const std::size_t copied = std::min(units.size(), static_cast<std::size_t>(length - 1));
    std::memcpy(data, units.data(), copied);
    data[copied] = 0;
    return static_cast<int>(copied);
}

int LIBUSB_CALL libusb_detach_kernel_driver(libusb_device_handle* handle, int interface_number) {
    record_call("libusb_detach_kernel_driver");
    Sim& s = sim();
    std::lock_guard lock(s.mutex);
    require_open_handle(handle, "libusb_detach_kernel_driver");
    AdapterModel& adapter = *handle->adapter;
    if (adapter.unplugged) {
        return LIBUSB_ERROR_NO_DEVICE;
    }
    if (adapter.detach_result && *adapter.detach_result != 0) {
        return *adapter.detach_result;
    }
    if (interface_number != 0 || !adapter.kernel_driver_attached) {
        return LIBUSB_ERROR_NOT_FOUND;
    }
    adapter.kernel_driver_attached = false;
    return 0;
}

int LIBUSB_CALL libusb_claim_interface(libusb_device_handle* handle, int interface_number) {
    record_call("libusb_claim_interface");
    Sim& s = sim();
    std::lock_guard lock(s.mutex);
    require_open_handle(handle, "libusb_claim_interface");
    AdapterModel& adapter = *handle->adapter;
    if (interface_number != 0) {
        return LIBUSB_ERROR_NOT_FOUND;
    }
    if (adapter.unplugged) {
        return LIBUSB_ERROR_NO_DEVICE;
    }
    if (adapter.claim_result && *adapter.claim_result != 0) {
        return *adapter.claim_result;
    }
    if (handle->claimed) {
        return 0;
    }
    for (const libusb_device_handle* other : adapter.handles) {
        if (other->claimed) {
            return LIBUSB_ERROR_BUSY;
        }
    }
    handle->claimed = true;
    ++s.counters.claimed_interfaces;
    return 0;
}

int LIBUSB_CALL libusb_release_interface(libusb_device_handle* handle, int interface_number) {
    record_call("libusb_release_interface");
    Sim& s = sim();
    std::lock_guard lock(s.mutex);
    require_open_handle(handle, "libusb_release_interface");
    if (interface_number != 0 || !handle->claimed) {
        return LIBUSB_ERROR_NOT_FOUND;
    }
    handle->claimed = false;
    --s.counters.claimed_interfaces;
    return handle->adapter->unplugged ? LIBUSB_ERROR_NO_DEVICE : 0;
}

}  // extern "C"
