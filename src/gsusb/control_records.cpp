#include "gsusb/control_records.h"

#include <algorithm>

#include "gsusb/little_endian.h"

namespace ovel::gsusb {
namespace {

// The first Size bytes of the input, zero-padded when the input is shorter.
template <std::size_t Size>
std::array<std::uint8_t, Size> leading_bytes(std::span<const std::uint8_t> bytes) {
    std::array<std::uint8_t, Size> copy{};
    std::copy_n(bytes.begin(), std::min(bytes.size(), Size), copy.begin());
    return copy;
}

}  // namespace

DeviceConfig DeviceConfig::decode(std::span<const std::uint8_t> bytes) {
    const auto raw = leading_bytes<SIZE>(bytes);
    DeviceConfig config;
    config.reserved1 = raw[0];
    config.reserved2 = raw[1];
    config.reserved3 = raw[2];
    config.icount = raw[3];
    config.sw_version = little_endian::read_u32(raw, 4);
    config.hw_version = little_endian::read_u32(raw, 8);
    return config;
}

BtConst BtConst::decode(std::span<const std::uint8_t> bytes) {
    const auto raw = leading_bytes<SIZE>(bytes);
    BtConst constants;
    constants.feature = little_endian::read_u32(raw, 0);
    constants.fclk_can = little_endian::read_u32(raw, 4);
    constants.tseg1_min = little_endian::read_u32(raw, 8);
    constants.tseg1_max = little_endian::read_u32(raw, 12);
    constants.tseg2_min = little_endian::read_u32(raw, 16);
    constants.tseg2_max = little_endian::read_u32(raw, 20);
    constants.sjw_max = little_endian::read_u32(raw, 24);
    constants.brp_min = little_endian::read_u32(raw, 28);
    constants.brp_max = little_endian::read_u32(raw, 32);
    constants.brp_inc = little_endian::read_u32(raw, 36);
    return constants;
}

TimingLimits nominal_limits(const BtConst& constants) {
    return {constants.tseg1_min, constants.tseg1_max, constants.tseg2_min, constants.tseg2_max,
            constants.sjw_max,   constants.brp_min,   constants.brp_max,   constants.brp_inc};
}

BtConstExt BtConstExt::decode(std::span<const std::uint8_t> bytes) {
    const auto raw = leading_bytes<SIZE>(bytes);
    BtConstExt constants;
    constants.nominal = BtConst::decode(raw);
    TimingLimits& data = constants.data;
    data.tseg1_min = little_endian::read_u32(raw, 40);
    data.tseg1_max = little_endian::read_u32(raw, 44);
    data.tseg2_min = little_endian::read_u32(raw, 48);
    data.tseg2_max = little_endian::read_u32(raw, 52);
    data.sjw_max = little_endian::read_u32(raw, 56);
    data.brp_min = little_endian::read_u32(raw, 60);
    data.brp_max = little_endian::read_u32(raw, 64);
    data.brp_inc = little_endian::read_u32(raw, 68);
    return constants;
}

Timestamp Timestamp::decode(std::span<const std::uint8_t> bytes) {
    const auto raw = leading_bytes<SIZE>(bytes);
    return Timestamp{little_endian::read_u32(raw, 0)};
}

DeviceState DeviceState::decode(std::span<const std::uint8_t> bytes) {
    const auto raw = leading_bytes<SIZE>(bytes);
    DeviceState state;
    state.state = little_endian::read_u32(raw, 0);
    state.rxerr = little_endian::read_u32(raw, 4);
    state.txerr = little_endian::read_u32(raw, 8);
    return state;
}

std::array<std::uint8_t, BitTiming::SIZE> BitTiming::encode() const {
    std::array<std::uint8_t, SIZE> bytes{};
    little_endian::write_u32(bytes, 0, prop_seg);
    little_endian::write_u32(bytes, 4, phase_seg1);
    little_endian::write_u32(bytes, 8, phase_seg2);
    little_endian::write_u32(bytes, 12, sjw);
    little_endian::write_u32(bytes, 16, brp);
    return bytes;
}

std::array<std::uint8_t, DeviceMode::SIZE> DeviceMode::encode() const {
    std::array<std::uint8_t, SIZE> bytes{};
    little_endian::write_u32(bytes, 0, mode);
    little_endian::write_u32(bytes, 4, flags);
    return bytes;
}

}  // namespace ovel::gsusb
