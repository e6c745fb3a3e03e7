#include "gs_usb_model.h"

#include <algorithm>

namespace ovel::qemu {
namespace {

constexpr std::uint8_t TYPE_MASK = 0x60, TYPE_STANDARD = 0x00, TYPE_VENDOR = 0x40;
constexpr std::uint8_t DIR_IN = 0x80;
constexpr std::uint8_t VENDOR_OUT = 0x41, VENDOR_IN = 0xC1;  // vendor, interface recipient

constexpr std::uint8_t DESCRIPTOR_DEVICE = 1, DESCRIPTOR_CONFIGURATION = 2, DESCRIPTOR_STRING = 3;

// gs_usb request codes this adapter knows; every other one stalls.
constexpr std::uint8_t HOST_FORMAT = 0, BITTIMING = 1, MODE = 2, BT_CONST = 4, DEVICE_CONFIG = 5,
                       DATA_BITTIMING = 8, DATA_BITTIMING_STANDARD = 10;
constexpr std::uint32_t FEATURES = 0x1 | 0x2 | 0x100;  // listen-only, loopback, CAN FD
constexpr std::uint8_t TIMESTAMP = 6, GET_STATE = 14;
constexpr std::uint8_t IDENTIFY = 7, SET_TERMINATION = 12, GET_TERMINATION = 13;
constexpr std::uint32_t FEATURE_IDENTIFY = 1u << 5, FEATURE_TERMINATION = 1u << 11;

void put_u16(std::vector<std::uint8_t>& out, std::uint16_t value) {
    out.push_back(static_cast<std::uint8_t>(value & 0xFF));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
}

void put_u32(std::vector<std::uint8_t>& out, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(static_cast<std::uint8_t>((value >> shift) & 0xFF));
    }
}

std::uint32_t get_u32(const std::vector<std::uint8_t>& bytes, std::size_t offset) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        value |= static_cast<std::uint32_t>(bytes[offset + i]) << (8 * i);
    }
    return value;
}

// gs_device_bittiming: prop_seg, phase_seg1, phase_seg2, sjw, brp; a bit is the sync quantum
// and the three segments, each quantum brp clock periods.
std::uint32_t bitrate_of(const std::vector<std::uint8_t>& timing) {
    const std::uint64_t quanta =
        1ull + get_u32(timing, 0) + get_u32(timing, 4) + get_u32(timing, 8);
    const std::uint64_t brp = get_u32(timing, 16);
    return brp == 0 ? 0 : static_cast<std::uint32_t>(FCLK_CAN / (brp * quanta));
}

std::vector<std::uint8_t> string_descriptor(const std::string& text) {
    std::vector<std::uint8_t> out{static_cast<std::uint8_t>(2 + 2 * text.size()),
                                  DESCRIPTOR_STRING};
    for (const char c : text) {
        put_u16(out, static_cast<std::uint8_t>(c));
    }
    return out;
}

ControlOutcome reply(std::vector<std::uint8_t> data, std::uint16_t length) {
    if (data.size() > length) {
        data.resize(length);
    }
    return ControlOutcome{false, std::move(data)};
}

ControlOutcome stall() {
    return ControlOutcome{true, {}};
}

}  // namespace

ControlOutcome GsUsbModel::handle_control(const ControlSetup& setup,
                                          const std::vector<std::uint8_t>& out_data) {
    switch (setup.request_type & TYPE_MASK) {
        case TYPE_STANDARD:
            return handle_standard(setup);
        case TYPE_VENDOR:
            return handle_vendor(setup, out_data);
        default:
            return stall();
    }
}

void GsUsbModel::reset_channels() {
    std::fill(std::begin(started_), std::end(started_), false);
    std::fill(std::begin(mode_flags_), std::end(mode_flags_), 0u);
    std::fill(std::begin(state_set_), std::end(state_set_), false);
    std::fill(std::begin(bitrate_), std::end(bitrate_), 0u);
    std::fill(std::begin(data_bitrate_), std::end(data_bitrate_), 0u);
}

std::vector<std::uint8_t> GsUsbModel::descriptor(std::uint8_t type, std::uint8_t index) const {
    switch (type) {
        case DESCRIPTOR_DEVICE: {
            std::vector<std::uint8_t> out{18, DESCRIPTOR_DEVICE};
            put_u16(out, 0x0200);                  // bcdUSB
            out.insert(out.end(), {0, 0, 0, 64});  // class per interface, ep0 max packet 64
            put_u16(out, VENDOR_ID);
            put_u16(out, PRODUCT_ID);
            put_u16(out, 0x0100);                 // bcdDevice
            out.insert(out.end(), {1, 2, 3, 1});  // strings, one configuration
            return out;
        }
        case DESCRIPTOR_CONFIGURATION: {
            if (index != 0) {
                return {};
            }
            std::vector<std::uint8_t> out{9, DESCRIPTOR_CONFIGURATION};
            put_u16(out, 9 + 9 + 7 + 7);
            out.insert(out.end(), {1, 1, 0, 0x80, 50});
            // Interface 0, alternate 0, two endpoints, vendor class.
            out.insert(out.end(), {9, 4, 0, 0, 2, 0xFF, 0, 0, 0});
            for (const std::uint8_t endpoint : {BULK_IN_ENDPOINT, BULK_OUT_ENDPOINT}) {
                out.insert(out.end(), {7, 5, endpoint, 2});
                put_u16(out, bulk_max_packet_);
                out.push_back(0);
            }
            return out;
        }
        case DESCRIPTOR_STRING:
            switch (index) {
                case 0:
                    return {4, DESCRIPTOR_STRING, 0x09, 0x04};
                case 1:
                    return string_descriptor("ovelcanfd test bench");
                case 2:
                    return string_descriptor("gs_usb emulator");
                case 3:
                    return string_descriptor(serial_);
                default:
                    return {};
            }
        default:
            return {};
    }
}

