#include "usb/adapter_search.h"

#include <algorithm>
#include <memory>

#include <libusb.h>

#include "common/utf8.h"
#include "usb/usb_device.h"

namespace ovel::usb {
namespace {

// The deepest chain USB allows: 7 tiers of ports below the root hub.
constexpr int MAX_PORT_DEPTH = 7;

struct DeviceListDeleter {
    void operator()(libusb_device** list) const { libusb_free_device_list(list, 1); }
};
using DeviceList = std::unique_ptr<libusb_device*, DeviceListDeleter>;

bool is_gs_usb(libusb_device* device, libusb_device_descriptor& descriptor) {
    return libusb_get_device_descriptor(device, &descriptor) == 0 &&
           descriptor.idVendor == GS_USB_VENDOR_ID && descriptor.idProduct == GS_USB_PRODUCT_ID;
}

// A string descriptor as ASCII text; "" when absent, unreadable or not valid UTF-8.
std::string read_string(libusb_device_handle* handle, std::uint8_t index) {
    if (index == 0) {
        return "";
    }
    unsigned char buffer[256] = {};
    const int length = libusb_get_string_descriptor_ascii(handle, index, buffer, sizeof buffer);
    if (length <= 0) {
        return "";
    }
    std::string text(reinterpret_cast<const char*>(buffer),
                     std::min(static_cast<std::size_t>(length), sizeof buffer));
    return is_valid_utf8(text) ? text : "";
}

AdapterIdentity identity_of(libusb_device* device, const libusb_device_descriptor& descriptor) {
    AdapterIdentity identity;
    identity.vendor_id = descriptor.idVendor;
    identity.product_id = descriptor.idProduct;
    identity.bus = libusb_get_bus_number(device);
    identity.path = port_path(device);
    return identity;
}

void read_strings(libusb_device_handle* handle, const libusb_device_descriptor& descriptor,
                  AdapterIdentity& identity) {
    identity.manufacturer = read_string(handle, descriptor.iManufacturer);
    identity.product = read_string(handle, descriptor.iProduct);
}

void count_refusal(UsbError::Refusals& refusals, int code) {
    if (code == LIBUSB_ERROR_BUSY) {
        ++refusals.busy;
    } else if (code == LIBUSB_ERROR_ACCESS) {
        ++refusals.denied;
    } else {
        if (refusals.other == 0) {
            refusals.other_code = code;
        }
        ++refusals.other;
    }
}

// Detaches a kernel driver and claims interface 0; on failure the kernel driver is given back.
int take_interface(libusb_device_handle* handle, bool& detached) {
    detached = false;
    const int detach = libusb_detach_kernel_driver(handle, GS_USB_INTERFACE);
    if (detach != 0 && detach != LIBUSB_ERROR_NOT_FOUND && detach != LIBUSB_ERROR_NOT_SUPPORTED) {
        return detach;
    }
    detached = detach == 0;
    const int claim = libusb_claim_interface(handle, GS_USB_INTERFACE);
    if (claim != 0 && detached) {
        (void)libusb_attach_kernel_driver(handle, GS_USB_INTERFACE);
        detached = false;
    }
    return claim;
}

}  // namespace

std::string port_path(libusb_device* device) {
    std::string path = std::to_string(libusb_get_bus_number(device));
    std::uint8_t ports[MAX_PORT_DEPTH] = {};
    const int depth = libusb_get_port_numbers(device, ports, MAX_PORT_DEPTH);
    for (int i = 0; i < depth; ++i) {
        path += i == 0 ? '-' : '.';
        path += std::to_string(ports[i]);
    }
    return path;
}

Expected<ClaimedAdapter, UsbError> claim_first_matching(libusb_context* context,
                                                        const AdapterSelector& selector,
                                                        const AdapterIdentity* held) {
    libusb_device** raw_list = nullptr;
    const ssize_t count = libusb_get_device_list(context, &raw_list);
    if (count < 0) {
        return unexpected(UsbError::device_not_found());
    }
    const DeviceList list(raw_list);
    UsbError::Refusals refusals;
    for (ssize_t i = 0; i < count; ++i) {
        libusb_device* device = raw_list[i];
        libusb_device_descriptor descriptor{};
        if (!is_gs_usb(device, descriptor)) {
            continue;
        }
        ClaimedAdapter adapter;
        adapter.identity = identity_of(device, descriptor);
        if (selector.by == AdapterSelector::By::Path && adapter.identity.path != selector.text) {
            continue;
        }
        if (held != nullptr && adapter.identity.path == held->path) {
            if (selector.by == AdapterSelector::By::Serial && held->serial != selector.text) {
                continue;
            }
            refusals.held_first = true;
            return unexpected(UsbError::device_not_found(refusals));
        }
        const int opened = libusb_open(device, &adapter.handle);
        if (opened != 0 || adapter.handle == nullptr) {
            // For a serial search this adapter may or may not be the one: it counts, since
            // its failure may be why the one wanted was not found.
            ++refusals.found;
            count_refusal(refusals, opened != 0 ? opened : LIBUSB_ERROR_OTHER);
            continue;
        }
        adapter.identity.serial = read_string(adapter.handle, descriptor.iSerialNumber);
        if (selector.by == AdapterSelector::By::Serial && adapter.identity.serial != selector.text) {
            libusb_close(adapter.handle);
            continue;
        }
        ++refusals.found;
        const int taken = take_interface(adapter.handle, adapter.kernel_driver_detached);
        if (taken != 0) {
            count_refusal(refusals, taken);
            libusb_close(adapter.handle);
            continue;
        }
        read_strings(adapter.handle, descriptor, adapter.identity);
        return adapter;
    }
    return unexpected(UsbError::device_not_found(refusals));
}

Expected<std::vector<AdapterListing>, UsbError> survey_adapters(libusb_context* context) {
    libusb_device** raw_list = nullptr;
    const ssize_t count = libusb_get_device_list(context, &raw_list);
    if (count < 0) {
        return unexpected(UsbError::libusb("libusb_get_device_list", static_cast<int>(count)));
    }
    const DeviceList list(raw_list);
    std::vector<AdapterListing> listings;
    for (ssize_t i = 0; i < count; ++i) {
        libusb_device* device = raw_list[i];
        libusb_device_descriptor descriptor{};
        if (!is_gs_usb(device, descriptor)) {
            continue;
        }
        AdapterListing listing;
        listing.identity = identity_of(device, descriptor);
        libusb_device_handle* handle = nullptr;
        const int opened = libusb_open(device, &handle);
        if (opened != 0 || handle == nullptr) {
            listing.availability = opened == LIBUSB_ERROR_ACCESS ? Availability::NoPermission
                                                                 : Availability::Unavailable;
            listings.push_back(std::move(listing));
            continue;
        }
        listing.identity.serial = read_string(handle, descriptor.iSerialNumber);
        read_strings(handle, descriptor, listing.identity);
        // A bound kernel driver means nobody holds the interface: opening would detach it.
        listing.kernel_driver = libusb_kernel_driver_active(handle, GS_USB_INTERFACE) == 1;
        if (listing.kernel_driver) {
            listing.availability = Availability::Free;
        } else {
            const int claim = libusb_claim_interface(handle, GS_USB_INTERFACE);
            if (claim == 0) {
                libusb_release_interface(handle, GS_USB_INTERFACE);
                listing.availability = Availability::Free;
            } else if (claim == LIBUSB_ERROR_BUSY) {
                listing.availability = Availability::Busy;
            } else if (claim == LIBUSB_ERROR_ACCESS) {
                listing.availability = Availability::NoPermission;
            } else {
                listing.availability = Availability::Unavailable;
            }
        }
        libusb_close(handle);
        listings.push_back(std::move(listing));
    }
    return listings;
}

}  // namespace ovel::usb
