#include "usb/usb_context.h"

#include <libusb.h>

namespace ovel::usb {

std::optional<UsbContext> UsbContext::create(int* error_code) {
    libusb_context* context = nullptr;
    const int result = libusb_init(&context);
    if (error_code != nullptr) {
        *error_code = result;
    }
    if (result != 0 || context == nullptr) {
        return std::nullopt;
    }
    return UsbContext(context);
}

UsbContext& UsbContext::operator=(UsbContext&& other) noexcept {
    if (this != &other) {
        reset();
        context_ = other.context_;
        other.context_ = nullptr;
    }
    return *this;
}

void UsbContext::reset() {
    if (context_ != nullptr) {
        libusb_exit(context_);
        context_ = nullptr;
    }
}

}  // namespace ovel::usb
