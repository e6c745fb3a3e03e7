// Exported functions that find adapters, open one by its port, describe the open one and
// switch its termination and identification LEDs.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <exception>
#include <string_view>

#include "capi/c_bool.h"
#include "capi/entry_points.h"
#include "capi/return_codes.h"
#include "common/utf8.h"
#include "ovelcanfd.h"
#include "usb/adapter_search.h"
#include "usb/usb_context.h"

namespace {

// The first versions of the records: smaller sizes cannot hold what they promise.
constexpr std::size_t ADAPTER_INFO_V1_SIZE = 432;
constexpr std::size_t ADAPTER_DETAILS_V1_SIZE = 488;

static_assert(sizeof(ovel_canfd_adapter_info) == ADAPTER_INFO_V1_SIZE);
static_assert(offsetof(ovel_canfd_adapter_info, vendor_id) == 4);
static_assert(offsetof(ovel_canfd_adapter_info, bus) == 8);
static_assert(offsetof(ovel_canfd_adapter_info, kernel_driver) == 9);
static_assert(offsetof(ovel_canfd_adapter_info, availability) == 12);
static_assert(offsetof(ovel_canfd_adapter_info, path) == 16);
static_assert(offsetof(ovel_canfd_adapter_info, serial_number) == 48);
static_assert(offsetof(ovel_canfd_adapter_info, manufacturer) == 176);
static_assert(offsetof(ovel_canfd_adapter_info, product) == 304);
static_assert(sizeof(ovel_canfd_adapter_details) == ADAPTER_DETAILS_V1_SIZE);
static_assert(offsetof(ovel_canfd_adapter_details, brp_inc) == 52);
static_assert(offsetof(ovel_canfd_adapter_details, adapter) == 56);

constexpr const char* FEATURE_NAMES[] = {
    "LISTEN_ONLY", "LOOP_BACK", "TRIPLE_SAMPLE", "ONE_SHOT",   "HW_TIMESTAMP",
    "IDENTIFY",    "USER_ID",   "PAD_PKTS_TO_MAX_PKT_SIZE",    "FD",
    "REQ_USB_QUIRK_LPC546XX",   "BT_CONST_EXT", "TERMINATION", "BERR_REPORTING",
    "GET_STATE",
};

template <std::size_t N>
void copy_text(char (&field)[N], const std::string& text) {
    const std::size_t length = std::min(text.size(), N - 1);
    std::memcpy(field, text.data(), length);
    field[length] = '\0';
}

std::int32_t availability_code(ovel::usb::Availability availability) {
    switch (availability) {
        case ovel::usb::Availability::Free:
            return OVEL_CANFD_ADAPTER_FREE;
        case ovel::usb::Availability::Busy:
            return OVEL_CANFD_ADAPTER_BUSY;
        case ovel::usb::Availability::NoPermission:
            return OVEL_CANFD_ADAPTER_NO_PERMISSION;
        case ovel::usb::Availability::Unavailable:
            break;
    }
    return OVEL_CANFD_ADAPTER_UNAVAILABLE;
}

ovel_canfd_adapter_info info_record(const ovel::usb::AdapterIdentity& identity,
                                    ovel::usb::Availability availability, bool kernel_driver) {
    ovel_canfd_adapter_info record{};
    record.size = sizeof record;
    record.vendor_id = identity.vendor_id;
    record.product_id = identity.product_id;
    record.bus = identity.bus;
    record.kernel_driver = kernel_driver;
    record.availability = availability_code(availability);
    copy_text(record.path, identity.path);
    copy_text(record.serial_number, identity.serial);
    copy_text(record.manufacturer, identity.manufacturer);
    copy_text(record.product, identity.product);
    return record;
}

// Writes what fits of `record` into a caller's record of `size` bytes and says how much.
template <class Record>
void write_versioned(void* destination, std::size_t size, Record record) {
    const std::size_t written = std::min(size, sizeof record);
    record.size = static_cast<std::uint32_t>(written);
    std::memcpy(destination, &record, written);
}

std::int32_t list_adapters(ovel_canfd_adapter_info* out, std::size_t capacity) {
    std::size_t stride = 0;
    if (capacity > 0) {
        if (out == nullptr || out[0].size < ADAPTER_INFO_V1_SIZE) {
            return OVEL_CANFD_ERR_INVALID_ARGUMENT;
        }
        stride = out[0].size;
    }
    auto context = ovel::usb::UsbContext::create();
    if (!context) {
        return OVEL_CANFD_ERR_DEVICE;
    }
    const auto listings = ovel::usb::survey_adapters(context->get());
    if (!listings) {
        return OVEL_CANFD_ERR_DEVICE;
    }
    const std::size_t count = listings.value().size();
    for (std::size_t i = 0; i < std::min(count, capacity); ++i) {
        const auto& listing = listings.value()[i];
        auto* destination = reinterpret_cast<unsigned char*>(out) + i * stride;
        write_versioned(destination, stride,
                        info_record(listing.identity, listing.availability, listing.kernel_driver));
    }
    return static_cast<std::int32_t>(std::min<std::size_t>(count, INT32_MAX));
}

}  // namespace