ControlOutcome GsUsbModel::handle_standard(const ControlSetup& setup) {
    switch (setup.request) {
        case 0:  // GET_STATUS
            return reply({0, 0}, setup.length);
        case 1:   // CLEAR_FEATURE (endpoint halt included)
        case 3:   // SET_FEATURE
        case 9:   // SET_CONFIGURATION
        case 11:  // SET_INTERFACE
            return (setup.request_type & DIR_IN) ? stall() : ControlOutcome{};
        case 6: {  // GET_DESCRIPTOR
            auto data = descriptor(static_cast<std::uint8_t>(setup.value >> 8),
                                   static_cast<std::uint8_t>(setup.value & 0xFF));
            if (data.empty()) {
                return stall();
            }
            return reply(std::move(data), setup.length);
        }
        case 8:  // GET_CONFIGURATION
            return reply({1}, setup.length);
        case 10:  // GET_INTERFACE
            return reply({0}, setup.length);
        default:
            return stall();
    }
}

ControlOutcome GsUsbModel::handle_vendor(const ControlSetup& setup,
                                         const std::vector<std::uint8_t>& out_data) {
    if (setup.request_type == VENDOR_IN) {
        switch (setup.request) {
            case DEVICE_CONFIG: {
                std::vector<std::uint8_t> out{0, 0, 0, CHANNEL_COUNT - 1};
                put_u32(out, 2);  // software version
                put_u32(out, 1);  // hardware version
                return reply(std::move(out), setup.length);
            }
            case BT_CONST: {
                std::vector<std::uint8_t> out;
                for (const std::uint32_t field :
                     {features_, FCLK_CAN, 1u, 16u, 1u, 8u, 4u, 1u, 1024u, 1u}) {
                    put_u32(out, field);
                }
                return reply(std::move(out), setup.length);
            }
            case TIMESTAMP:
            case GET_STATE:
                return handle_extension(setup);
            case GET_TERMINATION: {
                if ((features_ & FEATURE_TERMINATION) == 0 || setup.value >= CHANNEL_COUNT) {
                    return stall();
                }
                std::vector<std::uint8_t> out;
                put_u32(out, termination_[setup.value] ? 1 : 0);
                return reply(std::move(out), setup.length);
            }
            default:
                return stall();
        }
    }
    if (setup.request_type != VENDOR_OUT) {
        return stall();
    }
    // HOST_FORMAT names no channel (the kernel driver sends wValue 1 with it).
    if (setup.request == HOST_FORMAT) {
        return out_data.size() >= 4 ? ControlOutcome{} : stall();
    }
    if (setup.value >= CHANNEL_COUNT) {
        return stall();
    }
    const bool standard = firmware_ == Firmware::Standard;
    switch (setup.request) {
        case DATA_BITTIMING:
        case DATA_BITTIMING_STANDARD:
            if (standard != (setup.request == DATA_BITTIMING_STANDARD) || out_data.size() < 20) {
                return stall();
            }
            data_bitrate_[setup.value] = bitrate_of(out_data);
            return ControlOutcome{};
        case BITTIMING:
            if (out_data.size() < 20) {
                return stall();
            }
            bitrate_[setup.value] = bitrate_of(out_data);
            return ControlOutcome{};
        // Firmware without the feature stalls these, as it does every request it lacks.
        case SET_TERMINATION:
            if ((features_ & FEATURE_TERMINATION) == 0 || out_data.size() < 4) {
                return stall();
            }
            termination_[setup.value] = get_u32(out_data, 0) != 0;
            return ControlOutcome{};
        case IDENTIFY:
            if ((features_ & FEATURE_IDENTIFY) == 0 || out_data.size() < 4) {
                return stall();
            }
            identifying_ = get_u32(out_data, 0) != 0;
            return ControlOutcome{};
        case MODE: {
            if (out_data.size() < 8) {
                return stall();
            }
            const std::uint32_t mode = get_u32(out_data, 0);
            if (mode > 1) {
                return stall();
            }
            started_[setup.value] = mode == 1;
            mode_flags_[setup.value] = mode == 1 ? get_u32(out_data, 4) : 0;
            return ControlOutcome{};
        }
        default:
            return stall();
    }
}

}  // namespace ovel::qemu
