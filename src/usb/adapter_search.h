// Finding gs_usb adapters in libusb's device list: where each one sits, what its descriptors
// say, whether it can be taken now, and taking the first one that matches and can be.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/expected.h"
#include "usb/usb_error.h"

struct libusb_context;
struct libusb_device;
struct libusb_device_handle;

namespace ovel::usb {

// What identifies an adapter to its user: its place on the USB and its descriptor strings.
struct AdapterIdentity {
    std::uint16_t vendor_id = 0, product_id = 0;
    std::uint8_t bus = 0;
    std::string path;  // the kernel's name for the port chain: "1-2.3"
    std::string serial, manufacturer, product;
};

enum class Availability { Free, Busy, NoPermission, Unavailable };

struct AdapterListing {
    AdapterIdentity identity;
    Availability availability = Availability::Unavailable;
    bool kernel_driver = false;  // a kernel driver is bound to interface 0 (opening detaches it)
};

// Which adapter an open wants: the first that works, or the first with this serial text or
// at this port path.
struct AdapterSelector {
    enum class By { First, Serial, Path };
    By by = By::First;
    std::string text;
};

// An adapter opened with interface 0 claimed.
struct ClaimedAdapter {
    libusb_device_handle* handle = nullptr;
    bool kernel_driver_detached = false;  // to be attached again once the claim is released
    AdapterIdentity identity;
};

// "BUS-PORT.PORT...", or "BUS" for a device without ports (a root hub).
std::string port_path(libusb_device* device);

// Walks the device list in order and claims the first adapter that matches and can be opened
// and claimed; those that cannot are skipped. Fails with DeviceNotFound, whose refusals say how
// many matched and why each could not be used. `held`, when given, is the adapter the caller
// holds already (its port path tells it): not busy to the caller, so if it comes first the
// search stops there with refusals().held_first, without touching it.
Expected<ClaimedAdapter, UsbError> claim_first_matching(libusb_context* context,
                                                        const AdapterSelector& selector,
                                                        const AdapterIdentity* held = nullptr);

// Every adapter in list order, from descriptors only: nothing is sent to the adapter. Telling
// free from busy opens the device and claims interface 0 (released at once) unless a kernel
// driver holds it. Fails with Libusb("libusb_get_device_list", code).
Expected<std::vector<AdapterListing>, UsbError> survey_adapters(libusb_context* context);

}  // namespace ovel::usb
