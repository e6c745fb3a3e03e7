// libusb's view of where a device is plugged and which kernel driver holds its interface, and
// the control API's queries of the same.
#include "model.h"

#include <algorithm>

namespace ovsim::detail {
namespace {

std::vector<std::uint8_t> ports_of(const Sim& s, const AdapterModel& adapter) {
    if (!adapter.config.port_numbers.empty()) {
        return adapter.config.port_numbers;
    }
    std::uint8_t position = 1;
    for (const auto& plugged : s.adapters) {
        if (plugged.get() == &adapter) {
            break;
        }
        ++position;
    }
    return {position};
}

}  // namespace
}  // namespace ovsim::detail

using namespace ovsim::detail;

extern "C" {

std::uint8_t LIBUSB_CALL libusb_get_bus_number(libusb_device* device) {
    Sim& s = sim();
    std::lock_guard lock(s.mutex);
    if (device == nullptr || device->refs <= 0) {
        misuse("libusb_get_bus_number: a device without references");
    }
    return device->adapter->config.bus_number;
}

int LIBUSB_CALL libusb_get_port_numbers(libusb_device* device, std::uint8_t* port_numbers,
                                        int port_numbers_len) {
    Sim& s = sim();
    std::lock_guard lock(s.mutex);
    if (device == nullptr || device->refs <= 0) {
        misuse("libusb_get_port_numbers: a device without references");
    }
    if (port_numbers == nullptr || port_numbers_len <= 0) {
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    const std::vector<std::uint8_t> ports = ports_of(s, *device->adapter);
    if (static_cast<int>(ports.size()) > port_numbers_len) {
        return LIBUSB_ERROR_OVERFLOW;
    }
    std::copy(ports.begin(), ports.end(), port_numbers);
    return static_cast<int>(ports.size());
}

int LIBUSB_CALL libusb_kernel_driver_active(libusb_device_handle* handle, int interface_number) {
    Sim& s = sim();
    std::lock_guard lock(s.mutex);
    require_open_handle(handle, "libusb_kernel_driver_active");
    if (handle->adapter->unplugged) {
        return LIBUSB_ERROR_NO_DEVICE;
    }
    if (interface_number != 0) {
        return LIBUSB_ERROR_NOT_FOUND;
    }
    return handle->adapter->kernel_driver_attached ? 1 : 0;
}

// As Linux: binding fails while the driver is bound already or a handle holds the interface.
int LIBUSB_CALL libusb_attach_kernel_driver(libusb_device_handle* handle, int interface_number) {
    record_call("libusb_attach_kernel_driver");
    Sim& s = sim();
    std::lock_guard lock(s.mutex);
    require_open_handle(handle, "libusb_attach_kernel_driver");
    AdapterModel& adapter = *handle->adapter;
    if (adapter.unplugged) {
        return LIBUSB_ERROR_NO_DEVICE;
    }
    if (interface_number != 0) {
        return LIBUSB_ERROR_NOT_FOUND;
    }
    const bool claimed = std::any_of(adapter.handles.begin(), adapter.handles.end(),
                                     [](const libusb_device_handle* h) { return h->claimed; });
    if (adapter.kernel_driver_attached || claimed) {
        return LIBUSB_ERROR_BUSY;
    }
    adapter.kernel_driver_attached = true;
    return 0;
}

}  // extern "C"

namespace ovsim {

bool Adapter::kernel_driver_attached() const {
    std::lock_guard lock(detail::sim().mutex);
    return model_.kernel_driver_attached;
}

bool Adapter::termination(std::uint8_t channel) const {
    std::lock_guard lock(detail::sim().mutex);
    return channel < model_.termination.size() && model_.termination[channel];
}

bool Adapter::identifying() const {
    std::lock_guard lock(detail::sim().mutex);
    return model_.identifying;
}

}  // namespace ovsim