extern "C" {

OVEL_CANFD_API int32_t ovel_canfd_list_adapters(ovel_canfd_adapter_info* out, size_t capacity) {
    try {
        return list_adapters(out, capacity);
    } catch (const std::exception&) {
        return OVEL_CANFD_ERR_DEVICE;  // memory exhausted
    }
}

OVEL_CANFD_API int32_t ovel_canfd_open_with_device_path(ovel_canfd_driver* handle,
                                                        const char* path) {
    if (handle == nullptr) {
        return OVEL_CANFD_NO_DEVICE;
    }
    constexpr const char* operation = "failed to open device with path";
    if (path == nullptr) {
        ovel::capi::set_failure(handle, operation, "null path");
        return OVEL_CANFD_NO_DEVICE;
    }
    const std::string_view text(path, std::strlen(path));
    if (!ovel::is_valid_utf8(text)) {
        ovel::capi::set_failure(handle, operation, "path is not valid UTF-8");
        return OVEL_CANFD_NO_DEVICE;
    }
    return ovel::capi::open_device(
        handle, operation, [text](const ovel::usb::AdapterIdentity* held) {
            return ovel::Device::open_with_path(std::string(text), held);
        });
}

OVEL_CANFD_API const char* ovel_canfd_feature_name(uint32_t bit) {
    if (bit >= std::size(FEATURE_NAMES)) {
        return nullptr;
    }
    return FEATURE_NAMES[bit];
}

OVEL_CANFD_API int32_t ovel_canfd_get_adapter_info(ovel_canfd_driver* handle,
                                                   ovel_canfd_adapter_details* out) {
    if (handle == nullptr) {
        return OVEL_CANFD_NO_DEVICE;
    }
    bool bad_argument = false;
    const std::int32_t code = ovel::capi::configure_device(
        handle, "failed to get adapter info",
        [&](ovel::Device& device) -> ovel::Expected<void, ovel::DriverError> {
            if (out == nullptr || out->size < ADAPTER_DETAILS_V1_SIZE) {
                bad_argument = true;
                return {};
            }
            ovel_canfd_adapter_details details{};
            details.channel_count = device.icount() + 1;
            const auto& bt = device.bt_const();
            details.can_clock_hz = bt.fclk_can;
            details.features = bt.feature;
            details.sw_version = device.sw_version();
            details.hw_version = device.hw_version();
            details.tseg1_min = bt.tseg1_min;
            details.tseg1_max = bt.tseg1_max;
            details.tseg2_min = bt.tseg2_min;
            details.tseg2_max = bt.tseg2_max;
            details.sjw_max = bt.sjw_max;
            details.brp_min = bt.brp_min;
            details.brp_max = bt.brp_max;
            details.brp_inc = bt.brp_inc;
            details.adapter =
                info_record(device.identity(), ovel::usb::Availability::Busy, false);
            write_versioned(out, out->size, details);
            return {};
        });
    if (bad_argument) {
        ovel::capi::set_failure(handle, "failed to get adapter info",
                                out == nullptr ? "null record" : "record size too small");
        return OVEL_CANFD_ERR_INVALID_ARGUMENT;
    }
    return code;
}

OVEL_CANFD_API int32_t ovel_canfd_set_termination(ovel_canfd_driver* handle, uint8_t channel,
                                                  bool on) {
    const bool value = ovel::c_bool(on);
    return ovel::capi::configure_device(
        handle, "failed to set termination",
        [&](ovel::Device& device) { return device.set_termination(channel, value); });
}

OVEL_CANFD_API int32_t ovel_canfd_get_termination(ovel_canfd_driver* handle, uint8_t channel,
                                                  bool* on) {
    bool bad_argument = false;
    const std::int32_t code = ovel::capi::configure_device(
        handle, "failed to get termination",
        [&](ovel::Device& device) -> ovel::Expected<void, ovel::DriverError> {
            if (on == nullptr) {
                bad_argument = true;
                return {};
            }
            auto state = device.termination(channel);
            if (!state) {
                return ovel::unexpected(state.error());
            }
            *on = state.value();
            return {};
        });
    if (bad_argument) {
        ovel::capi::set_failure(handle, "failed to get termination", "null result pointer");
        return OVEL_CANFD_ERR_INVALID_ARGUMENT;
    }
    return code;
}

OVEL_CANFD_API int32_t ovel_canfd_identify(ovel_canfd_driver* handle, uint8_t channel, bool on) {
    const bool value = ovel::c_bool(on);
    return ovel::capi::configure_device(
        handle, "failed to identify adapter",
        [&](ovel::Device& device) { return device.identify(channel, value); });
}

}  // extern "C"
