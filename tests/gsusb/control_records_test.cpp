#include "gsusb/control_records.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace ovel::gsusb {
namespace {

using ::testing::ElementsAre;

TEST(ControlRecordsTest, BitTimingEncodesFiveLittleEndianWords) {
    const BitTiming timing{.prop_seg = 0, .phase_seg1 = 11, .phase_seg2 = 8, .sjw = 1, .brp = 8};
    EXPECT_THAT(timing.encode(),
                ElementsAre(0x00, 0x00, 0x00, 0x00, 0x0B, 0x00, 0x00, 0x00, 0x08, 0x00, 0x00, 0x00,
                            0x01, 0x00, 0x00, 0x00, 0x08, 0x00, 0x00, 0x00));

    const BitTiming wide{.prop_seg = 0x04030201,
                         .phase_seg1 = 0x08070605,
                         .phase_seg2 = 0x0C0B0A09,
                         .sjw = 0x100F0E0D,
                         .brp = 0x14131211};
    EXPECT_THAT(wide.encode(),
                ElementsAre(1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20));
}

TEST(ControlRecordsTest, DeviceModeEncodesStartWithFlagsAndResetAsZeros) {
    const DeviceMode start{.mode = MODE_START, .flags = MODE_FLAG_LISTEN_ONLY | MODE_FLAG_FD};
    EXPECT_THAT(start.encode(), ElementsAre(0x01, 0x00, 0x00, 0x00, 0x01, 0x01, 0x00, 0x00));

    const DeviceMode loopback{.mode = MODE_START, .flags = MODE_FLAG_LOOP_BACK};
    EXPECT_THAT(loopback.encode(), ElementsAre(0x01, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00));

    const DeviceMode reset{.mode = MODE_RESET, .flags = 0};
    EXPECT_THAT(reset.encode(), ElementsAre(0, 0, 0, 0, 0, 0, 0, 0));
}

TEST(ControlRecordsTest, DeviceConfigDecodesExactSizeReply) {
    const std::vector<std::uint8_t> reply = {0xA1, 0xA2, 0xA3, 0x02, 0x78, 0x56,
                                             0x34, 0x12, 0xEF, 0xCD, 0xAB, 0x89};
    ASSERT_EQ(reply.size(), DeviceConfig::SIZE);
    const DeviceConfig config = DeviceConfig::decode(reply);
    EXPECT_EQ(config.reserved1, 0xA1);
    EXPECT_EQ(config.reserved2, 0xA2);
    EXPECT_EQ(config.reserved3, 0xA3);
    EXPECT_EQ(config.icount, 2);
    EXPECT_EQ(config.sw_version, 0x12345678u);
    EXPECT_EQ(config.hw_version, 0x89ABCDEFu);
}

TEST(ControlRecordsTest, DeviceConfigIgnoresTrailingBytesAndZeroFillsShortInput) {
    std::vector<std::uint8_t> reply = {0, 0, 0, 0xFF, 1, 0, 0, 0, 2, 0, 0, 0, 0xEE, 0xEE};
    const DeviceConfig config = DeviceConfig::decode(reply);
    EXPECT_EQ(config.icount, 255);
    EXPECT_EQ(config.sw_version, 1u);
    EXPECT_EQ(config.hw_version, 2u);

    // A caller that forgot the length check gets zeros, not bytes from beyond the reply.
    reply.resize(6);
    const DeviceConfig truncated = DeviceConfig::decode(reply);
    EXPECT_EQ(truncated.icount, 255);
    EXPECT_EQ(truncated.sw_version, 1u);
    EXPECT_EQ(truncated.hw_version, 0u);
}

TEST(ControlRecordsTest, BtConstDecodesTenLittleEndianWordsInOrder) {
    std::vector<std::uint8_t> reply;
    for (std::uint8_t word = 0; word < 10; ++word) {
        // Word i holds 0xi4i3i2i1 so that any swapped byte or field shows.
        for (std::uint8_t byte = 1; byte <= 4; ++byte) {
            reply.push_back(static_cast<std::uint8_t>(word << 4 | byte));
        }
    }
    ASSERT_EQ(reply.size(), BtConst::SIZE);
    const BtConst constants = BtConst::decode(reply);
    EXPECT_EQ(constants.feature, 0x04030201u);
    EXPECT_EQ(constants.fclk_can, 0x14131211u);
    EXPECT_EQ(constants.tseg1_min, 0x24232221u);
    EXPECT_EQ(constants.tseg1_max, 0x34333231u);
    EXPECT_EQ(constants.tseg2_min, 0x44434241u);
    EXPECT_EQ(constants.tseg2_max, 0x54535251u);
    EXPECT_EQ(constants.sjw_max, 0x64636261u);
    EXPECT_EQ(constants.brp_min, 0x74737271u);
    EXPECT_EQ(constants.brp_max, 0x84838281u);
    EXPECT_EQ(constants.brp_inc, 0x94939291u);
}

TEST(ControlRecordsTest, BtConstExtDecodesNominalWordsThenDataLimits) {
    std::vector<std::uint8_t> reply;
    for (std::uint8_t word = 0; word < 18; ++word) {
        for (std::uint8_t byte = 1; byte <= 4; ++byte) {
            reply.push_back(static_cast<std::uint8_t>(word << 3 | byte));
        }
    }
    ASSERT_EQ(reply.size(), BtConstExt::SIZE);
    const BtConstExt constants = BtConstExt::decode(reply);
    EXPECT_EQ(constants.nominal.fclk_can, 0x0C0B0A09u);
    EXPECT_EQ(constants.nominal.brp_inc, 0x4C4B4A49u);
    EXPECT_EQ(constants.data, (TimingLimits{0x54535251u, 0x5C5B5A59u, 0x64636261u, 0x6C6B6A69u,
                                            0x74737271u, 0x7C7B7A79u, 0x84838281u, 0x8C8B8A89u}));
    EXPECT_EQ(nominal_limits(constants.nominal),
              (TimingLimits{0x14131211u, 0x1C1B1A19u, 0x24232221u, 0x2C2B2A29u, 0x34333231u,
                            0x3C3B3A39u, 0x44434241u, 0x4C4B4A49u}));
}

}  // namespace
}  // namespace ovel::gsusb
