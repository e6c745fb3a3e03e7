// The emulated adapter's answers to gs_usb vendor control requests on endpoint 0.
#include "model.h"

#include <algorithm>
#include <cstring>

namespace ovsim::detail {
namespace {

constexpr std::uint8_t TYPE_VENDOR_IN = 0xC1;   // device to host, vendor, interface
constexpr std::uint8_t TYPE_VENDOR_OUT = 0x41;  // host to device, vendor, interface
constexpr int DEVICE_CONFIG_SIZE = 12;
constexpr int BT_CONST_SIZE = 40;
constexpr int BT_CONST_EXT_SIZE = 72;
constexpr int BITTIMING_SIZE = 20;
constexpr int MODE_SIZE = 8;
constexpr std::uint32_t MODE_RESET = 0;
constexpr std::uint32_t MODE_START = 1;

void put_u32(std::uint8_t* out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        out[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

std::uint32_t get_u32(const std::uint8_t* in) {
    return static_cast<std::uint32_t>(in[0]) | static_cast<std::uint32_t>(in[1]) << 8 |
           static_cast<std::uint32_t>(in[2]) << 16 | static_cast<std::uint32_t>(in[3]) << 24;
}

ControlRecord record_of(const libusb_transfer& pub) {
    ControlRecord record{};
    std::copy_n(pub.buffer, LIBUSB_CONTROL_SETUP_SIZE, record.setup.begin());
    record.request_type = record.setup[0];
    record.request = record.setup[1];
    record.value = static_cast<std::uint16_t>(record.setup[2] | record.setup[3] << 8);
    record.index = static_cast<std::uint16_t>(record.setup[4] | record.setup[5] << 8);
    record.length = static_cast<std::uint16_t>(record.setup[6] | record.setup[7] << 8);
    if ((record.request_type & LIBUSB_ENDPOINT_IN) == 0) {
        const std::uint8_t* data = pub.buffer + LIBUSB_CONTROL_SETUP_SIZE;
        record.payload.assign(data, data + record.length);
    }
    record.transfer_length = pub.length;
    record.endpoint = pub.endpoint;
    record.type = pub.type;
    return record;
}

// The reply of an IN request, or nullopt when the adapter stalls it.
std::optional<std::vector<std::uint8_t>> reply_to(const AdapterModel& adapter,
                                                  const ControlRecord& request) {
    const AdapterSpec& config = adapter.config;
    if (request.request_type != TYPE_VENDOR_IN) {
        return std::nullopt;
    }
    if (auto reply = adapter_feature_reply(adapter, request)) {
        return reply;
    }
    if (request.request == REQUEST_TIMESTAMP || request.request == REQUEST_GET_STATE) {
        return adapter_extension_reply(adapter, request);
    }
    if (request.request == REQUEST_DEVICE_CONFIG) {
        std::vector<std::uint8_t> reply(DEVICE_CONFIG_SIZE, 0);
        reply[3] = config.icount;
        put_u32(&reply[4], config.sw_version);
        put_u32(&reply[8], config.hw_version);
        return reply;
    }
    const bool has_ext = (config.features & FEATURE_BT_CONST_EXT) != 0;
    if ((request.request == REQUEST_BT_CONST ||
         (request.request == REQUEST_BT_CONST_EXT && has_ext)) &&
        request.value <= config.icount) {
        const bool ext = request.request == REQUEST_BT_CONST_EXT;
        std::vector<std::uint8_t> reply(ext ? BT_CONST_EXT_SIZE : BT_CONST_SIZE, 0);
        put_u32(&reply[0], config.features);
        put_u32(&reply[4], config.fclk_can);
        for (std::size_t i = 0; i < config.bt_limits.size(); ++i) {
            put_u32(&reply[8 + 4 * i], config.bt_limits[i]);
        }
        if (ext) {
            const auto& data = config.data_bt_limits.value_or(config.bt_limits);
            for (std::size_t i = 0; i < data.size(); ++i) {
                put_u32(&reply[BT_CONST_SIZE + 4 * i], data[i]);
            }
        }
        return reply;
    }
    return std::nullopt;
}

// Applies an OUT request; false when the adapter stalls it.
bool accept(AdapterModel& adapter, const ControlRecord& request) {
    if (request.request_type != TYPE_VENDOR_OUT) {
        return false;
    }
    if (const auto taken = adapter_feature_accept(adapter, request)) {
        return *taken;
    }
    const bool channel_valid = request.value <= adapter.config.icount;
    const bool standard = adapter.config.firmware == Firmware::Standard;
    switch (request.request) {
        case REQUEST_HOST_FORMAT:
            return true;
        case REQUEST_BITTIMING:
        case REQUEST_DATA_BITTIMING:
        case REQUEST_DATA_BITTIMING_STANDARD: {
            const bool data_phase = request.request != REQUEST_BITTIMING;
            // Each firmware takes the data-phase timing under its own number only.
            if (data_phase && (request.request == REQUEST_DATA_BITTIMING_STANDARD) != standard) {
                return false;
            }
            if (!channel_valid || request.length < BITTIMING_SIZE) {
                return false;
            }
            auto& bitrates = data_phase ? adapter.data_bitrate : adapter.nominal_bitrate;
            bitrates[static_cast<std::uint8_t>(request.value)] =
                bitrate_of_timing(request.payload.data(), adapter.config.fclk_can);
            return true;
        }
        case REQUEST_MODE: {
            if (!channel_valid || request.length < MODE_SIZE) {
                return false;
            }
            const std::uint32_t mode = get_u32(&request.payload[0]);
            if (mode != MODE_RESET && mode != MODE_START) {
                return false;
            }
            adapter.channel_started[request.value] = mode == MODE_START;
            adapter.channel_flags[request.value] = get_u32(&request.payload[4]);
            return true;
        }
        default:
            return false;
    }
}

}  // namespace

void adapter_control(Sim& s, AdapterModel& adapter, TransferState& transfer) {
    libusb_transfer& pub = *transfer.pub();
    adapter.control_log.push_back(record_of(pub));
    const ControlRecord& request = adapter.control_log.back();
    adapter_check_feature(adapter, request);

    if (adapter.no_answer.count(request.request) != 0) {
        make_pending(s, transfer);
        return;
    }
    if (const auto status = adapter.control_status.find(request.request);
        status != adapter.control_status.end()) {
        adapter_complete(s, adapter, transfer, status->second, 0);
        return;
    }
    const auto reply_override = adapter.reply_length.find(request.request);
    if ((request.request_type & LIBUSB_ENDPOINT_IN) != 0) {
        const auto reply = reply_to(adapter, request);
        if (!reply) {
            adapter_complete(s, adapter, transfer, LIBUSB_TRANSFER_STALL, 0);
            return;
        }
        int length = static_cast<int>(reply->size());
        if (reply_override != adapter.reply_length.end()) {
            length = std::max(reply_override->second, 0);
        }
        length = std::min<int>(length, request.length);
        std::uint8_t* data = pub.buffer + LIBUSB_CONTROL_SETUP_SIZE;
        const int from_reply = std::min<int>(length, static_cast<int>(reply->size()));
        std::memcpy(data, reply->data(), static_cast<std::size_t>(from_reply));
        std::memset(data + from_reply, 0, static_cast<std::size_t>(length - from_reply));
        adapter_complete(s, adapter, transfer, LIBUSB_TRANSFER_COMPLETED, length);
        return;
    }
    if (!accept(adapter, request)) {
        adapter_complete(s, adapter, transfer, LIBUSB_TRANSFER_STALL, 0);
        return;
    }
    int length = request.length;
    if (reply_override != adapter.reply_length.end()) {
        length = std::clamp(reply_override->second, 0, length);
    }
    adapter_complete(s, adapter, transfer, LIBUSB_TRANSFER_COMPLETED, length);
    // A channel reset forgets what its buffer held; a NAKed transfer for it may go on.
    if (request.request == REQUEST_MODE && request.value < adapter.channel_started.size() &&
        !adapter.channel_started[request.value]) {
        adapter_clear_tx(s, adapter, static_cast<std::uint8_t>(request.value));
    }
    if (request.request == REQUEST_MODE && adapter.stream.active) {
        adapter_serve_pending(s, adapter);  // a started channel hears the stream from now on
    }
}

}  // namespace ovsim::detail
