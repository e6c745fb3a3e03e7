// Sole owner of one libusb context: every open device has a context of its own,
// so libusb's default context is never touched.
#pragma once

#include <optional>

struct libusb_context;

namespace ovel::usb {

class UsbContext {
  public:
    // libusb_init with no options; the libusb error code on failure.
    static std::optional<UsbContext> create(int* error_code = nullptr);

    UsbContext(UsbContext&& other) noexcept : context_(other.context_) { other.context_ = nullptr; }
    UsbContext& operator=(UsbContext&& other) noexcept;
    UsbContext(const UsbContext&) = delete;
    UsbContext& operator=(const UsbContext&) = delete;
    ~UsbContext() { reset(); }

    libusb_context* get() const { return context_; }

    // libusb_exit, now. Every handle must be closed and no thread may be in event handling.
    void reset();

  private:
    explicit UsbContext(libusb_context* context) : context_(context) {}

    libusb_context* context_;
};

}  // namespace ovel::usb
