#include "usb/usb_error.h"

#include <cstring>

#include <libusb.h>

namespace ovel::usb {

static_assert(USB_ERROR_TIMEOUT == LIBUSB_ERROR_TIMEOUT);
static_assert(USB_ERROR_NO_MEM == LIBUSB_ERROR_NO_MEM);

bool UsbError::is_transfer_timeout() const {
    return kind_ == Kind::Libusb && code_ == LIBUSB_ERROR_TIMEOUT &&
           std::strcmp(operation_, "send: transfer") == 0;
}

namespace {

// " (2 adapters found: 1 busy, 1 access denied; ...)": each reason once, counted when mixed.
std::string describe_refusals(const UsbError::Refusals& refusals) {
    if (refusals.found == 0) {
        return "";
    }
    struct Reason {
        int count;
        std::string text;
    };
    const Reason reasons[] = {
        {refusals.busy, "busy"},
        {refusals.denied, "access denied"},
        {refusals.other, libusb_error_name(refusals.other_code)},
    };
    const int kinds = static_cast<int>(refusals.busy > 0) + static_cast<int>(refusals.denied > 0) +
                      static_cast<int>(refusals.other > 0);
    std::string text = " (" + std::to_string(refusals.found) +
                       (refusals.found == 1 ? " adapter found: " : " adapters found: ");
    bool first = true;
    for (const Reason& reason : reasons) {
        if (reason.count == 0) {
            continue;
        }
        if (!first) {
            text += ", ";
        }
        first = false;
        if (kinds > 1) {
            text += std::to_string(reason.count) + " ";
        }
        text += reason.text;
    }
    if (refusals.denied > 0) {
        text += "; a udev rule gives access: see README";
    }
    return text + ")";
}

}  // namespace

bool UsbError::is_control_out_stall() const {
    return kind_ == Kind::Libusb && code_ == LIBUSB_ERROR_PIPE &&
           std::strcmp(operation_, "control_out: transfer") == 0;
}

std::string UsbError::describe() const {
    switch (kind_) {
        case Kind::Libusb:
            return "Libusb(\"" + std::string(operation_) + "\", " + std::to_string(code_) + ")";
        case Kind::DeviceNotFound:
            return "DeviceNotFound" + describe_refusals(refusals_);
        case Kind::TransferAllocFailed:
            return "TransferAllocFailed";
        case Kind::InvalidControlResponse:
            return "InvalidControlResponse";
    }
    return "Unknown";
}

bool UsbError::operator==(const UsbError& other) const {
    return kind_ == other.kind_ && code_ == other.code_ &&
           std::strcmp(operation_, other.operation_) == 0;
}

int error_code_for_status(int transfer_status) {
    switch (transfer_status) {
        case LIBUSB_TRANSFER_COMPLETED:
            return 0;
        case LIBUSB_TRANSFER_STALL:
            return LIBUSB_ERROR_PIPE;
        case LIBUSB_TRANSFER_TIMED_OUT:
            return LIBUSB_ERROR_TIMEOUT;
        case LIBUSB_TRANSFER_NO_DEVICE:
            return LIBUSB_ERROR_NO_DEVICE;
        case LIBUSB_TRANSFER_OVERFLOW:
            return LIBUSB_ERROR_OVERFLOW;
        default:  // LIBUSB_TRANSFER_ERROR, LIBUSB_TRANSFER_CANCELLED
            return LIBUSB_ERROR_IO;
    }
}

}  // namespace ovel::usb
