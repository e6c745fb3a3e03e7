// Errors of the USB transport: small values that own nothing.
#pragma once

#include <string>

namespace ovel::usb {

class UsbError {
  public:
    enum class Kind { Libusb, DeviceNotFound, TransferAllocFailed, InvalidControlResponse };

    // `operation` must be a string literal (or otherwise outlive every copy).
    static UsbError libusb(const char* operation, int code) {
        return {Kind::Libusb, operation, code};
    }
    static UsbError device_not_found() { return {Kind::DeviceNotFound, "", 0}; }
    // No adapter could be used although some matched: how many matched and why each failed.
    struct Refusals {
        int found = 0;
        int busy = 0;
        int denied = 0;
        int other = 0;
        int other_code = 0;  // the first failure that was neither busy nor denied
        // The search stopped at the adapter the caller holds itself: the first that matches.
        bool held_first = false;
    };
    static UsbError device_not_found(const Refusals& refusals) {
        UsbError error(Kind::DeviceNotFound, "", 0);
        error.refusals_ = refusals;
        return error;
    }
    static UsbError transfer_alloc_failed() { return {Kind::TransferAllocFailed, "", 0}; }
    static UsbError invalid_control_response() { return {Kind::InvalidControlResponse, "", 0}; }

    Kind kind() const { return kind_; }
    const char* operation() const { return operation_; }
    int code() const { return code_; }
    const Refusals& refusals() const { return refusals_; }

    // `Libusb("libusb_claim_interface", -3)`, `TransferAllocFailed`,
    // `DeviceNotFound (2 adapters found: busy)`, ...
    std::string describe() const;

    bool operator==(const UsbError& other) const;

    // A transfer that finished by running out of time (as opposed to being refused or failing).
    bool is_transfer_timeout() const;
    // A control OUT request that the adapter refused with a stall.
    bool is_control_out_stall() const;

  private:
    UsbError(Kind kind, const char* operation, int code)
        : kind_(kind), operation_(operation), code_(code) {}

    Kind kind_;
    const char* operation_;
    int code_;
    Refusals refusals_{};
};

// libusb error codes the layers above name without including libusb.h (checked against it).
inline constexpr int USB_ERROR_TIMEOUT = -7;
inline constexpr int USB_ERROR_NO_MEM = -11;

// The libusb error code that libusb's synchronous API reports for a transfer status
// (stall -> LIBUSB_ERROR_PIPE, time-out -> LIBUSB_ERROR_TIMEOUT, ...); 0 for a completed one.
int error_code_for_status(int transfer_status);

}  // namespace ovel::usb
